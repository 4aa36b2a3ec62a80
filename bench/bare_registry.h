// The bare registry calls that the registry benchmarks set beside the layers above them: a
// DWORD named "count" under HKEY_LOCAL_MACHINE\key_path, opened, read or written, and closed
// on every call, as a caller without a cached key does.
#pragma once

#include <winport/winport.h>

inline bool bare_registry_get(const char* key_path)
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ | KEY_WOW64_32KEY, &k) != ERROR_SUCCESS)
        return false;
    DWORD v = 0, type = 0, size = sizeof v;
    LONG rc = RegQueryValueExA(k, "count", nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    RegCloseKey(k);
    return rc == ERROR_SUCCESS && type == REG_DWORD;
}

inline bool bare_registry_set(const char* key_path, int i)
{
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path, 0, KEY_WRITE | KEY_WOW64_32KEY, &k) != ERROR_SUCCESS)
        return false;
    DWORD v = static_cast<DWORD>(i);
    LONG rc = RegSetValueExA(k, "count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    RegCloseKey(k);
    return rc == ERROR_SUCCESS;
}
