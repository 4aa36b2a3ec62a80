// Fuzzing of the INI parser, renderer and set operations. The input is a flags byte, then
// text and an edit separated by NUL bytes: document text, section, entry, value.
//
// Properties: parsing never crashes; the rendering of any document (also a partial one after
// a parse error) parses again to the same rendering; a set operation that succeeds leaves a
// document whose rendering still parses to itself and holds the value; one that fails
// leaves the document unchanged.
#include <ysl/YIniData.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

std::string_view next_field(std::string_view& rest)
{
    size_t n = rest.find('\0');
    std::string_view field = rest.substr(0, n);
    rest = n == std::string_view::npos ? std::string_view() : rest.substr(n + 1);
    return field;
}

void check_reparses(const YIniData& d, unsigned flags)
{
    std::string text = d.GetContentString();
    YIniData again(flags);
    check(again.SetContentString(text));
    check(again.GetContentString() == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned flags = data[0] & YINIDATA_ALL_FLAGS;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string_view text = next_field(rest);
    std::string section(next_field(rest));
    std::string entry(next_field(rest));
    std::string value(next_field(rest));

    YIniData d(flags);
    d.SetContentString(text);
    check_reparses(d, flags);

    YIniData copy(d);
    check(copy == d);

    const std::string before = d.GetContentString();
    if (d.SetStringEntry(section.c_str(), entry.c_str(), value)) {
        check_reparses(d, flags);
        std::string got;
        check(d.GetStringEntry(section.c_str(), entry.c_str(), got) && got == value);
    } else {
        check(d.GetContentString() == before);
    }

    long n = 0;
    if (d.SetLongEntry(section.c_str(), entry.c_str(), static_cast<long>(size))) {
        check(d.GetLongEntry(section.c_str(), entry.c_str(), &n));
        check_reparses(d, flags);
    }
    if (d.RenameSection(section, value))
        check_reparses(d, flags);
    d.DeleteEntry(value.c_str(), entry.c_str());
    d.DeleteSection(entry.c_str());
    check_reparses(d, flags);
    return 0;
}
