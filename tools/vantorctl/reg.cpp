// vantorctl reg: query, set, delete and export registry values through the library's
// exported registry functions.
//
//   vantorctl reg set 'HKLM\SOFTWARE\Orvane\Test' Count dword 31
//   vantorctl reg query 'HKLM\SOFTWARE\Orvane\Test' [Count]
//   vantorctl reg delete 'HKLM\SOFTWARE\Orvane\Test' [Count]
//   vantorctl reg export 'HKLM\SOFTWARE\Orvane' out.reg [--append]   (- for the standard output)
//   vantorctl reg import out.reg   (reg_file.cpp)
#include "commands.h"

#include <vantor/vantor.h>
#include <ysl/YRegFile.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& message)
{
    std::fprintf(stderr, "vantorctl reg: %s\n", message.c_str());
    throw CLI::RuntimeError(1);
}

bool same_name(const char* a, const char* b)
{
    return CString(a).CompareNoCase(b) == 0;
}

struct key_path {
    HKEY root;
    std::string subkey;
};

// "HKLM\SOFTWARE\Orvane" or "HKEY_LOCAL_MACHINE\SOFTWARE\Orvane"; the root alone addresses
// the root key.
key_path parse_key(const std::string& text)
{
    size_t slash = text.find('\\');
    std::string root = text.substr(0, slash);
    if (HKEY r = YRegFile_FindRoot(root))
        return {r, slash == std::string::npos ? std::string() : text.substr(slash + 1)};
    fail("unknown root key \"" + root + "\" (HKLM, HKCU, HKCR, HKU, HKCC or their long names)");
}

const char* type_name(DWORD type)
{
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    return type < sizeof names / sizeof names[0] ? names[type] : "REG_UNKNOWN";
}

std::string data_text(DWORD type, const void* block, DWORD length)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    char number[32];
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        const void* end = std::memchr(bytes, 0, length);
        return std::string(reinterpret_cast<const char*>(bytes),
                           end ? static_cast<const unsigned char*>(end) - bytes : length);
    }
    if (type == REG_DWORD && length == 4) {
        DWORD v;
        std::memcpy(&v, bytes, 4);
        std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(v));
        return number;
    }
    if (type == REG_QWORD && length == 8) {
        uint64_t v;
        std::memcpy(&v, bytes, 8);
        std::snprintf(number, sizeof number, "%" PRIu64, v);
        return number;
    }
    std::string out;
    for (DWORD i = 0; i < length; ++i) {
        std::snprintf(number, sizeof number, i ? " %02x" : "%02x", bytes[i]);
        out += number;
    }
    return out;
}

// A key's values read whole; the data blocks are released with it.
struct section {
    CStringArray names;
    CDWordArray types;
    CPtrArray data;
    CDWordArray lengths;
    CStringArray subkeys;
    ~section()
    {
        for (INT_PTR i = 0; i < data.GetSize(); ++i)
            std::free(data[i]);
    }
};

void query(const std::string& key_text, const std::vector<std::string>& name)
{
    key_path k = parse_key(key_text);
    section s;
    if (!getreg_section(k.root, k.subkey.c_str(), s.names, s.types, s.data, s.lengths, &s.subkeys))
        fail("cannot read " + key_text);
    if (!name.empty()) {
        for (INT_PTR i = 0; i < s.names.GetSize(); ++i) {
            if (same_name(s.names[i], name[0].c_str())) {
                std::printf("%s\n", shown(data_text(s.types[i], s.data[i], s.lengths[i])).c_str());
                return;
            }
        }
        fail("no value \"" + name[0] + "\" in " + key_text);
    }
    std::printf("%s\n", shown(key_text).c_str());
    for (INT_PTR i = 0; i < s.names.GetSize(); ++i)
        std::printf("    %s\t%s\t%s\n", s.names[i].IsEmpty() ? "(default)" : shown(s.names[i].GetString()).c_str(),
                    type_name(s.types[i]), shown(data_text(s.types[i], s.data[i], s.lengths[i])).c_str());
    for (INT_PTR i = 0; i < s.subkeys.GetSize(); ++i)
        std::printf("    %s\\\n", shown(s.subkeys[i].GetString()).c_str());
}

// A whole-string integer in decimal or, with 0x, hexadecimal, with an optional minus sign.
bool parse_integer(const std::string& text, bool& negative, unsigned long long& magnitude)
{
    negative = !text.empty() && text[0] == '-';
    const char* digits = text.c_str() + (negative ? 1 : 0);
    if (!std::isxdigit(static_cast<unsigned char>(*digits)))
        return false;  // also refuses a second sign and leading blanks, which strtoull allows
    errno = 0;
    char* end = nullptr;
    magnitude = std::strtoull(digits, &end, 0);
    return errno != ERANGE && *end == '\0';
}

std::vector<unsigned char> parse_bytes(const std::vector<std::string>& words)
{
    std::vector<unsigned char> bytes;
    for (const std::string& word : words) {
        size_t at = 0;
        while (at <= word.size()) {
            size_t comma = word.find(',', at);
            std::string part = word.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            char* end = nullptr;
            unsigned long v = part.empty() || part.size() > 2 ? 256 : std::strtoul(part.c_str(), &end, 16);
            if (v > 255 || *end != '\0')
                fail("not a hex byte: \"" + part + "\"");
            bytes.push_back(static_cast<unsigned char>(v));
            if (comma == std::string::npos)
                break;
            at = comma + 1;
        }
    }
    return bytes;
}

// There is no binary writer of its own: the value is written as a one-value section, which
// needs the key to exist.
bool set_binary(const key_path& k, const std::string& name, const std::vector<unsigned char>& bytes)
{
    section probe;
    bool created = false;
    if (!getreg_section(k.root, k.subkey.c_str(), probe.names, probe.types, probe.data, probe.lengths)) {
        if (!setreg_string(k.root, k.subkey.c_str(), name.c_str(), ""))
            return false;
        created = true;
    }
    section s;
    s.names.Add(name.c_str());
    s.types.Add(REG_BINARY);
    void* block = std::malloc(bytes.empty() ? 1 : bytes.size());
    if (!block)
        return false;
    if (!bytes.empty())
        std::memcpy(block, bytes.data(), bytes.size());
    s.data.Add(block);
    s.lengths.Add(static_cast<DWORD>(bytes.size()));
    bool ok = setreg_section(k.root, k.subkey.c_str(), s.names, s.types, s.data, s.lengths, 0);
    if (!ok && created)
        setreg_delete_subkey(k.root, k.subkey.c_str(), name.c_str());
    return ok;
}

void set(const std::string& key_text, const std::string& name, const std::string& type,
         const std::vector<std::string>& values)
{
    key_path k = parse_key(key_text);
    const char* sub = k.subkey.c_str();
    if (type != "binary" && values.size() != 1)
        fail("type " + type + " takes exactly one value");
    bool ok = false;
    if (type == "sz") {
        ok = setreg_string(k.root, sub, name.c_str(), values[0].c_str());
    } else if (type == "dword") {
        // -2147483648 to 4294967295: negative numbers as signed, the rest as unsigned.
        bool negative;
        unsigned long long v;
        if (!parse_integer(values[0], negative, v) || v > (negative ? 0x80000000ull : 0xFFFFFFFFull))
            fail("not a 32-bit number: \"" + values[0] + "\"");
        ok = negative ? setreg_long(k.root, sub, name.c_str(), static_cast<long>(-static_cast<long long>(v)))
                      : setreg_ulong(k.root, sub, name.c_str(), static_cast<unsigned long>(v));
    } else if (type == "qword") {
        bool negative;
        unsigned long long v;
        if (!parse_integer(values[0], negative, v) || negative)
            fail("not an unsigned 64-bit number: \"" + values[0] + "\"");
        ok = setreg_qword(k.root, sub, name.c_str(), v);
    } else if (type == "double") {
        char* end = nullptr;
        double v = std::strtod(values[0].c_str(), &end);
        if (values[0].empty() || *end != '\0')
            fail("not a number: \"" + values[0] + "\"");
        ok = setreg_double(k.root, sub, name.c_str(), v);
    } else if (type == "binary") {
        ok = set_binary(k, name, parse_bytes(values));
    } else {
        fail("unknown type \"" + type + "\" (sz, dword, qword, double, binary)");
    }
    if (!ok)
        fail("cannot write \"" + name + "\" in " + key_text);
}

void remove(const std::string& key_text, const std::vector<std::string>& name)
{
    key_path k = parse_key(key_text);
    if (name.empty()) {
        if (!setreg_delete_section(k.root, k.subkey.c_str()))
            fail("cannot delete " + key_text + " (missing, or it has subkeys)");
    } else if (!setreg_delete_subkey(k.root, k.subkey.c_str(), name[0].c_str())) {
        fail("cannot delete \"" + name[0] + "\" in " + key_text);
    }
}

}  // namespace

// Names and data as query shows them: control characters escaped in the C manner (\t, \n, \r,
// else \xHH; also the two bytes of a C1 control in UTF-8), so that no name or string can move
// the cursor, start a terminal escape sequence or pass for lines of the listing. Always, not
// only on a terminal: a listing piped to a file or a pager still reaches one, and scripts
// reading it line by line must not be misled either. Backslashes stay as they are, so that
// paths read as paths; exact bytes are what export writes.
std::string shown(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        char escaped[12];
        if (c == '\t' || c == '\n' || c == '\r') {
            out += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x\\x%02x", c, next);
            out += escaped;
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void add_reg_command(CLI::App& app)
{
    CLI::App* reg = app.add_subcommand("reg", "query, set, delete, export and import registry values");
    reg->require_subcommand(1);

    struct options {
        std::string key, name, type, file;
        std::vector<std::string> names, values;
        bool append = false;
    };
    auto o = std::make_shared<options>();
    const char* key_help = "the key: HKLM\\..., HKCU\\..., HKCR\\..., HKU\\..., HKCC\\... or the long root names";

    CLI::App* q = reg->add_subcommand("query", "list a key's values and subkeys, or print one value's data");
    q->add_option("key", o->key, key_help)->required();
    q->add_option("name", o->names, "the value's name")->expected(0, 1);
    q->callback([o] { query(o->key, o->names); });

    CLI::App* s = reg->add_subcommand("set", "write a value, creating missing keys");
    s->add_option("key", o->key, key_help)->required();
    s->add_option("name", o->name, "the value's name ('' for the key's default value)")->required();
    s->add_option("type", o->type, "sz, dword, qword, double or binary")->required();
    s->add_option("value", o->values, "the value; for binary: hex bytes such as 01 ab 00 or 01,ab,00")->expected(0, -1);
    s->callback([o] { set(o->key, o->name, o->type, o->values); });

    CLI::App* d = reg->add_subcommand("delete", "delete one value, or the key (which must have no subkeys)");
    d->add_option("key", o->key, key_help)->required();
    d->add_option("name", o->names, "the value's name")->expected(0, 1);
    d->callback([o] { remove(o->key, o->names); });

    CLI::App* e = reg->add_subcommand("export", "write the key tree to a REGEDIT4 file");
    e->add_option("key", o->key, key_help)->required();
    e->add_option("file", o->file, "the file, or - for the standard output")->required();
    e->add_flag("--append", o->append, "append to the file instead of starting it anew");
    e->callback([o] {
        key_path k = parse_key(o->key);
        if (!export_reg_file(k.root, k.subkey, o->file, o->append))
            fail("cannot write " + o->file);
    });
    add_reg_import_command(*reg);
}
