// The registry: keys and values in one SQLite database, $PREFIX/registry.db, shared by every
// process of the prefix.
//
// Every thread has a connection of its own with its statements prepared once, so a call takes
// no lock of ours; the locks of SQLite's WAL index (kept by registry_vfs.cpp) order the
// writers of all processes. Each call is one
// statement (or one IMMEDIATE transaction where it reads and then writes), so nothing another
// process does can come between its steps, and a write is in the WAL before the call returns.
#include "handles.h"
#include "prefix.h"
#include "registry_vfs.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace winport {
namespace {

constexpr int schema_version = 1;
// Windows refuses a key name from 257 characters on and a value name from 16384 on.
constexpr std::size_t max_key_name = 256;
constexpr std::size_t max_value_name = 16383;

// The time as a FILETIME (100 ns since 1601), from the Julian day.
#define WINPORT_NOW "CAST((julianday('now') - 2305813.5) * 864000000000.0 AS INTEGER)"

// A key was last written when it or one of its subkeys was made or deleted (keys.written) or
// one of its values was last set (vals.written, in the value's own row, so that a set writes
// no page beyond the value's) or deleted (the trigger).
const char* const schema_sql = R"sql(
CREATE TABLE keys(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    parent INTEGER REFERENCES keys(id),
    name BLOB NOT NULL,
    path BLOB NOT NULL UNIQUE,
    written INTEGER NOT NULL DEFAULT 0);
CREATE INDEX keys_children ON keys(parent, path);
CREATE TABLE vals(
    id INTEGER PRIMARY KEY,
    key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
    fold BLOB NOT NULL,
    name BLOB NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    written INTEGER NOT NULL,
    UNIQUE(key, fold));
CREATE INDEX vals_order ON vals(key);
CREATE TRIGGER vals_deleted AFTER DELETE ON vals BEGIN
    UPDATE keys SET written = )sql" WINPORT_NOW R"sql( WHERE id = OLD.key;
END;
CREATE TABLE flushes(count INTEGER NOT NULL);
INSERT INTO flushes VALUES(0);
INSERT INTO keys(id, parent, name, path) VALUES
    (1, NULL, CAST('HKEY_CLASSES_ROOT' AS BLOB), CAST('HKEY_CLASSES_ROOT' AS BLOB)),
    (2, NULL, CAST('HKEY_CURRENT_USER' AS BLOB), CAST('HKEY_CURRENT_USER' AS BLOB)),
    (3, NULL, CAST('HKEY_LOCAL_MACHINE' AS BLOB), CAST('HKEY_LOCAL_MACHINE' AS BLOB)),
    (4, NULL, CAST('HKEY_USERS' AS BLOB), CAST('HKEY_USERS' AS BLOB)),
    (6, NULL, CAST('HKEY_CURRENT_CONFIG' AS BLOB), CAST('HKEY_CURRENT_CONFIG' AS BLOB));
)sql";

enum stmt_id {
    find_key,
    key_exists,
    insert_key,
    has_children,
    delete_key,
    touch_key,
    touch_parent,
    count_flush,
    get_value,
    set_value,
    delete_value,
    enum_key,
    enum_key_same,
    enum_key_next,
    enum_value,
    enum_value_same,
    enum_value_next,
    info_keys,
    info_values,
    key_written,
    begin_immediate,
    commit,
    rollback,
    stmt_count
};

// A subkey's name, the time it was last written when ?3 asks for it, and its path.
#define ENUM_KEY_COLUMNS                                                                                               \
    "SELECT name, CASE WHEN ?3 THEN max(written, ifnull((SELECT max(v.written) FROM vals v WHERE v.key = keys.id),"    \
    " 0)) END, path FROM keys"

const char* const stmt_sql[stmt_count] = {
    "SELECT id FROM keys WHERE path = ?1",
    "SELECT 1 FROM keys WHERE id = ?1",
    "INSERT INTO keys(parent, name, path, written) VALUES(?1, ?2, ?3, " WINPORT_NOW ")",
    "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1",
    "DELETE FROM keys WHERE id = ?1",
    "UPDATE keys SET written = " WINPORT_NOW " WHERE id = ?1",
    "UPDATE keys SET written = " WINPORT_NOW " WHERE id = (SELECT parent FROM keys WHERE id = ?1)",
    "UPDATE flushes SET count = count + 1",
    "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2",
    // A replaced value keeps its row, so it keeps its place in the enumeration, and its name.
    "INSERT INTO vals(key, fold, name, type, data, written) VALUES(?1, ?2, ?3, ?4, ?5, " WINPORT_NOW ")"
    " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data, written = excluded.written",
    "DELETE FROM vals WHERE key = ?1 AND fold = ?2",
    // Enumeration: the entry at an index, the one a cursor stands on (or the next, if it is
    // gone), and the one after it. Subkeys come in the order of their paths, values in the
    // order they were made.
    ENUM_KEY_COLUMNS " WHERE parent = ?1 ORDER BY path LIMIT 1 OFFSET ?2",
    ENUM_KEY_COLUMNS " WHERE parent = ?1 AND path >= ?2 ORDER BY path LIMIT 1",
    ENUM_KEY_COLUMNS " WHERE parent = ?1 AND path > ?2 ORDER BY path LIMIT 1",
    "SELECT name, type, data, id FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2",
    "SELECT name, type, data, id FROM vals WHERE key = ?1 AND id >= ?2 ORDER BY id LIMIT 1",
    "SELECT name, type, data, id FROM vals WHERE key = ?1 AND id > ?2 ORDER BY id LIMIT 1",
    "SELECT count(*), ifnull(max(length(name)), 0) FROM keys WHERE parent = ?1",
    "SELECT count(*), ifnull(max(length(name)), 0), ifnull(max(length(data)), 0) FROM vals WHERE key = ?1",
    ("SELECT max(written, ifnull((SELECT max(v.written) FROM vals v WHERE v.key = keys.id), 0)) FROM keys"
     " WHERE id = ?1"),
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

// Once the database was found damaged, every call says so, as Windows does for a hive it could
// not load; nothing is read from or written to it any more by this process.
std::atomic<bool> damaged{false};

LONG sql_status(int rc)
{
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
        damaged.store(true, std::memory_order_relaxed);
        return ERROR_BADDB;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_TOOBIG:
        return ERROR_INVALID_PARAMETER;
    case SQLITE_CONSTRAINT:
        // Values and subkeys refer to their key: a write under a key that another handle
        // deleted meanwhile fails here.
        return rc == SQLITE_CONSTRAINT_FOREIGNKEY ? ERROR_KEY_DELETED : ERROR_REGISTRY_IO_FAILED;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

// SQLite asks again while another connection holds the lock it needs. Writers hold it for
// microseconds, so the first waits are short; the limit only ends a wait for a process that
// is stuck.
int busy_wait(void*, int count)
{
    constexpr int max_tries = 60000;  // about a minute
    if (count >= max_tries)
        return 0;
    long us = count < 5 ? 50L << count : 1000L;
    timespec ts{0, us * 1000L};
    nanosleep(&ts, nullptr);
    return 1;
}

// Where an enumeration of a key by index stands: the index last given and the entry found
// there. A call for the next index continues after that entry, and a call for the same index
// gives it again (or the one after it, once it is gone), in a few page reads however many
// entries come before; any other index is counted from the first entry. So while entries are
// added or deleted between the calls of an in-order walk, the walk gives every entry that
// stays throughout exactly once, any other at most once, and ends.
struct enum_cursor {
    bool valid = false;
    DWORD index = 0;
    std::string path;      // of the subkey found there
    sqlite3_int64 id = 0;  // of the value found there
};
enum enum_kind { enum_subkeys, enum_values };

// What a connection read, kept while the database has not changed.
//
// A lookup through SQLite costs about fifteen times one answered from what was kept. While
// the header of the WAL index reads the same as when something was read, that something is
// still what the database holds.
class read_cache {
public:
    using snapshot = wal_index_header::stamp;

    void attach(sqlite3* db)
    {
        db_ = db;
        header_.attach(db);
    }

    // The header as it stands; false when none can be had, a commit is writing it or the
    // connection is inside a transaction of its own.
    bool current(snapshot& s) const { return db_ && sqlite3_get_autocommit(db_) != 0 && header_.read(s); }

    // True when what was kept still holds.
    bool unchanged() const
    {
        snapshot now;
        return kept_valid_ && current(now) && std::memcmp(now.bytes, kept_.bytes, sizeof now.bytes) == 0;
    }

    // Called with the header read before a read statement and its result: keeps it when no
    // commit came between.
    bool may_keep(const snapshot& before)
    {
        snapshot after;
        if (!current(after) || std::memcmp(before.bytes, after.bytes, sizeof after.bytes) != 0)
            return false;
        if (!kept_valid_ || std::memcmp(kept_.bytes, before.bytes, sizeof before.bytes) != 0) {
            paths.clear();
            values.clear();
            kept_ = before;
            kept_valid_ = true;
        } else if (paths.size() + values.size() >= max_kept) {
            // Full: a quarter goes, in no order that follows use, and the rest stays.
            evict(paths);
            evict(values);
        }
        return true;
    }

    struct kept_value {
        DWORD type;
        std::string data;
    };
    std::unordered_map<std::string, sqlite3_int64> paths;  // key path -> id, of keys that exist
    std::unordered_map<std::string, kept_value> values;    // id + '\\' + folded name -> value

    // Room for a key and its value read from each of some 100,000 keys, about 20 MB: enough
    // that a caller reading a registry that large at random is answered from here.
    static constexpr std::size_t max_kept = 1u << 18;
    static constexpr std::size_t max_kept_value = 1024;

private:
    template <typename Map>
    static void evict(Map& m)
    {
        for (std::size_t n = m.size() / 4; n > 0; --n)
            m.erase(m.begin());
    }

    sqlite3* db_ = nullptr;
    wal_index_header header_;
    snapshot kept_{};
    bool kept_valid_ = false;
};

class connection {
public:
    ~connection()
    {
        for (sqlite3_stmt* s : stmts_)
            sqlite3_finalize(s);
        sqlite3_close(db_);
    }

    LONG open();

    // The statement, prepared on first use; a query resets it after each run.
    sqlite3_stmt* stmt(stmt_id id, LONG& status)
    {
        if (!stmts_[id]) {
            int rc = sqlite3_prepare_v3(db_, stmt_sql[id], -1, SQLITE_PREPARE_PERSISTENT, &stmts_[id], nullptr);
            if (rc == SQLITE_ERROR) {
                // The statements are fixed: one that does not compile meets a schema that
                // only claims to be the registry's.
                damaged.store(true, std::memory_order_relaxed);
                status = ERROR_BADDB;
                return nullptr;
            }
            if (rc != SQLITE_OK) {
                status = sql_status(rc);
                return nullptr;
            }
        }
        status = ERROR_SUCCESS;
        return stmts_[id];
    }

    void check_edges();

    LONG exec(const char* sql) { return sql_status(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }

    sqlite3* db() const { return db_; }
    bool readonly() const { return readonly_; }
    // The fork generation it was opened in: one opened before a fork() belongs to the parent,
    // and the child opens its own.
    unsigned generation = 0;
    read_cache cache;

    // The predefined keys have no handle object to keep a cursor: each thread keeps its own.
    enum_cursor root_cursors[8][2];

private:
    LONG connect(const std::string& path, bool writable, bool unchanging, int& version);
    LONG create_schema();

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmts_[stmt_count] = {};
    bool readonly_ = false;
    bool unchanging_ = false;
};

// One run of a prepared statement: binds, steps, and leaves the statement reset.
class query {
public:
    query(connection& c, stmt_id id) : stmt_(c.stmt(id, status_)) {}
    ~query()
    {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    query(const query&) = delete;
    query& operator=(const query&) = delete;

    bool ok() const { return status_ == ERROR_SUCCESS; }
    LONG status() const { return status_; }

    query& bind(int i, sqlite3_int64 v)
    {
        if (ok())
            fail(sqlite3_bind_int64(stmt_, i, v));
        return *this;
    }
    query& bind(int i, const std::string& blob) { return bind(i, blob.data(), blob.size()); }
    query& bind(int i, const void* data, std::size_t size)
    {
        // A zero-length blob must still be a blob, not NULL.
        static const char empty = 0;
        if (ok())
            fail(sqlite3_bind_blob64(stmt_, i, size ? data : &empty, size, SQLITE_STATIC));
        return *this;
    }

    // True for a row; false at the end or on failure (then status() says which).
    bool step()
    {
        if (!ok())
            return false;
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            status_ = sql_status(sqlite3_extended_errcode(sqlite3_db_handle(stmt_)));
        return false;
    }

    sqlite3_int64 integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    const void* blob(int col) const { return sqlite3_column_blob(stmt_, col); }
    std::size_t size(int col) const { return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)); }

private:
    void fail(int rc)
    {
        if (rc != SQLITE_OK)
            status_ = sql_status(rc);
    }

    sqlite3_stmt* stmt_;
    LONG status_ = ERROR_SUCCESS;
};

LONG connection::open()
{
    std::string path = prefix_path("registry.db");
    if (path.empty())
        return static_cast<LONG>(GetLastError());
    // SQLite would create the file readable by all; the registry is the user's own. Its WAL and
    // shared-memory files take the database file's mode.
    bool writable = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        writable = false;
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0)
        return static_cast<LONG>(error_from_errno(errno));
    ::close(fd);

    int version = 0;
    LONG status = connect(path, writable, false, version);
    struct stat wal;
    if (status == ERROR_ACCESS_DENIED && !writable && stat((path + "-wal").c_str(), &wal) != 0 && errno == ENOENT) {
        // SQLite reads a WAL database only beside -wal and -shm files that it finds or can make.
        // Where the database may not be written and no WAL is left, the folder is the reason:
        // nobody writes this registry, and it is read as the file that does not change.
        sqlite3_close(db_);
        db_ = nullptr;
        status = connect(path, false, true, version);
    }
    if (status != ERROR_SUCCESS)
        return status;
    if (version == 0) {
        if (readonly_)
            return ERROR_ACCESS_DENIED;
        if ((status = create_schema()) != ERROR_SUCCESS)
            return status;
    } else if (version != schema_version) {
        // A database of another program, or of a later schema than this one knows.
        return ERROR_BADDB;
    }
    if (!unchanging_)
        cache.attach(db_);
    return ERROR_SUCCESS;
}

// Opens the database and reads its schema version.
LONG connection::connect(const std::string& path, bool writable, bool unchanging, int& version)
{
    int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    std::string name = path;
    if (unchanging) {
        static const char hex[] = "0123456789ABCDEF";
        name = "file:";
        for (unsigned char ch : path) {
            if (std::isalnum(ch) || std::strchr("/-._~", ch)) {
                name += static_cast<char>(ch);
            } else {
                name += '%';
                name += hex[ch >> 4];
                name += hex[ch & 15];
            }
        }
        name += "?immutable=1";
        flags |= SQLITE_OPEN_URI;
    }
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags, registry_vfs());
    if (rc != SQLITE_OK)
        return sql_status(rc);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, busy_wait, nullptr);
    readonly_ = !writable || sqlite3_db_readonly(db_, "main") == 1;
    unchanging_ = unchanging;

    // A page cache of up to 16 MiB, filled as pages are read, holds the pages of a registry of
    // 100,000 keys: SQLite's default of 2 MiB made every lookup in one that large a read.
    LONG status = exec("PRAGMA foreign_keys = ON; PRAGMA cell_size_check = ON; PRAGMA cache_size = -16384");
    // A registry's rows are tens of bytes, and a write puts each page it changes into the WAL
    // whole: with pages of 1 KiB (in a database made here; one that exists keeps its own) a new
    // key with its value writes 8 KiB where 4 KiB pages made it 32 KiB. The WAL is folded back
    // into the database once it holds 4 MiB, whatever the page size, so that the fsync()s that
    // end a checkpoint come after as many bytes of writes as they did with SQLite's default.
    if (status == ERROR_SUCCESS && !readonly_)
        status = exec("PRAGMA page_size = 1024; PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
    if (status == ERROR_SUCCESS && !readonly_) {
        sqlite3_stmt* page = nullptr;
        if (sqlite3_prepare_v2(db_, "PRAGMA page_size", -1, &page, nullptr) == SQLITE_OK &&
            sqlite3_step(page) == SQLITE_ROW && sqlite3_column_int(page, 0) > 0)
            sqlite3_wal_autocheckpoint(db_, (4 << 20) / sqlite3_column_int(page, 0));
        sqlite3_finalize(page);
    }
    if (status != ERROR_SUCCESS)
        return status;
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW)
        version = sqlite3_column_int(s, 0), rc = SQLITE_OK;
    sqlite3_finalize(s);
    return sql_status(rc);
}

// Damage is found where a statement reads it, and from then on every call reports it. What
// every call may read is checked once per process: the header and schema (by opening), and
// the root and outermost pages of every table and index, each reached in a few page reads
// whatever the database's size. The WAL needs no check: SQLite takes none of its frames
// whose checksum fails.
void connection::check_edges()
{
    static const char* const edges[] = {
        "SELECT min(id) FROM keys",
        "SELECT max(id) FROM keys",
        "SELECT min(path) FROM keys INDEXED BY sqlite_autoindex_keys_1",
        "SELECT max(path) FROM keys INDEXED BY sqlite_autoindex_keys_1",
        "SELECT min(parent) FROM keys INDEXED BY keys_children",
        "SELECT max(parent) FROM keys INDEXED BY keys_children",
        "SELECT min(id) FROM vals",
        "SELECT max(id) FROM vals",
        "SELECT min(key) FROM vals INDEXED BY sqlite_autoindex_vals_1",
        "SELECT max(key) FROM vals INDEXED BY sqlite_autoindex_vals_1",
        "SELECT min(key) FROM vals INDEXED BY vals_order",
        "SELECT max(key) FROM vals INDEXED BY vals_order",
        "SELECT max(rowid) FROM sqlite_sequence",
        "SELECT count FROM flushes",
    };
    for (const char* sql : edges) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        if (rc == SQLITE_OK)
            rc = sqlite3_step(s);
        sqlite3_finalize(s);
        // A table or index missing from the schema makes the registry's own statements fail.
        if (rc == SQLITE_ERROR || sql_status(rc) == ERROR_BADDB) {
            damaged.store(true, std::memory_order_relaxed);
            return;
        }
    }
}

LONG connection::create_schema()
{
    LONG status = exec("BEGIN IMMEDIATE");
    if (status != ERROR_SUCCESS)
        return status;
    // Another process may have made it while this one waited for the lock.
    int version = -1, objects = -1;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT (SELECT user_version FROM pragma_user_version), count(*) FROM sqlite_schema",
                           -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        version = sqlite3_column_int(s, 0);
        objects = sqlite3_column_int(s, 1);
    }
    int rc = sqlite3_finalize(s);
    if (rc != SQLITE_OK)
        status = sql_status(rc);
    else if (version == 0 && objects == 0)
        status = exec((std::string(schema_sql) + "PRAGMA user_version = " + std::to_string(schema_version)).c_str());
    else if (version != schema_version)
        status = ERROR_BADDB;
    if (status != ERROR_SUCCESS) {
        exec("ROLLBACK");
        return status;
    }
    return exec("COMMIT");
}

pthread_key_t connection_key;
thread_local connection* current = nullptr;

void end_thread(void* p)
{
    current = nullptr;
    delete static_cast<connection*>(p);
}

// The connection of the calling thread, opened on first use. Null with the reason in status.
connection* thread_connection(LONG& status)
{
    static std::once_flag once;
    static int key_rc = 0;
    if (damaged.load(std::memory_order_relaxed)) {
        status = ERROR_BADDB;
        return nullptr;
    }
    unsigned gen = fork_generation();
    if (current && current->generation == gen) {
        status = ERROR_SUCCESS;
        return current;
    }
    std::call_once(once, [] { key_rc = pthread_key_create(&connection_key, end_thread); });
    if (key_rc != 0) {
        status = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // A connection inherited through fork() is the parent's: closing it here could disturb the
    // parent's locks, so it is left alone.
    current = nullptr;
    pthread_setspecific(connection_key, nullptr);

    connection* c = new (std::nothrow) connection;
    if (!c) {
        status = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    status = c->open();
    if (status == ERROR_SUCCESS) {
        static std::once_flag checked;
        std::call_once(checked, [c] { c->check_edges(); });
        if (damaged.load(std::memory_order_relaxed))
            status = ERROR_BADDB;
    }
    if (status != ERROR_SUCCESS) {
        delete c;
        return nullptr;
    }
    c->generation = gen;
    pthread_setspecific(connection_key, c);
    current = c;
    return c;
}

// ---- keys and handles -----------------------------------------------------------------

struct root_key {
    HKEY hkey;
    sqlite3_int64 id;
    std::string path;
};

// Never destroyed: registry calls may come from static destructors of other modules.
const root_key* const roots = new root_key[5]{
    {HKEY_CLASSES_ROOT, 1, "HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, 2, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, 3, "HKEY_LOCAL_MACHINE"},   {HKEY_USERS, 4, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, 6, "HKEY_CURRENT_CONFIG"},
};
constexpr int root_count = 5;

const root_key* find_root(HKEY h)
{
    // The predefined values share their upper bits; one compare rejects every opened key.
    auto v = reinterpret_cast<std::uintptr_t>(h);
    if ((v & ~std::uintptr_t{0xf}) != (reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) & ~std::uintptr_t{0xf}))
        return nullptr;
    for (int i = 0; i < root_count; ++i) {
        if (roots[i].hkey == h)
            return &roots[i];
    }
    return nullptr;
}

constexpr REGSAM all_rights = KEY_ALL_ACCESS;

class key_object final : public object {
public:
    key_object(sqlite3_int64 id, std::string path, REGSAM access) : id(id), path(std::move(path)), access(access) {}
    const sqlite3_int64 id;
    const std::string path;  // upper-cased, from the root's name: what the path column holds
    const REGSAM access;
    std::mutex cursor_lock;
    enum_cursor cursors[2];
};

// What a call works on: the key behind a handle or a predefined root.
struct key_ref {
    sqlite3_int64 id = 0;
    const std::string* path = nullptr;
    REGSAM access = 0;
    bool root = false;
    std::shared_ptr<key_object> held;
};

bool resolve(HKEY h, key_ref& k)
{
    if (const root_key* r = find_root(h)) {
        k.id = r->id;
        k.path = &r->path;
        k.access = all_rights;
        k.root = true;
        return true;
    }
    DWORD saved = GetLastError();
    k.held = handle_get_as<key_object>(reinterpret_cast<HANDLE>(h));
    SetLastError(saved);
    if (!k.held)
        return false;
    k.id = k.held->id;
    k.path = &k.held->path;
    k.access = k.held->access;
    return true;
}

REGSAM granted(REGSAM sam)
{
    REGSAM g = sam & (all_rights | KEY_WOW64_RES);
    if (sam & (MAXIMUM_ALLOWED | GENERIC_ALL))
        g |= all_rights;
    if (sam & GENERIC_READ)
        g |= KEY_READ;
    if (sam & GENERIC_WRITE)
        g |= KEY_WRITE;
    if (sam & GENERIC_EXECUTE)
        g |= KEY_EXECUTE;
    return g & all_rights;
}

char fold_char(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string fold(const char* s, std::size_t n)
{
    std::string out(s, n);
    for (char& c : out)
        c = fold_char(c);
    return out;
}

// The names of a subkey path, checked as Windows checks them: no leading backslash, empty
// names (doubled or trailing backslashes) skipped, no name over the limit.
struct name_span {
    const char* p;
    std::size_t n;
};

LONG split_path(const char* sub, name_span names[], std::size_t& count, std::size_t max_count)
{
    count = 0;
    if (!sub)
        return ERROR_SUCCESS;
    if (*sub == '\\')
        return ERROR_BAD_PATHNAME;
    const char* p = sub;
    while (*p) {
        const char* end = std::strchr(p, '\\');
        std::size_t n = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (n > max_key_name)
            return ERROR_INVALID_PARAMETER;
        if (n > 0) {
            if (count == max_count)
                return ERROR_INVALID_PARAMETER;
            names[count++] = name_span{p, n};
        }
        p += n;
        if (*p == '\\')
            ++p;
    }
    return ERROR_SUCCESS;
}

// Windows nests keys at most 512 deep.
constexpr std::size_t max_depth = 512;

LONG check_alive(connection& c, const key_ref& k)
{
    if (k.root)
        return ERROR_SUCCESS;
    read_cache::snapshot before;
    bool steady = c.cache.current(before);
    // A key's path never changes, and a path kept with the key's id was found in this state.
    if (steady && c.cache.unchanged()) {
        auto it = c.cache.paths.find(*k.path);
        if (it != c.cache.paths.end() && it->second == k.id)
            return ERROR_SUCCESS;
    }
    query q(c, key_exists);
    if (q.bind(1, k.id).step()) {
        if (steady && c.cache.may_keep(before))
            c.cache.paths.emplace(*k.path, k.id);
        return ERROR_SUCCESS;
    }
    return q.ok() ? ERROR_KEY_DELETED : q.status();
}

// What a search that found nothing under a key means: `code` while the key exists, 1018 once
// it was deleted.
LONG not_found(connection& c, const key_ref& k, LONG code)
{
    LONG alive = check_alive(c, k);
    return alive == ERROR_SUCCESS ? code : alive;
}

// The id of the key at a path, if it exists.
LONG lookup(connection& c, const std::string& path, sqlite3_int64& id, bool& found)
{
    read_cache::snapshot before;
    bool steady = c.cache.current(before);
    if (steady && c.cache.unchanged()) {
        auto it = c.cache.paths.find(path);
        if (it != c.cache.paths.end()) {
            id = it->second;
            found = true;
            return ERROR_SUCCESS;
        }
    }
    query q(c, find_key);
    found = q.bind(1, path).step();
    if (found) {
        id = q.integer(0);
        if (steady && c.cache.may_keep(before))
            c.cache.paths.emplace(path, id);
    }
    return q.status();
}

// The id of an existing key; 2 when it is missing, 1018 when the base key is gone.
LONG find(connection& c, const key_ref& base, const std::string& path, sqlite3_int64& id)
{
    if (path == *base.path) {
        id = base.id;
        return check_alive(c, base);
    }
    bool found = false;
    LONG status = lookup(c, path, id, found);
    if (status != ERROR_SUCCESS)
        return status;
    if (found) {
        // A key deleted and made again under the same path is another key: a handle to the
        // deleted one must not reach into it.
        return check_alive(c, base);
    }
    return not_found(c, base, ERROR_FILE_NOT_FOUND);
}

LONG new_handle(sqlite3_int64 id, std::string path, REGSAM access, PHKEY result)
{
    auto obj = std::make_shared<key_object>(id, std::move(path), access);
    DWORD saved = GetLastError();
    HANDLE h = handle_insert(obj);
    LONG status = h ? ERROR_SUCCESS : static_cast<LONG>(GetLastError());
    SetLastError(saved);
    if (h)
        *result = reinterpret_cast<HKEY>(h);
    return status;
}

// Enough of a call's common start: the thread's connection and the key behind the handle.
struct call {
    connection* c = nullptr;
    key_ref key;
    LONG status = ERROR_SUCCESS;

    explicit call(HKEY h)
    {
        c = thread_connection(status);
        if (c && !resolve(h, key))
            status = ERROR_INVALID_HANDLE;
    }
    // A call that needs `right` on the key, and to write, a store open for writing.
    call(HKEY h, REGSAM right, bool writes = false) : call(h)
    {
        if (ok() && ((key.access & right) != right || (writes && c->readonly())))
            status = ERROR_ACCESS_DENIED;
    }
    bool ok() const { return status == ERROR_SUCCESS; }

    // Steps the enumeration to the entry at index, from the handle's cursor where the index
    // follows it; false with status set (259 past the end).
    // For subkeys, the time each was last written is worked out only when `written` asks.
    bool entry_at(enum_kind kind, DWORD index, std::optional<query>& q, bool written = false)
    {
        std::unique_lock<std::mutex> lock;
        enum_cursor* cur = &c->root_cursors[key.id & 7][kind];
        if (key.held) {
            lock = std::unique_lock<std::mutex>(key.held->cursor_lock);
            cur = &key.held->cursors[kind];
        }
        bool same = index > 0 && cur->valid && index == cur->index;
        bool next = index > 0 && cur->valid && index == cur->index + 1;
        bool keys = kind == enum_subkeys;
        stmt_id id = same   ? (keys ? enum_key_same : enum_value_same)
                     : next ? (keys ? enum_key_next : enum_value_next)
                            : (keys ? enum_key : enum_value);
        q.emplace(*c, id);
        q->bind(1, key.id);
        if (!same && !next)
            q->bind(2, static_cast<sqlite3_int64>(index));
        else if (keys)
            q->bind(2, cur->path);
        else
            q->bind(2, cur->id);
        if (keys)
            q->bind(3, written ? 1 : 0);
        if (!q->step()) {
            cur->valid = false;
            status = q->ok() ? not_found(*c, key, ERROR_NO_MORE_ITEMS) : q->status();
            return false;
        }
        cur->valid = true;
        cur->index = index;
        if (keys)
            cur->path.assign(static_cast<const char*>(q->blob(2)), q->size(2));
        else
            cur->id = q->integer(3);
        return true;
    }
};

std::string value_fold(const char* name, std::size_t& n)
{
    n = name ? std::strlen(name) : 0;
    return fold(name ? name : "", n);
}

bool is_string_type(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies a name into a caller's buffer of `capacity` characters (terminator included).
LONG copy_name(const void* name, std::size_t n, LPSTR out, LPDWORD capacity)
{
    if (n >= *capacity) {
        // Windows fills what fits, terminated, and leaves the capacity as it was.
        if (*capacity > 0) {
            std::memcpy(out, name, *capacity - 1);
            out[*capacity - 1] = 0;
        }
        return ERROR_MORE_DATA;
    }
    if (n)
        std::memcpy(out, name, n);
    out[n] = 0;
    *capacity = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
}

// Copies value data as RegQueryValueExA and RegEnumValueA do.
LONG copy_data(DWORD type, const void* data, std::size_t size, LPBYTE out, LPDWORD capacity)
{
    if (!capacity)
        return ERROR_SUCCESS;
    LONG status = ERROR_SUCCESS;
    if (out) {
        if (size > *capacity) {
            status = ERROR_MORE_DATA;
        } else {
            if (size)
                std::memcpy(out, data, size);
            // A string stored without its terminator gets one where the buffer has room, as
            // Windows adds it; the size reported stays the stored one.
            if (is_string_type(type) && size > 0 && size < *capacity && static_cast<const char*>(data)[size - 1] != 0)
                out[size] = 0;
        }
    }
    *capacity = static_cast<DWORD>(size);
    return status;
}

void to_filetime(sqlite3_int64 t, PFILETIME ft)
{
    if (ft) {
        ft->dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) & 0xffffffffu);
        ft->dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
    }
}

// Runs a statement without bindings once.
LONG run_once(connection& c, stmt_id id)
{
    query q(c, id);
    q.step();
    return q.status();
}

// Ends the transaction begun with begin_immediate: committed if all went well so far, else
// rolled back. The first failure is the result.
LONG end_transaction(connection& c, LONG status)
{
    if (status == ERROR_SUCCESS)
        status = run_once(c, commit);
    if (status != ERROR_SUCCESS)
        run_once(c, rollback);
    return status;
}

// Steps a one-row query about a key and stores its columns, in order, where the caller asked.
LONG key_counts(connection& c, stmt_id id, sqlite3_int64 key, std::initializer_list<LPDWORD> outs)
{
    query q(c, id);
    if (!q.bind(1, key).step())
        return q.ok() ? ERROR_REGISTRY_IO_FAILED : q.status();
    int column = 0;
    for (LPDWORD out : outs) {
        if (out)
            *out = static_cast<DWORD>(q.integer(column));
        ++column;
    }
    return ERROR_SUCCESS;
}

LONG open_or_create(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, bool create, PHKEY phkResult,
                    LPDWORD lpdwDisposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    call cl(hKey);
    if (!cl.ok())
        return cl.status;
    name_span names[max_depth];
    std::size_t count = 0;
    LONG status = split_path(lpSubKey, names, count, max_depth);
    if (status != ERROR_SUCCESS)
        return status;
    // A predefined key opened as itself stays the predefined key.
    if (count == 0 && cl.key.root && !create) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }

    std::string path = *cl.key.path;
    for (std::size_t i = 0; i < count; ++i) {
        path += '\\';
        for (std::size_t j = 0; j < names[i].n; ++j)
            path += fold_char(names[i].p[j]);
    }
    connection& c = *cl.c;
    sqlite3_int64 id = 0;
    status = find(c, cl.key, path, id);
    if (status == ERROR_SUCCESS || !create || status != ERROR_FILE_NOT_FOUND) {
        if (status == ERROR_SUCCESS) {
            if (lpdwDisposition)
                *lpdwDisposition = REG_OPENED_EXISTING_KEY;
            status = new_handle(id, std::move(path), granted(samDesired), phkResult);
        }
        return status;
    }
    if (c.readonly())
        return ERROR_ACCESS_DENIED;

    // Creation: find the deepest key that exists and add the rest below it, all in one
    // transaction so that concurrent creators of the same path agree on one key.
    status = run_once(c, begin_immediate);
    if (status != ERROR_SUCCESS)
        return status;
    std::size_t have = count;
    sqlite3_int64 parent = cl.key.id;
    std::string prefix = path;
    while (have > 0) {
        status = find(c, cl.key, prefix, parent);
        if (status == ERROR_SUCCESS)
            break;
        if (status != ERROR_FILE_NOT_FOUND)
            break;
        prefix.resize(prefix.size() - names[have - 1].n - 1);
        --have;
    }
    if (have == 0) {
        parent = cl.key.id;
        status = check_alive(c, cl.key);
    }
    if (status == ERROR_SUCCESS && have < count) {
        // The key that gets a new subkey was last written now.
        query touch(c, touch_key);
        touch.bind(1, parent).step();
        status = touch.status();
        for (std::size_t i = have; i < count && status == ERROR_SUCCESS; ++i) {
            prefix += '\\';
            prefix += fold(names[i].p, names[i].n);
            query ins(c, insert_key);
            ins.bind(1, parent).bind(2, names[i].p, names[i].n).bind(3, prefix).step();
            status = ins.status();
            parent = sqlite3_last_insert_rowid(c.db());
        }
    }
    status = end_transaction(c, status);
    if (status != ERROR_SUCCESS)
        return status;
    if (lpdwDisposition)
        *lpdwDisposition = have < count ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return new_handle(parent, std::move(path), granted(samDesired), phkResult);
}

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    return open_or_create(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    // Volatile keys and links would need state that ends with the machine's boot; nothing
    // here asks for them, so they are refused rather than made permanent.
    if (dwOptions & (REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK))
        return ERROR_NOT_SUPPORTED;
    return open_or_create(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult,
                           nullptr);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (find_root(hKey))
        return ERROR_SUCCESS;
    DWORD saved = GetLastError();
    bool closed = handle_get_as<key_object>(reinterpret_cast<HANDLE>(hKey)) && handle_remove(hKey);
    SetLastError(saved);
    return closed ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    call cl(hKey, KEY_QUERY_VALUE);
    if (!cl.ok())
        return cl.status;
    std::size_t n;
    std::string name = value_fold(lpValueName, n);
    connection& c = *cl.c;
    read_cache::snapshot before;
    bool steady = c.cache.current(before);
    std::string kept_as;
    if (steady) {
        kept_as = std::to_string(cl.key.id) + '\\' + name;
        if (c.cache.unchanged()) {
            auto it = c.cache.values.find(kept_as);
            if (it != c.cache.values.end()) {
                if (lpType)
                    *lpType = it->second.type;
                return copy_data(it->second.type, it->second.data.data(), it->second.data.size(), lpData, lpcbData);
            }
        }
    }
    query q(c, get_value);
    if (q.bind(1, cl.key.id).bind(2, name).step()) {
        DWORD type = static_cast<DWORD>(q.integer(0));
        if (lpType)
            *lpType = type;
        if (steady && q.size(1) <= read_cache::max_kept_value && c.cache.may_keep(before))
            c.cache.values[kept_as] = read_cache::kept_value{
                type,
                std::string(static_cast<const char*>(q.blob(1)) ? static_cast<const char*>(q.blob(1)) : "", q.size(1))};
        return copy_data(type, q.blob(1), q.size(1), lpData, lpcbData);
    }
    if (!q.ok())
        return q.status();
    return not_found(*cl.c, cl.key, ERROR_FILE_NOT_FOUND);
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    std::size_t n;
    std::string fold_name = value_fold(lpValueName, n);
    if (n > max_value_name)
        return ERROR_INVALID_PARAMETER;
    call cl(hKey, KEY_SET_VALUE, true);
    if (!cl.ok())
        return cl.status;
    query q(*cl.c, set_value);
    q.bind(1, cl.key.id).bind(2, fold_name).bind(3, lpValueName ? lpValueName : "", n);
    q.bind(4, static_cast<sqlite3_int64>(dwType)).bind(5, lpData, cbData).step();
    return q.status();
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    call cl(hKey, KEY_SET_VALUE, true);
    if (!cl.ok())
        return cl.status;
    std::size_t n;
    std::string name = value_fold(lpValueName, n);
    query q(*cl.c, delete_value);
    q.bind(1, cl.key.id).bind(2, name).step();
    if (!q.ok())
        return q.status();
    if (sqlite3_changes(cl.c->db()) > 0)
        return ERROR_SUCCESS;
    return not_found(*cl.c, cl.key, ERROR_FILE_NOT_FOUND);
}

LSTATUS WINAPI RegDeleteKeyExA(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, DWORD)
{
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    HKEY target = nullptr;
    LONG status = RegOpenKeyExA(hKey, lpSubKey, 0, (samDesired & KEY_WOW64_RES) | DELETE, &target);
    if (status != ERROR_SUCCESS)
        return status;
    call cl(target);
    if (cl.ok() && cl.key.root)
        status = ERROR_ACCESS_DENIED;  // the predefined keys cannot go
    else if (cl.ok() && cl.c->readonly())
        status = ERROR_ACCESS_DENIED;
    else if (cl.ok()) {
        connection& c = *cl.c;
        status = run_once(c, begin_immediate);
        if (status == ERROR_SUCCESS)
            status = check_alive(c, cl.key);
        if (status == ERROR_SUCCESS) {
            // A key with subkeys is refused, as Windows refuses it; values go with the key.
            query sub(c, has_children);
            if (sub.bind(1, cl.key.id).step())
                status = ERROR_ACCESS_DENIED;
            else
                status = sub.status();
        }
        if (status == ERROR_SUCCESS) {
            query parent(c, touch_parent);
            parent.bind(1, cl.key.id).step();
            status = parent.status();
        }
        if (status == ERROR_SUCCESS) {
            query del(c, delete_key);
            del.bind(1, cl.key.id).step();
            status = del.status();
        }
        status = end_transaction(c, status);
    } else {
        status = cl.status;
    }
    RegCloseKey(target);
    return status;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime)
{
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    call cl(hKey, KEY_QUERY_VALUE);
    if (!cl.ok())
        return cl.status;
    connection& c = *cl.c;
    LONG status = check_alive(c, cl.key);
    if (status != ERROR_SUCCESS)
        return status;
    // Keys have no class here: the class is the empty string.
    if (lpClass) {
        if (*lpcchClass == 0)
            return ERROR_MORE_DATA;
        lpClass[0] = 0;
    }
    if (lpcchClass)
        *lpcchClass = 0;
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    // Each count reads every entry of its kind: none is read for nothing.
    if (lpcSubKeys || lpcbMaxSubKeyLen)
        status = key_counts(c, info_keys, cl.key.id, {lpcSubKeys, lpcbMaxSubKeyLen});
    if (status == ERROR_SUCCESS && (lpcValues || lpcbMaxValueNameLen || lpcbMaxValueLen))
        status = key_counts(c, info_values, cl.key.id, {lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen});
    if (status != ERROR_SUCCESS)
        return status;
    if (lpftLastWriteTime) {
        query q(c, key_written);
        if (!q.bind(1, cl.key.id).step())
            return q.ok() ? ERROR_KEY_DELETED : q.status();
        to_filetime(q.integer(0), lpftLastWriteTime);
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    call cl(hKey, KEY_ENUMERATE_SUB_KEYS);
    if (!cl.ok())
        return cl.status;
    std::optional<query> found;
    if (!cl.entry_at(enum_subkeys, dwIndex, found, lpftLastWriteTime != nullptr))
        return cl.status;
    query& q = *found;
    if (lpClass && *lpcchClass == 0)
        return ERROR_MORE_DATA;
    LONG status = copy_name(q.blob(0), q.size(0), lpName, lpcchName);
    if (status != ERROR_SUCCESS)
        return status;
    if (lpClass)
        lpClass[0] = 0;
    if (lpcchClass)
        *lpcchClass = 0;
    to_filetime(q.integer(1), lpftLastWriteTime);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    return RegEnumKeyExA(hKey, dwIndex, lpName, &cchName, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                             LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    call cl(hKey, KEY_QUERY_VALUE);
    if (!cl.ok())
        return cl.status;
    std::optional<query> found;
    if (!cl.entry_at(enum_values, dwIndex, found))
        return cl.status;
    query& q = *found;
    DWORD type = static_cast<DWORD>(q.integer(1));
    if (lpType)
        *lpType = type;
    LONG name_status = copy_name(q.blob(0), q.size(0), lpValueName, lpcchValueName);
    LONG data_status = copy_data(type, q.blob(2), q.size(2), lpData, lpcbData);
    return name_status != ERROR_SUCCESS ? name_status : data_status;
}

LSTATUS WINAPI RegFlushKey(HKEY hKey)
{
    call cl(hKey);
    if (!cl.ok())
        return cl.status;
    connection& c = *cl.c;
    if (c.readonly())
        return check_alive(c, cl.key);
    // With synchronous=NORMAL a commit reaches the WAL but not the disk. A commit under FULL
    // syncs the WAL file, and with it every frame that any connection committed before; the
    // counter changes so that there is a commit to sync: a commit that changes nothing writes
    // no frame and syncs nothing.
    LONG status = check_alive(c, cl.key);
    if (status == ERROR_SUCCESS)
        status = c.exec("PRAGMA synchronous = FULL");
    if (status != ERROR_SUCCESS)
        return status;
    status = run_once(c, count_flush);
    LONG restored = c.exec("PRAGMA synchronous = NORMAL");
    return status != ERROR_SUCCESS ? status : restored;
}

}  // extern "C"
