// The registry with many keys: one DWORD value "v" in each of N subkeys
// HKEY_CURRENT_USER\Software\Scale\K0000000, ..., at N = 1k, 10k and 100k, through the module's
// exported functions and the registry calls beneath them:
//   registry.scale.create.N  a new key with its value (setreg_long of a key not yet there)
//   registry.scale.get.N     getreg_long of a random key
//   registry.scale.set.N     setreg_long of a random key
//   registry.scale.enum.N    RegEnumKeyExA of the N subkeys in order, per index
//   registry.scale.export.N  SaveRegToFile of the tree
// and beside them sqlite.scale.*.N: bare SQLite doing the same lookups and writes on the same
// schema, with the same journal and sync settings, in the same run. Each size runs in a
// process of its own with a fresh prefix (the registry's database is the size's alone).
//   registry_scale_bench [--keys N] [--label NAME]
// runs one size in this process; NAME replaces "registry" (the Wine run prints
// registry.wine.scale.*, and has no SQLite peer).
#include <vantor/vantor.h>
#include <winport/winport.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char* const tree = "Software\\Scale";
constexpr int timed_creates = 1000;

[[noreturn]] void failed(const char* what)
{
    std::fprintf(stderr, "registry_scale_bench: %s failed\n", what);
    std::exit(1);
}

std::string key_name(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "K%07d", i);
    return name;
}

std::string key_path(int i)
{
    return std::string(tree) + "\\" + key_name(i);
}

using clock_type = std::chrono::steady_clock;

double us_since(clock_type::time_point start, int ops)
{
    return std::chrono::duration<double, std::micro>(clock_type::now() - start).count() / ops;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs `op` over `ops` items in `rounds` rounds and gives the median microseconds per item.
template <typename F>
double median_us(int rounds, int ops, F op)
{
    std::vector<double> per_op;
    for (int r = 0; r < rounds; ++r) {
        auto start = clock_type::now();
        for (int i = 0; i < ops; ++i)
            op(r, i);
        per_op.push_back(us_since(start, ops));
    }
    return median(per_op);
}

void print(const char* label, const char* figure, const char* size, double value, const char* unit)
{
    std::printf("%s.scale.%s.%s %.2f %s\n", label, figure, size, value, unit);
    std::fflush(stdout);
}

// The same random keys for the registry and its peer.
std::vector<int> random_keys(int n, int count)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pick(0, n - 1);
    std::vector<int> keys(static_cast<std::size_t>(count));
    for (int& k : keys)
        k = pick(random);
    return keys;
}

void run_registry(const char* label, int n, const char* size, const std::string& dir)
{
    // All but the timed last thousand keys first.
    for (int i = 0; i < n - timed_creates; ++i) {
        if (!setreg_long(HKEY_CURRENT_USER, key_path(i).c_str(), "v", i))
            failed("filling the registry");
    }
    print(label, "create", size, median_us(10, timed_creates / 10, [&](int r, int i) {
              int k = n - timed_creates + r * (timed_creates / 10) + i;
              if (!setreg_long(HKEY_CURRENT_USER, key_path(k).c_str(), "v", k))
                  failed("create");
          }), "us");

    std::vector<int> gets = random_keys(n, 20000);
    std::vector<std::string> paths;
    for (int k : gets)
        paths.push_back(key_path(k));
    print(label, "get", size, median_us(5, static_cast<int>(gets.size()), [&](int, int i) {
              bool found = false;
              if (getreg_long(HKEY_CURRENT_USER, paths[static_cast<std::size_t>(i)].c_str(), "v", -1, &found) !=
                      gets[static_cast<std::size_t>(i)] ||
                  !found)
                  failed("get");
          }), "us");
    print(label, "set", size, median_us(5, 2000, [&](int r, int i) {
              if (!setreg_long(HKEY_CURRENT_USER, paths[static_cast<std::size_t>(i)].c_str(), "v", r))
                  failed("set");
          }), "us");

    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, tree, 0, KEY_READ, &k) != ERROR_SUCCESS)
        failed("opening the tree");
    print(label, "enum", size, median_us(3, n, [&](int, int i) {
              char name[32];
              DWORD len = sizeof name;
              FILETIME written;
              if (RegEnumKeyExA(k, static_cast<DWORD>(i), name, &len, nullptr, nullptr, nullptr, &written) !=
                  ERROR_SUCCESS)
                  failed("enum");
          }), "us");
    RegCloseKey(k);

    std::string file = dir + "/scale.reg";
    std::vector<double> seconds;
    for (int r = 0; r < 3; ++r) {
        auto start = clock_type::now();
        if (!SaveRegToFile(HKEY_CURRENT_USER, tree, file.c_str(), false))
            failed("export");
        seconds.push_back(us_since(start, 1) / 1e6);
    }
    print(label, "export", size, median(seconds), "s");
}

#ifndef _WIN32

// The peer: the registry's tables and indexes, and the statements that the registry calls run
// for the same work, prepared once.
class bare_sqlite {
public:
    explicit bare_sqlite(const std::string& file)
    {
        if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK ||
            sqlite3_exec(db_,
                         "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;"
                         "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER REFERENCES keys(id),"
                         " name BLOB NOT NULL, path BLOB NOT NULL UNIQUE, written INTEGER NOT NULL DEFAULT 0);"
                         "CREATE INDEX keys_children ON keys(parent, path);"
                         "CREATE TABLE vals(id INTEGER PRIMARY KEY, key INTEGER NOT NULL REFERENCES keys(id),"
                         " fold BLOB NOT NULL, name BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
                         " written INTEGER NOT NULL, UNIQUE(key, fold));"
                         "CREATE INDEX vals_order ON vals(key);"
                         "INSERT INTO keys(id, parent, name, path) VALUES(1, NULL, CAST('SCALE' AS BLOB),"
                         " CAST('HKEY_CURRENT_USER\\SOFTWARE\\SCALE' AS BLOB));",
                         nullptr, nullptr, nullptr) != SQLITE_OK)
            failed("making the peer's database");
        prepare(find_, "SELECT id FROM keys WHERE path = ?1");
        prepare(insert_key_, "INSERT INTO keys(parent, name, path, written) VALUES(1, ?1, ?2, 0)");
        prepare(get_, "SELECT type, data FROM vals WHERE key = ?1 AND fold = CAST('V' AS BLOB)");
        prepare(set_, "INSERT INTO vals(key, fold, name, type, data, written)"
                      " VALUES(?1, CAST('V' AS BLOB), CAST('v' AS BLOB), 4, ?2, 0)"
                      " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
        prepare(first_, "SELECT name, path FROM keys WHERE parent = 1 ORDER BY path LIMIT 1");
        prepare(next_, "SELECT name, path FROM keys WHERE parent = 1 AND path > ?1 ORDER BY path LIMIT 1");
        prepare(values_, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id");
    }
    ~bare_sqlite()
    {
        for (sqlite3_stmt* s : {find_, insert_key_, get_, set_, first_, next_, values_})
            sqlite3_finalize(s);
        sqlite3_close(db_);
    }

    sqlite3_int64 find(int i)
    {
        std::string path = upper_path(i);
        sqlite3_bind_blob(find_, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
        sqlite3_int64 id = sqlite3_step(find_) == SQLITE_ROW ? sqlite3_column_int64(find_, 0) : 0;
        sqlite3_reset(find_);
        return id;
    }
    // A lookup that misses, the key, then its value, each committed as the registry does.
    void create(int i)
    {
        if (find(i) != 0)
            failed("peer create");
        std::string name = key_name(i), path = upper_path(i);
        sqlite3_bind_blob(insert_key_, 1, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert_key_, 2, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
        if (sqlite3_step(insert_key_) != SQLITE_DONE)
            failed("peer insert");
        sqlite3_reset(insert_key_);
        set(sqlite3_last_insert_rowid(db_), i);
    }
    void set(sqlite3_int64 key, int v)
    {
        sqlite3_bind_int64(set_, 1, key);
        sqlite3_bind_blob(set_, 2, &v, sizeof v, SQLITE_STATIC);
        if (sqlite3_step(set_) != SQLITE_DONE)
            failed("peer set");
        sqlite3_reset(set_);
    }
    int get(sqlite3_int64 key)
    {
        sqlite3_bind_int64(get_, 1, key);
        int v = -1;
        if (sqlite3_step(get_) == SQLITE_ROW && sqlite3_column_bytes(get_, 1) == 4)
            std::memcpy(&v, sqlite3_column_blob(get_, 1), 4);
        sqlite3_reset(get_);
        return v;
    }
    // The subkey after `path` (the first for an empty one): its name, and its path in `path`.
    bool next(std::string& path, std::string& name)
    {
        sqlite3_stmt* s = path.empty() ? first_ : next_;
        if (!path.empty())
            sqlite3_bind_blob(s, 1, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
        bool row = sqlite3_step(s) == SQLITE_ROW;
        if (row) {
            name.assign(static_cast<const char*>(sqlite3_column_blob(s, 0)),
                        static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
            path.assign(static_cast<const char*>(sqlite3_column_blob(s, 1)),
                        static_cast<std::size_t>(sqlite3_column_bytes(s, 1)));
        }
        sqlite3_reset(s);
        return row;
    }
    // The tree as registration-file lines: each subkey's block with its values.
    bool export_to(const std::string& file)
    {
        std::FILE* out = std::fopen(file.c_str(), "w");
        if (!out)
            return false;
        std::fputs("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Scale]\n\n", out);
        std::string path, name;
        while (next(path, name)) {
            std::fprintf(out, "[HKEY_CURRENT_USER\\Software\\Scale\\%s]\n", name.c_str());
            sqlite3_stmt* key = find_;
            sqlite3_bind_blob(key, 1, path.data(), static_cast<int>(path.size()), SQLITE_STATIC);
            sqlite3_int64 id = sqlite3_step(key) == SQLITE_ROW ? sqlite3_column_int64(key, 0) : 0;
            sqlite3_reset(key);
            sqlite3_bind_int64(values_, 1, id);
            while (sqlite3_step(values_) == SQLITE_ROW) {
                unsigned v = 0;
                if (sqlite3_column_bytes(values_, 2) == 4)
                    std::memcpy(&v, sqlite3_column_blob(values_, 2), 4);
                std::fprintf(out, "\"%s\"=dword:%X\n", reinterpret_cast<const char*>(sqlite3_column_text(values_, 0)),
                             v);
            }
            sqlite3_reset(values_);
            std::fputs("\n", out);
        }
        return std::fclose(out) == 0;
    }

private:
    void prepare(sqlite3_stmt*& s, const char* sql)
    {
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            failed(sql);
    }
    static std::string upper_path(int i) { return "HKEY_CURRENT_USER\\SOFTWARE\\SCALE\\" + key_name(i); }

    sqlite3* db_ = nullptr;
    sqlite3_stmt *find_ = nullptr, *insert_key_ = nullptr, *get_ = nullptr, *set_ = nullptr, *first_ = nullptr,
                 *next_ = nullptr, *values_ = nullptr;
};

void run_sqlite(int n, const char* size, const std::string& dir)
{
    bare_sqlite peer(dir + "/peer.db");
    for (int i = 0; i < n - timed_creates; ++i)
        peer.create(i);
    print("sqlite", "create", size, median_us(10, timed_creates / 10, [&](int r, int i) {
              peer.create(n - timed_creates + r * (timed_creates / 10) + i);
          }), "us");
    std::vector<int> gets = random_keys(n, 20000);
    print("sqlite", "get", size, median_us(5, static_cast<int>(gets.size()), [&](int, int i) {
              int k = gets[static_cast<std::size_t>(i)];
              if (peer.get(peer.find(k)) != k)
                  failed("peer get");
          }), "us");
    print("sqlite", "set", size, median_us(5, 2000, [&](int r, int i) {
              peer.set(peer.find(gets[static_cast<std::size_t>(i)]), r);
          }), "us");
    std::string path, name;
    print("sqlite", "enum", size, median_us(3, n, [&](int, int i) {
              if (i == 0)
                  path.clear();
              if (!peer.next(path, name))
                  failed("peer enum");
          }), "us");
    std::vector<double> seconds;
    for (int r = 0; r < 3; ++r) {
        auto start = clock_type::now();
        if (!peer.export_to(dir + "/peer.reg"))
            failed("peer export");
        seconds.push_back(us_since(start, 1) / 1e6);
    }
    print("sqlite", "export", size, median(seconds), "s");
}

#endif

const char* size_name(int n)
{
    return n == 1000 ? "1k" : n == 10000 ? "10k" : n == 100000 ? "100k" : "n";
}

// One size in this process: the registry's figures and, on Linux, the peer's, in a prefix of
// its own that is removed at the end.
int run_size(int n, const char* label)
{
    std::string dir = (std::filesystem::temp_directory_path() / "vantor-bench-XXXXXX").string();
#ifdef _WIN32
    dir = (std::filesystem::temp_directory_path() / ("vantor-bench-" + std::to_string(GetCurrentProcessId()))).string();
    std::filesystem::create_directories(dir);
#else
    if (!mkdtemp(&dir[0]))
        failed("mkdtemp");
    setenv("WINPORT_PREFIX", dir.c_str(), 1);
#endif
    run_registry(label, n, size_name(n), dir);
#ifndef _WIN32
    run_sqlite(n, size_name(n), dir);
#else
    // The machine's own registry: the tree goes again.
    for (int i = 0; i < n; ++i)
        RegDeleteKeyA(HKEY_CURRENT_USER, key_path(i).c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, tree);
#endif
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* label = "registry";
    int keys = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--keys") == 0)
            keys = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--label") == 0)
            label = argv[i + 1];
    }
    if (keys >= timed_creates)
        return run_size(keys, label);
#ifdef _WIN32
    return run_size(10000, label);
#else
    // Each size in a child of its own, which opens the registry of its own prefix.
    for (int n : {1000, 10000, 100000}) {
        pid_t pid = fork();
        if (pid == 0)
            _exit(run_size(n, label));
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return 1;
    }
    return 0;
#endif
}
