// What the units of the registry share: the prepared statements, the per-thread connection
// to the database and the running of one statement. Internal to winport.
#ifndef WINPORT_SRC_REGISTRY_DB_H
#define WINPORT_SRC_REGISTRY_DB_H

#include "registry_cache.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <atomic>
#include <string>

namespace winport {
namespace reg {

constexpr int schema_version = 1;

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

// The text of each statement, by its id.
extern const char* const stmt_sql[stmt_count];

// Once the database was found damaged, every call says so, as Windows does for a hive it could
// not load; nothing is read from or written to it any more by this process.
extern std::atomic<bool> damaged;

// The Windows code for an SQLite result; a sign of damage also sets `damaged`.
LONG sql_status(int rc);

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

// A thread's connection to the database, with the statements it ran kept prepared.
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
    read_cache cache;  // what it read, kept while the database has not changed

    // The predefined keys have no handle object to keep a cursor: each thread keeps its own.
    enum_cursor root_cursors[8][2];

private:
    LONG connect(const std::string& path, bool writable, bool unchanging, int& version);
    LONG create_schema();
    // SQLite's call after each commit of the connection, with the frames its WAL holds.
    static int wal_committed(void* self, sqlite3* db, const char* schema, int frames);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmts_[stmt_count] = {};
    int checkpoint_frames_ = 4096;  // the frames in 4 MiB of WAL
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

// The connection of the calling thread, opened on first use. Null with the reason in status.
connection* thread_connection(LONG& status);

}  // namespace reg
}  // namespace winport

#endif
