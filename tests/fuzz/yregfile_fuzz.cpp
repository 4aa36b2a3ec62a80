// Fuzzing of the registration-file parser. The input is the file's bytes.
//
// Properties: parsing never crashes; a failure keeps no key and names a place in the file;
// what a parse gives, written out again as REGEDIT4 text in the notations the parser reads,
// parses to the same keys and values.
#include <ysl/YRegFile.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void put_quoted(std::string& out, const std::string& text)
{
    out += '"';
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    out += '"';
}

// Every value as typed bytes, split over continued lines, so that no string escaping is
// needed for data and the continuation is read again.
std::string render(const std::vector<YRegFileKey>& keys)
{
    std::string out = "REGEDIT4\r\n\r\n";
    for (const YRegFileKey& k : keys) {
        out += k.remove ? "[-" : "[";
        out += k.full_name() + "]\r\n";
        for (const YRegFileValue& v : k.values) {
            put_quoted(out, v.name);
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "=hex(%x):", static_cast<unsigned>(v.type));
            out += v.remove ? "=-" : prefix;
            for (size_t i = 0; !v.remove && i < v.data.size(); ++i) {
                char byte[16];
                std::snprintf(byte, sizeof byte, "%s%02x",
                              i == 0        ? ""
                              : i % 16 == 0 ? ",\\\r\n  "
                                            : ",",
                              static_cast<unsigned char>(v.data[i]));
                out += byte;
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

bool same(const std::vector<YRegFileKey>& a, const std::vector<YRegFileKey>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].root != b[i].root || a[i].path != b[i].path || a[i].remove != b[i].remove ||
            a[i].values.size() != b[i].values.size())
            return false;
        for (size_t j = 0; j < a[i].values.size(); ++j) {
            const YRegFileValue &x = a[i].values[j], &y = b[i].values[j];
            if (x.name != y.name || x.remove != y.remove || (!x.remove && (x.type != y.type || x.data != y.data)))
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<YRegFileKey> keys;
    YRegFileError error;
    if (!YRegFile_Parse(std::string_view(reinterpret_cast<const char*>(data), size), keys, error)) {
        check(keys.empty() && error.line >= 1 && error.column >= 1 && !error.message.empty());
        return 0;
    }
    for (const YRegFileKey& k : keys)
        check(k.root != nullptr && k.line >= 1 && (!k.remove || k.values.empty()));

    std::vector<YRegFileKey> again;
    check(YRegFile_Parse(render(keys), again, error));
    check(same(keys, again));
    return 0;
}
