// vantor: the common base library of the suite.
//
// Typed registry access, the suite's shared data locations and the machine-wide "active user
// changed" notification. These 49 functions are the module's whole exported surface; all
// but the nine plain-named _C entry points are exported under their C++ names.
#ifndef VANTOR_VANTOR_H
#define VANTOR_VANTOR_H

#include <winport/afx.h>
#include <winport/winport.h>

#if defined(_WIN32)
#if defined(VANTOR_BUILDING)
#define VANTOR_API __declspec(dllexport)
#else
#define VANTOR_API __declspec(dllimport)
#endif
#else
#if defined(VANTOR_BUILDING)
#define VANTOR_API __attribute__((visibility("default")))
#else
#define VANTOR_API
#endif
#endif

// Registry values on any root key. Readers return the default (and clear *found) when the
// value cannot be read as their type; writers create missing keys.
VANTOR_API long getreg_long(HKEY root, const char* subkey, const char* name, long def, bool* found = nullptr);
VANTOR_API unsigned long getreg_ulong(HKEY root, const char* subkey, const char* name, unsigned long def,
                                      bool* found = nullptr);
VANTOR_API ULONGLONG getreg_qword(HKEY root, const char* subkey, const char* name, ULONGLONG def,
                                  bool* found = nullptr);
VANTOR_API double getreg_double(HKEY root, const char* subkey, const char* name, double def, bool* found = nullptr);
// The result points into a ring of module buffers (or is def itself): copy it at once.
VANTOR_API const char* getreg_string(HKEY root, const char* subkey, const char* name, const char* def);
// *length: the buffer's capacity on entry; on return the bytes stored (terminator included), or
// with false the bytes needed when they do not fit. A null buffer asks for that size alone.
VANTOR_API bool getreg_stringEx(HKEY root, const char* subkey, const char* name, char* buffer, int* length);
VANTOR_API bool setreg_long(HKEY root, const char* subkey, const char* name, long value);
VANTOR_API bool setreg_ulong(HKEY root, const char* subkey, const char* name, unsigned long value);
VANTOR_API bool setreg_qword(HKEY root, const char* subkey, const char* name, ULONGLONG value);
VANTOR_API bool setreg_double(HKEY root, const char* subkey, const char* name, double value);
VANTOR_API bool setreg_string(HKEY root, const char* subkey, const char* name, const char* value);

// Sections: all values of one key as four parallel arrays; data blocks are malloc'ed and
// belong to the caller.
VANTOR_API bool getreg_section(HKEY root, const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                               CDWordArray& lengths, CStringArray* subkeys = nullptr);
VANTOR_API bool setreg_section(HKEY root, const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                               CDWordArray& lengths, int freeData);
// Deletes, or tests for, one value of the key.
VANTOR_API bool setreg_delete_subkey(HKEY root, const char* subkey, const char* name);
VANTOR_API bool getreg_does_subkey_exist(HKEY root, const char* subkey, const char* name);
// Deletes the key (not one that has subkeys).
VANTOR_API bool setreg_delete_section(HKEY root, const char* subkey);

// Shortcuts on HKEY_LOCAL_MACHINE.
VANTOR_API long getreg_LM_long(const char* subkey, const char* name, long def, bool* found = nullptr);
VANTOR_API bool setreg_LM_long(const char* subkey, const char* name, long value);
VANTOR_API const char* getreg_LM_string(const char* subkey, const char* name, const char* def);
VANTOR_API bool getreg_LM_stringEx(const char* subkey, const char* name, char* buffer, int* length);
VANTOR_API bool setreg_LM_string(const char* subkey, const char* name, const char* value);
VANTOR_API double getreg_LM_double(const char* subkey, const char* name, double def, bool* found = nullptr);
VANTOR_API bool setreg_LM_double(const char* subkey, const char* name, double value);
VANTOR_API bool setreg_LM_delete_subkey(const char* subkey, const char* name);
VANTOR_API bool getreg_LM_does_subkey_exist(const char* subkey, const char* name);
VANTOR_API bool getreg_LM_section(const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                                  CDWordArray& lengths);
VANTOR_API bool setreg_LM_section(const char* subkey, CStringArray& names, CDWordArray& types, CPtrArray& data,
                                  CDWordArray& lengths, int freeData);
VANTOR_API bool setreg_LM_delete_section(const char* subkey);

// Plain-named entry points for callers that cannot use C++ names; 1 is true, 0 false.
extern "C" {
VANTOR_API long getreg_LM_long_C(const char* subkey, const char* name, long def);
VANTOR_API int setreg_LM_long_C(const char* subkey, const char* name, long value);
VANTOR_API const char* getreg_LM_string_C(const char* subkey, const char* name, const char* def);
VANTOR_API int getreg_LM_stringEx_C(const char* subkey, const char* name, char* buffer, int* length);
VANTOR_API int setreg_LM_string_C(const char* subkey, const char* name, const char* value);
VANTOR_API double getreg_LM_double_C(const char* subkey, const char* name, double def);
VANTOR_API int setreg_LM_double_C(const char* subkey, const char* name, double value);
VANTOR_API int setreg_LM_delete_subkey_C(const char* subkey, const char* name);
VANTOR_API int getreg_LM_does_subkey_exist_C(const char* subkey, const char* name);
}

// Copies one HKEY_LOCAL_MACHINE value to another place; the target is always written.
VANTOR_API void copy_LM_string(const char* srcSubkey, const char* srcName, const char* dstSubkey, const char* dstName);
VANTOR_API void copy_LM_long(const char* srcSubkey, const char* srcName, const char* dstSubkey, const char* dstName);

// Writes the key tree to a REGEDIT4 file, new or appended; false when the file cannot be
// opened or written.
VANTOR_API bool SaveRegToFile(HKEY root, const char* subkey, const char* file, bool append);

// Data locations: the value's length plus one, or -1; the value is copied only when it fits.
VANTOR_API int getVantorServerLocation(char* buffer, int size);
VANTOR_API int getVantorDataLocation(char* buffer, int size);
VANTOR_API int getVantorTempDataLocation(char* buffer, int size);
VANTOR_API bool setVantorServerLocation(const char* location);
VANTOR_API bool setVantorDataLocation(const char* location);
VANTOR_API bool setVantorTempDataLocation(const char* location);

// Active-user change: callbacks run on this process's watcher thread whenever any process
// signals a change.
VANTOR_API void vantorRegisterActiveUserChangedCallback(void (*callback)(void*), void* context);
VANTOR_API void vantorUnregisterActiveUserChangedCallback(void (*callback)(void*), void* context);
VANTOR_API void vantorSignalActiveUserChanged();

#endif
