// Registry work for multi-process tests, through the Win32 registry API.
//   registry_client acks KEY FIRST       writes the DWORD values n<i> = i from i = FIRST on, for
//                                        ever, and prints "ack <i>" once each call returned
//   registry_client delete KEY           deletes the key and prints "deleted" or "failed <code>"
//   registry_client stress KEY WRITER ROUNDS
//                                        writes and reads back the values v0..v7, every write a
//                                        block of one repeated record "<writer>:<round>;";
//                                        prints "torn ..." or "failed ..." on the first fault,
//                                        "done" at the end
// On Linux, beneath the API, on the database itself:
//   registry_client hold [table]         opens a write transaction through the registry's own
//                                        file layer, with "table" also takes the mutex of the
//                                        lock table, prints "holding" and waits to be killed
//   registry_client plain-write          tries a write with SQLite's own locking and prints
//                                        "busy", "written" or "error <code>"
// Keys are under HKEY_CURRENT_USER.
#include <winport/winport.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <sqlite3.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

int acks(const char* key, long first)
{
    HKEY k;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
    if (rc != ERROR_SUCCESS) {
        std::printf("failed create %ld\n", static_cast<long>(rc));
        return 1;
    }
    for (long i = first;; ++i) {
        std::string name = "n" + std::to_string(i);
        DWORD v = static_cast<DWORD>(i);
        rc = RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
        if (rc != ERROR_SUCCESS) {
            std::printf("failed set %ld\n", static_cast<long>(rc));
            return 1;
        }
        std::printf("ack %ld\n", i);
        std::fflush(stdout);
    }
}

// A value written whole holds one record repeated; anything else was torn.
bool whole(const std::string& data, std::string& record)
{
    std::size_t end = data.find(';');
    if (end == std::string::npos)
        return false;
    record = data.substr(0, end + 1);
    if (data.size() % record.size() != 0)
        return false;
    for (std::size_t i = 0; i < data.size(); i += record.size()) {
        if (data.compare(i, record.size(), record) != 0)
            return false;
    }
    return true;
}

int stress(const char* key, const char* writer, int rounds)
{
    for (int round = 0; round < rounds; ++round) {
        std::string record = std::string(writer) + ":" + std::to_string(round) + ";";
        std::string data;
        // Values of several pages, so that a torn write would show.
        while (data.size() < 6000)
            data += record;
        for (int v = 0; v < 8; ++v) {
            std::string name = "v" + std::to_string(v);
            HKEY k;
            LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr);
            if (rc == ERROR_SUCCESS) {
                rc = RegSetValueExA(k, name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(data.data()),
                                    static_cast<DWORD>(data.size()));
                RegCloseKey(k);
            }
            if (rc != ERROR_SUCCESS) {
                std::printf("failed set %ld\n", static_cast<long>(rc));
                return 1;
            }
            rc = RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &k);
            char buf[8192];
            DWORD size = sizeof buf, type = 0;
            if (rc == ERROR_SUCCESS) {
                rc = RegQueryValueExA(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
                RegCloseKey(k);
            }
            if (rc != ERROR_SUCCESS) {
                std::printf("failed query %ld\n", static_cast<long>(rc));
                return 1;
            }
            std::string seen;
            if (type != REG_BINARY || !whole(std::string(buf, size), seen)) {
                std::printf("torn %s\n", name.c_str());
                return 1;
            }
        }
    }
    std::printf("done\n");
    return 0;
}

#ifndef _WIN32

std::string db_path()
{
    const char* prefix = std::getenv("WINPORT_PREFIX");
    return std::string(prefix ? prefix : "") + "/registry.db";
}

int hold(bool table)
{
    // A registry call first: it makes the database and brings the registry's file layer.
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\held", 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        return 1;
    RegCloseKey(k);
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(db_path().c_str(), &db, SQLITE_OPEN_READWRITE, "winport-registry") != SQLITE_OK ||
        sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE flushes SET count = count + 1000", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
        std::printf("error %s\n", sqlite3_errmsg(db));
        return 1;
    }
    if (table) {
        // The table's mutex follows the two 32-bit words that open the lock file, its mark
        // "WRLK" and its layout.
        int fd = open((db_path() + "-lock").c_str(), O_RDWR | O_CLOEXEC);
        auto* map =
            static_cast<char*>(fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (map == MAP_FAILED || std::memcmp(map, "WRLK", 4) != 0 ||
            pthread_mutex_lock(reinterpret_cast<pthread_mutex_t*>(map + 8)) != 0)
            return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    for (;;)
        pause();
}

int plain_write()
{
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(db_path().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE flushes SET count = count + 1; COMMIT", nullptr, nullptr,
                          nullptr);
    if (rc == SQLITE_BUSY)
        std::printf("busy\n");
    else if (rc == SQLITE_OK)
        std::printf("written\n");
    else
        std::printf("error %d\n", rc);
    sqlite3_close(db);
    return 0;
}

#endif

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "acks") == 0)
        return acks(argv[2], std::atol(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "delete") == 0) {
        LONG rc = RegDeleteKeyExA(HKEY_CURRENT_USER, argv[2], KEY_WOW64_32KEY, 0);
        if (rc == ERROR_SUCCESS)
            std::printf("deleted\n");
        else
            std::printf("failed %ld\n", static_cast<long>(rc));
        return rc == ERROR_SUCCESS ? 0 : 1;
    }
    if (argc == 5 && std::strcmp(argv[1], "stress") == 0)
        return stress(argv[2], argv[3], std::atoi(argv[4]));
#ifndef _WIN32
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "hold") == 0)
        return hold(argc == 3 && std::strcmp(argv[2], "table") == 0);
    if (argc == 2 && std::strcmp(argv[1], "plain-write") == 0)
        return plain_write();
#endif
    std::fprintf(
        stderr,
        "usage: registry_client acks KEY FIRST | delete KEY | stress KEY WRITER ROUNDS | hold [table] | plain-write\n");
    return 2;
}
