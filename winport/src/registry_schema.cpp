// The registry database's schema: its tables, the statements of the registry calls, and the
// check of what every call may read.
#include "registry_db.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <string>

namespace winport {
namespace reg {

namespace {

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

}  // namespace

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

}  // namespace reg
}  // namespace winport
