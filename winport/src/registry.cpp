// The registry: keys and values in one SQLite database, $PREFIX/registry.db, shared by every
// process of the prefix.
//
// Every thread has a connection of its own with its statements prepared once, so a call takes
// no lock of ours; the locks of SQLite's WAL index (kept by registry_locks.cpp) order the
// writers of all processes. Each call is one
// statement (or one IMMEDIATE transaction where it reads and then writes), so nothing another
// process does can come between its steps, and a write is in the WAL before the call returns.
#include "registry_db.h"

#include "handles.h"

#include <winport/winport.h>

#include <sqlite3.h>

#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>

namespace winport {
namespace reg {
namespace {

// Windows refuses a key name from 257 characters on and a value name from 16384 on.
constexpr std::size_t max_key_name = 256;
constexpr std::size_t max_value_name = 16383;

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
    if (steady && c.cache.unchanged(before)) {
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
    if (steady && c.cache.unchanged(before)) {
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

// Where the read cache keeps a value of a key, by its folded name.
std::string value_cache_key(sqlite3_int64 key, const std::string& folded)
{
    return std::to_string(key) + '\\' + folded;
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

// Makes what is missing of the keys on `path`, the full path of names[0..count) below `base`:
// finds the deepest key that exists and adds the rest below it, all in one transaction so that
// concurrent creators of the same path agree on one key. `id` is then the key at `path`, and
// `made` says whether any key was new.
LONG create_path(connection& c, const key_ref& base, const name_span names[], std::size_t count,
                 const std::string& path, sqlite3_int64& id, bool& made)
{
    LONG status = run_once(c, begin_immediate);
    if (status != ERROR_SUCCESS)
        return status;
    // Under the write lock the base cannot go meanwhile: one check serves every level.
    status = check_alive(c, base);
    std::size_t have = count;
    sqlite3_int64 parent = base.id;
    std::string prefix = path;
    bool found = false;
    while (status == ERROR_SUCCESS && have > 0) {
        status = lookup(c, prefix, parent, found);
        if (status != ERROR_SUCCESS || found)
            break;
        prefix.resize(prefix.size() - names[have - 1].n - 1);
        --have;
    }
    if (status == ERROR_SUCCESS && have < count) {
        // The key that gets a new subkey was last written now.
        query touch(c, touch_key);
        touch.bind(1, parent).step();
        status = touch.status();
        for (std::size_t i = have; i < count && status == ERROR_SUCCESS; ++i) {
            prefix.append(path, prefix.size(), names[i].n + 1);  // the backslash and the name, folded
            query ins(c, insert_key);
            ins.bind(1, parent).bind(2, names[i].p, names[i].n).bind(3, prefix).step();
            status = ins.status();
            parent = sqlite3_last_insert_rowid(c.db());
        }
    }
    id = parent;
    made = have < count;
    return end_transaction(c, status);
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

    bool made = false;
    status = create_path(c, cl.key, names, count, path, id, made);
    if (status != ERROR_SUCCESS)
        return status;
    if (lpdwDisposition)
        *lpdwDisposition = made ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return new_handle(id, std::move(path), granted(samDesired), phkResult);
}

}  // namespace
}  // namespace reg
}  // namespace winport

using namespace winport;
using namespace winport::reg;

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
        kept_as = value_cache_key(cl.key.id, name);
        if (c.cache.unchanged(before)) {
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
    read_cache& cache = cl.c->cache;
    unsigned begun = cache.writes_begun();
    query q(*cl.c, set_value);
    q.bind(1, cl.key.id).bind(2, fold_name).bind(3, lpValueName ? lpValueName : "", n);
    q.bind(4, static_cast<sqlite3_int64>(dwType)).bind(5, lpData, cbData).step();
    if (q.ok() && cache.wrote(begun)) {
        std::string kept_as = value_cache_key(cl.key.id, fold_name);
        if (cbData <= read_cache::max_kept_value)
            cache.values[kept_as] = read_cache::kept_value{
                dwType, std::string(lpData ? reinterpret_cast<const char*>(lpData) : "", cbData)};
        else
            cache.values.erase(kept_as);
    }
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
