// Registry speed: open+query+close of a DWORD and open+set+close, and beside them the bare
// SQLite statements on a table of the same shape, so that the cost of the registry layer can
// be read off one run. Prints `figure value unit` lines, medians of several runs.
#include "bare_registry.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int runs = 9;
constexpr int get_iterations = 20000;
constexpr int set_iterations = 5000;

// Microseconds per call of fn, the median of the runs.
double median_us(int iterations, const std::function<bool(int)>& fn)
{
    std::vector<double> per_op;
    for (int r = 0; r < runs; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < iterations; ++i) {
            if (!fn(i)) {
                std::fprintf(stderr, "registry_bench: a call failed\n");
                std::exit(1);
            }
        }
        std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
        per_op.push_back(took.count() / iterations);
    }
    std::sort(per_op.begin(), per_op.end());
    return per_op[runs / 2];
}

const char* const key_path = "Software\\vantor-bench\\values";

// The peer: one prepared select and one prepared upsert on a value table of the same shape,
// with the same journal and sync settings.
struct bare_sqlite {
    sqlite3* db = nullptr;
    sqlite3_stmt* get = nullptr;
    sqlite3_stmt* set = nullptr;

    explicit bare_sqlite(const std::string& file)
    {
        sqlite3_open(file.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
                     "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL, fold BLOB NOT NULL,"
                     " type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
                     "INSERT INTO vals(key, fold, type, data) VALUES(7, CAST('COUNT' AS BLOB), 4, x'00000000')",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(db, "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", -1, &get, nullptr);
        sqlite3_prepare_v2(db,
                           "INSERT INTO vals(key, fold, type, data) VALUES(?1, ?2, 4, ?3)"
                           " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data",
                           -1, &set, nullptr);
    }
    ~bare_sqlite()
    {
        sqlite3_finalize(get);
        sqlite3_finalize(set);
        sqlite3_close(db);
    }

    bool query(int)
    {
        sqlite3_bind_int64(get, 1, 7);
        sqlite3_bind_blob(get, 2, "COUNT", 5, SQLITE_STATIC);
        bool ok = sqlite3_step(get) == SQLITE_ROW && sqlite3_column_bytes(get, 1) == 4;
        sqlite3_reset(get);
        return ok;
    }

    bool store(int i)
    {
        DWORD v = static_cast<DWORD>(i);
        sqlite3_bind_int64(set, 1, 7);
        sqlite3_bind_blob(set, 2, "COUNT", 5, SQLITE_STATIC);
        sqlite3_bind_blob(set, 3, &v, sizeof v, SQLITE_STATIC);
        bool ok = sqlite3_step(set) == SQLITE_DONE;
        sqlite3_reset(set);
        return ok;
    }
};

}  // namespace

int main()
{
    // A prefix of its own, so that the figures never depend on (or touch) a real registry.
    std::string dir = (std::filesystem::temp_directory_path() / "vantor-bench-XXXXXX").string();
    if (!mkdtemp(&dir[0])) {
        std::perror("registry_bench: mkdtemp");
        return 1;
    }
    setenv("WINPORT_PREFIX", dir.c_str(), 1);

    HKEY k;
    DWORD zero = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) !=
            ERROR_SUCCESS ||
        RegSetValueExA(k, "count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero) != ERROR_SUCCESS) {
        std::fprintf(stderr, "registry_bench: cannot prepare the registry\n");
        return 1;
    }
    RegCloseKey(k);

    double get = median_us(get_iterations, [](int) { return bare_registry_get(key_path); });
    double set = median_us(set_iterations, [](int i) { return bare_registry_set(key_path, i); });
    double peer_get, peer_set;
    {
        bare_sqlite peer(dir + "/peer.db");
        peer_get = median_us(get_iterations, [&](int i) { return peer.query(i); });
        peer_set = median_us(set_iterations, [&](int i) { return peer.store(i); });
    }
    std::printf("registry.get %.2f us\n", get);
    std::printf("registry.set %.2f us\n", set);
    std::printf("sqlite.get %.2f us\n", peer_get);
    std::printf("sqlite.set %.2f us\n", peer_set);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
