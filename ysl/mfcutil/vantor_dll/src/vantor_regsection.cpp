// Registry sections: all values of one key as four parallel arrays (names, types, malloc'ed
// data blocks, lengths), read and written whole; deletion of one value or of a key, and the
// test for one value. Unexpected registry errors are shown to the user in a box.
#include <vantor/vantor.h>

#include "vantor_dll_state.h"
#include "vantor_registry.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using vantor_module::malloc_ptr;
using vantor_module::registry_error_report;
using vantor_module::registry_guard;
using vantor_module::registry_key;
using vantor_module::registry_read_access;
using vantor_module::registry_write_access;

namespace {

// A zero-filled block of n bytes, or null.
malloc_ptr zeroed(DWORD n)
{
    return malloc_ptr(static_cast<char*>(std::calloc(n ? n : 1, 1)));
}

// Takes the key's longest value name and largest value data and allocates zero-filled buffers
// for them, each with a byte to spare; the data buffer with room for at least `data_room`
// bytes.
LONG size_buffers(HKEY key, DWORD& longest_name, DWORD& largest_data, malloc_ptr& name, malloc_ptr& buffer,
                  DWORD data_room = 0)
{
    LONG rc = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest_name,
                               &largest_data, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (largest_data < data_room)
        largest_data = data_room;
    if (longest_name == UINT32_MAX || largest_data == UINT32_MAX)
        return ERROR_NOT_ENOUGH_MEMORY;
    name = zeroed(longest_name + 1);
    buffer = zeroed(largest_data + 1);
    return name && buffer ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// The names of the key's subkeys; a failure is reported, but only the values decide the
// result of a section read.
void list_subkeys(HKEY key, CStringArray& subkeys)
{
    subkeys.RemoveAll();
    char name[MAX_PATH];
    LONG rc;
    for (DWORD index = 0; (rc = RegEnumKeyA(key, index, name, sizeof name)) == ERROR_SUCCESS; ++index)
        subkeys.Add(name);
    registry_error_report(rc);
}

}  // namespace

namespace vantor_module {

bool registry_error_report(LONG code)
{
    if (code == ERROR_SUCCESS || code == ERROR_NO_MORE_ITEMS)
        return true;
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                             static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    // A code without a system text still tells the user which error it was.
    char fallback[32];
    if (n == 0 || !text)
        std::snprintf(fallback, sizeof fallback, "Error %ld", static_cast<long>(code));
    MessageBoxA(nullptr, n && text ? text : fallback, "Registry access error", MB_OK | MB_ICONEXCLAMATION);
    if (text)
        LocalFree(text);
    return false;
}

void release_section_data(CPtrArray& data)
{
    registry_guard lock;
    for (INT_PTR i = 0; i < data.GetSize(); ++i) {
        std::free(data[i]);
        data[i] = nullptr;
    }
}

}  // namespace vantor_module

bool getreg_section(HKEY root, const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                    CDWordArray& lengths, CStringArray* subkeys)
{
    registry_guard lock;
    registry_key key;
    if (key.open(root, subkey, registry_read_access) != ERROR_SUCCESS)
        return false;

    DWORD longest_name = 0;
    DWORD largest_data = 0;
    malloc_ptr name;
    malloc_ptr buffer;
    LONG rc = size_buffers(key.get(), longest_name, largest_data, name, buffer);
    if (rc != ERROR_SUCCESS)
        return registry_error_report(rc);

    names.RemoveAll();
    types.RemoveAll();
    data.RemoveAll();
    lengths.RemoveAll();

    if (subkeys)
        list_subkeys(key.get(), *subkeys);

    int retry = 0;
    for (DWORD index = 0;;) {
        DWORD name_length = longest_name + 1;
        DWORD type = 0;
        DWORD size = largest_data + 1;
        rc = RegEnumValueA(key.get(), index, name.get(), &name_length, nullptr, &type,
                           reinterpret_cast<BYTE*>(buffer.get()), &size);
        if (rc == ERROR_MORE_DATA && ++retry <= vantor_module::registry_read_tries) {
            // A value made longer, or one with a longer name added, since the key was sized.
            rc = size_buffers(key.get(), longest_name, largest_data, name, buffer,
                              vantor_module::registry_retry_room(retry, size, largest_data + 1));
            if (rc != ERROR_SUCCESS)
                break;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        // Exactly the stored bytes; a value without data still gets a block of its own.
        void* block = std::malloc(size ? size : 1);
        if (!block) {
            rc = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        std::memcpy(block, buffer.get(), size);
        names.Add(CString(name.get(), static_cast<int>(name_length)));
        types.Add(type);
        data.Add(block);
        lengths.Add(size);
        ++index;
        retry = 0;
    }
    return registry_error_report(rc);
}

bool setreg_section(HKEY root, const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                    CDWordArray& lengths, int freeData)
{
    registry_guard lock;
    registry_key key;
    if (key.open(root, subkey, registry_write_access) != ERROR_SUCCESS)
        return false;
    // The arrays' bounds-checked access throws for an element missing from a shorter array;
    // the values before it stay written, the lock and the key are released as it passes.
    for (INT_PTR i = 0; i < names.GetSize(); ++i) {
        DWORD type = types.GetAt(i);
        void* block = data.GetAt(i);
        DWORD length = lengths.GetAt(i);
        if (!registry_error_report(
                RegSetValueExA(key.get(), names.GetAt(i), 0, type, static_cast<const BYTE*>(block), length)))
            return false;
        if (freeData) {
            std::free(block);
            data[i] = nullptr;
            lengths[i] = 0;
        }
    }
    return true;
}

bool setreg_delete_subkey(HKEY root, const char* subkey, const char* name)
{
    registry_guard lock;
    registry_key key;
    if (key.open(root, subkey, registry_write_access) != ERROR_SUCCESS)
        return false;
    return RegDeleteValueA(key.get(), name) == ERROR_SUCCESS;
}

// Without the registry lock: a plain existence test need not wait for a box that another
// thread holds open.
bool getreg_does_subkey_exist(HKEY root, const char* subkey, const char* name)
{
    registry_key key;
    if (key.open(root, subkey, registry_read_access) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool setreg_delete_section(HKEY root, const char* subkey)
{
    registry_guard lock;
    if (!root || !subkey)
        return false;
    LONG rc = RegDeleteKeyExA(root, subkey, KEY_WOW64_32KEY, 0);
    if (rc == ERROR_FILE_NOT_FOUND)
        return false;
    return registry_error_report(rc);
}
