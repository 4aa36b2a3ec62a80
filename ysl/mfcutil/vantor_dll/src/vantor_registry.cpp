// Typed registry values: one named value of a fixed kind under root + subkey, read with a
// default and written with creation of missing keys; the HKEY_LOCAL_MACHINE shortcuts, their
// plain-named entry points and the copies forward to them.
//
// Every function holds the registry lock for its whole duration; none shows a box or writes
// diagnostics.
#include <vantor/vantor.h>

#include "vantor_dll_state.h"
#include "vantor_registry.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

using vantor_module::malloc_ptr;
using vantor_module::registry_guard;
using vantor_module::registry_key;
using vantor_module::registry_read_access;

namespace {

// The results of getreg_string live here, never on the caller's heap: a ring of short slots
// that every call advances, a ring of long slots for values that do not fit a short one, and
// one block for anything larger, replaced by the next such value. Only touched under the
// registry lock.
constexpr DWORD short_slot_size = 260;
constexpr DWORD long_slot_size = 65535;
char short_ring[16][short_slot_size];
char long_ring[8][long_slot_size];
unsigned short_calls;
unsigned long_calls;
char* oversize_block;

// Queries one value of root\subkey, opened for reading into `key` so that the caller may query
// it again; a key that cannot be opened gives its error.
LONG query_value(registry_key& key, HKEY root, const char* subkey, const char* name, DWORD& type, void* out,
                 DWORD& size)
{
    LONG rc = key.open(root, subkey, registry_read_access);
    return rc != ERROR_SUCCESS ? rc : RegQueryValueExA(key.get(), name, nullptr, &type, static_cast<BYTE*>(out), &size);
}

// Reads a value of exactly `size` bytes and the given type; anything else is not the kind.
bool read_fixed(HKEY root, const char* subkey, const char* name, DWORD type, void* out, DWORD size)
{
    registry_key key;
    DWORD stored_type = 0;
    DWORD stored_size = size;
    LONG rc = query_value(key, root, subkey, name, stored_type, out, stored_size);
    // A shorter value would leave bytes of the result unset: not a value of this kind.
    return rc == ERROR_SUCCESS && stored_type == type && stored_size == size;
}

// The number readers: found is cleared on entry and set only when the value is returned.
template <typename T>
bool get_fixed(HKEY root, const char* subkey, const char* name, DWORD type, T& value, bool* found)
{
    registry_guard lock;
    if (found)
        *found = false;
    if (!read_fixed(root, subkey, name, type, &value, sizeof value))
        return false;
    if (found)
        *found = true;
    return true;
}

enum class create_with { ex, plain };

// Opens for writing and sets; when either fails, creates the key (and its path) and sets once
// more.
bool set_fixed(HKEY root, const char* subkey, const char* name, DWORD type, const void* bytes, DWORD size,
               create_with how)
{
    registry_guard lock;
    const BYTE* data = static_cast<const BYTE*>(bytes);
    registry_key key;
    if (key.open(root, subkey, vantor_module::registry_write_access) == ERROR_SUCCESS &&
        RegSetValueExA(key.get(), name, 0, type, data, size) == ERROR_SUCCESS)
        return true;
    key.close();
    LONG rc = how == create_with::ex ? key.create(root, subkey) : key.create_default(root, subkey);
    return rc == ERROR_SUCCESS && RegSetValueExA(key.get(), name, 0, type, data, size) == ERROR_SUCCESS;
}

// Whether a number of the caller's type has the same value in the 32 bits of the stored form
// (always, where long has 32 bits).
template <typename Stored, typename T>
bool fits(T value)
{
    if constexpr (sizeof(T) <= sizeof(Stored))
        return true;
    else
        return value >= std::numeric_limits<Stored>::min() && value <= std::numeric_limits<Stored>::max();
}

// A REG_SZ may be stored without its terminating zero. Given the bytes a query returned into a
// buffer with room for at least one byte more, ends the text after them if it is not ended;
// the stored length including the terminator.
DWORD terminate_string(char* text, DWORD stored)
{
    if (stored > 0 && text[stored - 1] == '\0')
        return stored;
    text[stored] = '\0';
    return stored + 1;
}

// After a query found the value larger than its room, with `size` the bytes it needs, reads it
// again into place(room) until it is read whole. place gives a buffer of room + 1 bytes (the
// spare one for a terminator), or null, and may raise the room to what its buffer holds. Gives
// ERROR_MORE_DATA, with the size last needed, when no buffer could be had or the value was
// still growing at the last try.
template <typename Place>
LONG read_grown(HKEY key, const char* name, DWORD& type, DWORD& size, Place place)
{
    LONG rc = ERROR_MORE_DATA;
    DWORD room = 0;
    for (int retry = 1; rc == ERROR_MORE_DATA && retry <= vantor_module::registry_read_tries; ++retry) {
        room = vantor_module::registry_retry_room(retry, size, room);
        char* into = place(room);
        if (!into)
            return ERROR_MORE_DATA;
        size = room;
        rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(into), &size);
    }
    return rc;
}

}  // namespace

long getreg_long(HKEY root, const char* subkey, const char* name, long def, bool* found)
{
    // LONG is 32 bits on every target: widening to long keeps the stored number's sign.
    LONG value;
    return get_fixed(root, subkey, name, REG_DWORD, value, found) ? value : def;
}

unsigned long getreg_ulong(HKEY root, const char* subkey, const char* name, unsigned long def, bool* found)
{
    DWORD value;
    return get_fixed(root, subkey, name, REG_DWORD, value, found) ? value : def;
}

ULONGLONG getreg_qword(HKEY root, const char* subkey, const char* name, ULONGLONG def, bool* found)
{
    ULONGLONG value;
    return get_fixed(root, subkey, name, REG_QWORD, value, found) ? value : def;
}

double getreg_double(HKEY root, const char* subkey, const char* name, double def, bool* found)
{
    static_assert(sizeof(double) == 8, "stored as the 8 bytes of an IEEE 754 binary64");
    double value;
    return get_fixed(root, subkey, name, REG_BINARY, value, found) ? value : def;
}

const char* getreg_string(HKEY root, const char* subkey, const char* name, const char* def)
{
    registry_guard lock;
    char* buffer = short_ring[short_calls++ % 16];
    buffer[0] = '\0';

    // Each buffer keeps one byte beyond the room given to the query, for the terminator of a
    // string stored without one.
    registry_key key;
    DWORD type = 0;
    DWORD size = short_slot_size - 1;
    LONG rc = query_value(key, root, subkey, name, type, buffer, size);
    if (rc == ERROR_MORE_DATA) {
        char* long_slot = nullptr;
        rc = read_grown(key.get(), name, type, size, [&](DWORD& room) {
            if (room < long_slot_size) {
                // One long slot per call, however often the value has to be read again.
                if (!long_slot)
                    long_slot = long_ring[long_calls++ % 8];
                room = long_slot_size - 1;
                return buffer = long_slot;
            }
            std::free(oversize_block);
            oversize_block = static_cast<char*>(std::malloc(size_t(room) + 1));
            return buffer = oversize_block;
        });
    }
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return def;
    terminate_string(buffer, size);
    return buffer;
}

bool getreg_stringEx(HKEY root, const char* subkey, const char* name, char* buffer, int* length)
{
    registry_guard lock;
    if (!length)
        return false;
    // Without a buffer, or with a capacity below 1, the call asks for the size needed alone.
    // The query still gets a buffer, of no room: given none, it would report success.
    DWORD capacity = *length > 0 && buffer ? static_cast<DWORD>(*length) : 0;
    char none;
    *length = 0;

    registry_key key;
    DWORD type = 0;
    DWORD size = capacity;
    LONG rc = query_value(key, root, subkey, name, type, capacity ? buffer : &none, size);
    malloc_ptr whole;
    if (rc == ERROR_MORE_DATA && type == REG_SZ) {
        // Whether the string needs a terminator added shows only in its bytes, and by the time
        // they are read it may fit after all.
        rc = read_grown(key.get(), name, type, size, [&](DWORD& room) {
            whole.reset(static_cast<char*>(std::malloc(size_t(room) + 1)));
            return whole.get();
        });
    }
    if (rc == ERROR_MORE_DATA) {
        *length = size <= INT_MAX ? static_cast<int>(size) : INT_MAX;
        return false;
    }
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return false;
    if (whole) {
        size = terminate_string(whole.get(), size);
        if (size <= capacity)
            std::memcpy(buffer, whole.get(), size);
    } else if (size < capacity || (size > 0 && buffer[size - 1] == '\0')) {
        size = terminate_string(buffer, size);
    } else {
        ++size;  // stored without a terminator, and the buffer is full
    }
    if (size > capacity) {
        *length = size <= INT_MAX ? static_cast<int>(size) : INT_MAX;
        return false;
    }
    buffer[capacity - 1] = '\0';
    *length = static_cast<int>(size);
    return true;
}

bool setreg_long(HKEY root, const char* subkey, const char* name, long value)
{
    // The stored form has 32 bits; a wider number is refused rather than cut.
    if (!fits<LONG>(value))
        return false;
    LONG stored = static_cast<LONG>(value);
    return set_fixed(root, subkey, name, REG_DWORD, &stored, sizeof stored, create_with::ex);
}

bool setreg_ulong(HKEY root, const char* subkey, const char* name, unsigned long value)
{
    if (!fits<DWORD>(value))
        return false;
    DWORD stored = static_cast<DWORD>(value);
    return set_fixed(root, subkey, name, REG_DWORD, &stored, sizeof stored, create_with::ex);
}

bool setreg_qword(HKEY root, const char* subkey, const char* name, ULONGLONG value)
{
    return set_fixed(root, subkey, name, REG_QWORD, &value, sizeof value, create_with::ex);
}

bool setreg_double(HKEY root, const char* subkey, const char* name, double value)
{
    return set_fixed(root, subkey, name, REG_BINARY, &value, sizeof value, create_with::plain);
}

bool setreg_string(HKEY root, const char* subkey, const char* name, const char* value)
{
    registry_guard lock;
    if (!value)
        return false;
    size_t length = std::strlen(value);
    if (length >= UINT32_MAX)
        return false;
    registry_key key;
    if (key.open(root, subkey, vantor_module::registry_write_access) != ERROR_SUCCESS &&
        key.create(root, subkey) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
}

// --- HKEY_LOCAL_MACHINE shortcuts -----------------------------------------------------------

long getreg_LM_long(const char* subkey, const char* name, long def, bool* found)
{
    return getreg_long(HKEY_LOCAL_MACHINE, subkey, name, def, found);
}

bool setreg_LM_long(const char* subkey, const char* name, long value)
{
    return setreg_long(HKEY_LOCAL_MACHINE, subkey, name, value);
}

const char* getreg_LM_string(const char* subkey, const char* name, const char* def)
{
    return getreg_string(HKEY_LOCAL_MACHINE, subkey, name, def);
}

bool getreg_LM_stringEx(const char* subkey, const char* name, char* buffer, int* length)
{
    return getreg_stringEx(HKEY_LOCAL_MACHINE, subkey, name, buffer, length);
}

bool setreg_LM_string(const char* subkey, const char* name, const char* value)
{
    return setreg_string(HKEY_LOCAL_MACHINE, subkey, name, value);
}

double getreg_LM_double(const char* subkey, const char* name, double def, bool* found)
{
    return getreg_double(HKEY_LOCAL_MACHINE, subkey, name, def, found);
}

bool setreg_LM_double(const char* subkey, const char* name, double value)
{
    return setreg_double(HKEY_LOCAL_MACHINE, subkey, name, value);
}

bool setreg_LM_delete_subkey(const char* subkey, const char* name)
{
    return setreg_delete_subkey(HKEY_LOCAL_MACHINE, subkey, name);
}

bool getreg_LM_does_subkey_exist(const char* subkey, const char* name)
{
    return getreg_does_subkey_exist(HKEY_LOCAL_MACHINE, subkey, name);
}

bool getreg_LM_section(const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                       CDWordArray& lengths)
{
    return getreg_section(HKEY_LOCAL_MACHINE, subkey, names, types, data, lengths, nullptr);
}

bool setreg_LM_section(const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                       CDWordArray& lengths, int freeData)
{
    return setreg_section(HKEY_LOCAL_MACHINE, subkey, names, types, data, lengths, freeData);
}

bool setreg_LM_delete_section(const char* subkey)
{
    return setreg_delete_section(HKEY_LOCAL_MACHINE, subkey);
}

// --- plain-named entry points ---------------------------------------------------------------

long getreg_LM_long_C(const char* subkey, const char* name, long def)
{
    return getreg_long(HKEY_LOCAL_MACHINE, subkey, name, def, nullptr);
}

int setreg_LM_long_C(const char* subkey, const char* name, long value)
{
    return setreg_long(HKEY_LOCAL_MACHINE, subkey, name, value) ? 1 : 0;
}

const char* getreg_LM_string_C(const char* subkey, const char* name, const char* def)
{
    return getreg_string(HKEY_LOCAL_MACHINE, subkey, name, def);
}

int getreg_LM_stringEx_C(const char* subkey, const char* name, char* buffer, int* length)
{
    return getreg_stringEx(HKEY_LOCAL_MACHINE, subkey, name, buffer, length) ? 1 : 0;
}

int setreg_LM_string_C(const char* subkey, const char* name, const char* value)
{
    return setreg_string(HKEY_LOCAL_MACHINE, subkey, name, value) ? 1 : 0;
}

double getreg_LM_double_C(const char* subkey, const char* name, double def)
{
    return getreg_double(HKEY_LOCAL_MACHINE, subkey, name, def, nullptr);
}

int setreg_LM_double_C(const char* subkey, const char* name, double value)
{
    return setreg_double(HKEY_LOCAL_MACHINE, subkey, name, value) ? 1 : 0;
}

int setreg_LM_delete_subkey_C(const char* subkey, const char* name)
{
    return setreg_LM_delete_subkey(subkey, name) ? 1 : 0;
}

int getreg_LM_does_subkey_exist_C(const char* subkey, const char* name)
{
    return getreg_LM_does_subkey_exist(subkey, name) ? 1 : 0;
}

// --- copies ---------------------------------------------------------------------------------

// The lock spans the read and the write, so that no other registry call comes between them;
// it is re-entrant, so the forwarded calls take it again.
void copy_LM_string(const char* srcSubkey, const char* srcName, const char* dstSubkey, const char* dstName)
{
    registry_guard lock;
    const char* text = getreg_LM_string(srcSubkey, srcName, "");
    setreg_LM_string(dstSubkey, dstName, text);
}

void copy_LM_long(const char* srcSubkey, const char* srcName, const char* dstSubkey, const char* dstName)
{
    registry_guard lock;
    setreg_LM_long(dstSubkey, dstName, getreg_LM_long(srcSubkey, srcName, 0, nullptr));
}
