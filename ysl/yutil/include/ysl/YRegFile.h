// Registration files: registry keys and values as text, the form that SaveRegToFile and the
// registry editors write. A file is read whole into the list of its changes before anything
// is applied, so that a file with an error changes nothing; the changes are then applied in
// the file's order.
//
// Both headers are read: "REGEDIT4" (text in the process's ANSI code page) and "Windows
// Registry Editor Version 5.00" (UTF-16LE after a byte-order mark; its text and the data of
// its string types hex(1), hex(2) and hex(7) are turned into the ANSI code page, as the ANSI
// registry functions take them).
#ifndef YSL_YREGFILE_H
#define YSL_YREGFILE_H

#include <winport/winport.h>

#include <string>
#include <string_view>
#include <vector>

struct YRegFileValue {
    std::string name;  // empty: the key's default value
    bool remove = false;
    DWORD type = REG_NONE;
    std::string data;  // the bytes as the registry stores them
    int line = 0;
};

struct YRegFileKey {
    HKEY root = nullptr;
    std::string path;     // below the root, without empty names; empty: the root itself
    bool remove = false;  // the key and everything below it
    int line = 0;
    std::vector<YRegFileValue> values;
    // The key as the file names it, from the root's long name: "HKEY_CURRENT_USER\Software\X".
    std::string full_name() const;
};

struct YRegFileError {
    int line = 0;    // 1-based
    int column = 0;  // 1-based, in bytes of the line's text as decoded
    std::string message;
};

// The predefined root named by its long or short name (HKEY_LOCAL_MACHINE or HKLM, in any
// case), or null.
HKEY YRegFile_FindRoot(std::string_view name);

// Parses a whole file's bytes into keys. 1 on success; 0 with the error set and keys empty.
int YRegFile_Parse(std::string_view bytes, std::vector<YRegFileKey>& keys, YRegFileError& error);

// How far an application came. The counts are what was written before a failure: keys opened
// or created and key trees deleted; values set or deleted.
struct YRegFileApplied {
    unsigned keys = 0;
    unsigned values = 0;
    LONG status = ERROR_SUCCESS;           // the failed registry call's code
    const YRegFileKey* key = nullptr;      // where it failed
    const YRegFileValue* value = nullptr;  // null when the key itself failed
};

// Applies the keys in order in the 32-bit registry view, the view of the module's registry
// functions, and stops at the first registry failure. Deleting what does not exist is no
// failure. 1 when everything was applied, else 0.
int YRegFile_Apply(const std::vector<YRegFileKey>& keys, YRegFileApplied& done);

#endif
