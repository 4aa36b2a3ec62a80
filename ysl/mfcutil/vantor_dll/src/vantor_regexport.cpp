// The export of a key tree to a REGEDIT4 registration file, new or appended. Strings, 32-bit
// numbers and binary values have notations of their own; every other type is written as
// typed hexadecimal bytes, and the user is warned once per export when such values were met.
// No key or value can add lines of its own: a string holding a line break is written in
// hexadecimal too, and keys and values whose names hold one are left out and warned of.
#include <vantor/vantor.h>

#include "vantor_dll_state.h"
#include "vantor_registry.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

using vantor_module::registry_guard;

namespace {

// The counts of one export, reset at its start and read at its end under the registry lock.
int type_counts[11];  // by type code; only 1 to 10 are counted
int unsupported_count;
int left_out_count;  // keys and values whose names hold a line break

// A line break inside a name or a quoted string would end its line early, and an importer would
// take the rest for lines of their own (keys and values the tree never held).
bool breaks_line(const char* text, size_t length)
{
    return std::memchr(text, '\r', length) || std::memchr(text, '\n', length);
}

// The predefined roots are the handles 0x80000000 to 0x80000006, sign-extended where
// handles are wider than 32 bits.
const char* root_name(HKEY root)
{
    static const char* const names[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",     "HKEY_LOCAL_MACHINE",
                                        "HKEY_USERS",        "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG",
                                        "HKEY_DYN_DATA"};
    const LONG_PTR first = static_cast<LONG>(0x80000000u);
    LONG_PTR handle = reinterpret_cast<LONG_PTR>(root);
    return handle >= first && handle - first < 7 ? names[handle - first] : "";
}

// Text between double quotes, with the two characters that the format escapes escaped, so
// that an importer reads back exactly these bytes.
void put_quoted(std::string& line, const char* text, size_t length)
{
    line += '"';
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\\' || c == '"')
            line += '\\';
        line += c;
    }
    line += '"';
}

void put_hex_bytes(std::string& line, const unsigned char* bytes, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        if (i > 0)
            line += ',';
        if (bytes[i] >= 0x10)
            line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0xf];
    }
}

// One value line; counts its type and, for the typed hexadecimal notation, the value as
// unsupported.
void put_value(std::string& line, const CString& name, DWORD type, const void* block, DWORD length)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    if (type >= 1 && type <= 10)
        ++type_counts[type];
    if (name.IsEmpty())
        line += "@=";
    else {
        put_quoted(line, name, static_cast<size_t>(name.GetLength()));
        line += '=';
    }
    if (type == REG_SZ) {
        // Up to the first zero, never past the stored bytes.
        const void* end = std::memchr(bytes, 0, length);
        const char* text = reinterpret_cast<const char*>(bytes);
        size_t text_length = end ? static_cast<size_t>(static_cast<const unsigned char*>(end) - bytes) : length;
        if (!breaks_line(text, text_length)) {
            put_quoted(line, text, text_length);
        } else {
            // The same string, terminated, in the typed hexadecimal notation, which has no line
            // break and reads back as the same string.
            std::string terminated(text, text_length);
            line += "hex(1):";
            put_hex_bytes(line, reinterpret_cast<const unsigned char*>(terminated.c_str()), text_length + 1);
        }
    } else if (type == REG_DWORD && length == 4) {
        DWORD value;
        std::memcpy(&value, bytes, 4);
        char text[24];
        std::snprintf(text, sizeof text, "dword:%X", static_cast<unsigned>(value));
        line += text;
    } else if (type == REG_BINARY) {
        line += "hex:";
        put_hex_bytes(line, bytes, length);
    } else {
        // Also a REG_DWORD of another length than 4: its bytes, unchanged, rather than a
        // number read past or short of them.
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
        line += prefix;
        put_hex_bytes(line, bytes, length);
        if (type < 11)
            ++unsupported_count;
    }
    line += '\n';
}

// Depth first: the key's own block, then each subkey's whole tree in the order read.
void write_key_tree(std::FILE* file, HKEY root, const std::string& path)
{
    registry_guard lock;
    // Left out with its whole tree: a subkey's path holds its parent's.
    if (breaks_line(path.data(), path.size())) {
        ++left_out_count;
        return;
    }
    CStringArray names;
    CDWordArray types;
    CPtrArray data;
    CDWordArray lengths;
    CStringArray subkeys;
    // A key that cannot be read is written without values and subkeys.
    getreg_section(root, path.c_str(), names, types, data, lengths, &subkeys);

    std::string block;
    block += '[';
    block += root_name(root);
    block += '\\';
    block += path;
    block += "]\n";
    for (INT_PTR i = 0; i < names.GetSize(); ++i) {
        if (breaks_line(names[i], static_cast<size_t>(names[i].GetLength())))
            ++left_out_count;
        else
            put_value(block, names[i], types[i], data[i], lengths[i]);
    }
    block += '\n';
    std::fwrite(block.data(), 1, block.size(), file);
    vantor_module::release_section_data(data);

    // The subkeys of a root (the empty path) are their names alone.
    for (INT_PTR i = 0; i < subkeys.GetSize(); ++i)
        write_key_tree(file, root, path.empty() ? std::string(subkeys[i]) : path + '\\' + subkeys[i].GetString());
}

// `written`: whether the file was written whole; if not, nothing in it is promised.
void show_warning(const char* subkey, const char* file, bool written)
{
    CString text;
    text.Format("While saving the registry keys from %s into file %s, %i unsupported formates where detected.", subkey,
                file, unsupported_count + left_out_count);
    if (left_out_count != 0) {
        CString left_out;
        left_out.Format(" %i of them are keys or values left out, as their names hold line breaks.", left_out_count);
        text += left_out;
    }
    text += " This might cause problems restoring unicode strings, links, big endian numbers, resource lists or "
            "resource descriptors.";
    if (written)
        text += " Other values (strings, numbers, binary values) are stored correctly.";
    text += "\n\n";
    text += "Formates found:\n\n";
    for (int t = 0; t <= 10; ++t) {
        if (type_counts[t] <= 0)
            continue;
        const char* label = t == REG_SZ       ? " (string):     "
                            : t == REG_BINARY ? " (binary):     "
                            : t == REG_DWORD  ? " (dword):      "
                                              : " (unsupported):";
        CString line;
        line.Format("Format ID %i %s\t%i\n", t, label, type_counts[t]);
        text += line;
    }
    MessageBoxA(nullptr, text, "Warning", MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

bool SaveRegToFile(HKEY root, const char* subkey, const char* file, bool append)
{
    registry_guard lock;
    if (!file)
        return false;
    if (!subkey)
        subkey = "";
    // A text stream: every line ends in CR LF, on Linux as on Windows.
    std::FILE* out = _fsopen(file, append ? "at" : "wt", _SH_DENYNO);
    if (!out)
        return false;
    std::fputs(append ? "\n" : "REGEDIT4\n\n", out);

    for (int& count : type_counts)
        count = 0;
    unsupported_count = 0;
    left_out_count = 0;
    write_key_tree(out, root, subkey);
    // A file cut short (a full disk) is no saved tree: the caller learns it did not work.
    bool written = !std::ferror(out);
    written = std::fclose(out) == 0 && written;

    if (unsupported_count + left_out_count != 0)
        show_warning(subkey, file, written);
    return written;
}
