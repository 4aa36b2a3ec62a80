// The INI document classes. Defined once here and instantiated for the one comparator the
// library uses, so that every report of the document carries this file as its location.
#include <ysl/YIniData.h>

#include <ysl/fastfile.h>
#include <ysl/fileops.h>
#include <ysl/ydiag.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <ostream>
#include <utility>

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool is_comment_char(char c)
{
    return c == ';' || c == '#' || c == '*' || c == '/';
}

size_t first_non_blank(std::string_view s)
{
    size_t p = 0;
    while (p < s.size() && is_blank(s[p]))
        ++p;
    return p;
}

std::string_view trim_right(std::string_view s)
{
    size_t n = s.size();
    while (n > 0 && is_blank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

bool has_line_break(std::string_view s)
{
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// A name whose first non-blank character starts a comment would be read back as a comment.
bool is_comment_name(const char* name)
{
    std::string_view n(name);
    size_t p = first_non_blank(n);
    return p < n.size() && is_comment_char(n[p]);
}

// Why an entry name written as a new line would not read back as that entry, or null.
const char* entry_name_fault(std::string_view name)
{
    if (has_line_break(name))
        return "it holds a line break";
    if (name.find('=') != std::string_view::npos)
        return "it holds '='";
    if (trim_right(name).empty())
        return "it is empty";
    if (is_blank(name[0]))
        return "a name is read back without its leading blanks";
    if (name[0] == '[')
        return "a line that begins with '[' is a section header";
    if (is_comment_char(name[0]))
        return "the line would be a comment";
    return nullptr;
}

// Why a section name written as a header would not read back as that section, or null.
const char* section_name_fault(std::string_view name)
{
    if (has_line_break(name))
        return "it holds a line break";
    if (name.find(']') != std::string_view::npos)
        return "it holds ']'";
    return nullptr;
}

// Value texts as they are stored: 17 significant digits give back the same double.
struct double_text {
    double v;
    std::string stored() const { return format("%.17g"); }
    std::string shown() const { return format("%g"); }
    std::string format(const char* f) const
    {
        char buf[64];
        int n = std::snprintf(buf, sizeof buf, f, v);
        return std::string(buf, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
    }
};
struct long_text {
    long v;
    std::string stored() const { return std::to_string(v); }
    std::string shown() const { return stored(); }
};
struct long_long_text {
    long long v;
    std::string stored() const { return std::to_string(v); }
    std::string shown() const { return stored(); }
};
struct string_text {
    const std::string& v;
    const std::string& stored() const { return v; }
    const std::string& shown() const { return v; }
};

template <class T, class F>
bool convert(const char* text, T* out, F f)
{
    char* end = nullptr;
    T v = f(text, &end);
    *out = end == text ? T() : v;
    return end != text;
}

}  // namespace

YIniDataLine::~YIniDataLine() = default;

namespace {

// A line in the document's arena. Should the constructor throw, its bytes stay in the arena.
template <class Line, class... Args>
Line* make_line(YIniDataLineArena& arena, Args&&... args)
{
    return ::new (arena.allocate_line(sizeof(Line))) Line(std::forward<Args>(args)...);
}

}  // namespace

// --- entry -----------------------------------------------------------------------------

bool YIniDataEntry::GetDouble(double* out) const
{
    return convert(value(), out, [](const char* s, char** e) { return std::strtod(s, e); });
}

bool YIniDataEntry::GetLong(long* out) const
{
    return convert(value(), out, [](const char* s, char** e) { return std::strtol(s, e, 10); });
}

bool YIniDataEntry::GetLong(long long* out) const
{
    return convert(value(), out, [](const char* s, char** e) { return std::strtoll(s, e, 10); });
}

void YIniDataEntry::SetDouble(double v)
{
    SetString(double_text{v}.stored());
}

void YIniDataEntry::SetLong(long v)
{
    SetString(std::to_string(v));
}

void YIniDataEntry::SetLong(long long v)
{
    SetString(std::to_string(v));
}

void YIniDataEntry::SetString(std::string_view v)
{
    // A line without "=" (read with the lenient flags) is name and value at once; writing the
    // value over it would lose the name, so the value goes behind an "=" added to the line.
    if (value_pos == 0) {
        text.push_back('=');
        value_pos = text.size();
    }
    text.replace(value_pos, std::string::npos, v.data(), v.size());
}

// --- section ---------------------------------------------------------------------------

template <class Compare>
YIniDataSectionT<Compare>::YIniDataSectionT(std::string header) : YIniDataLine(std::move(header))
{
    line_vec.reserve(10);
}

template <class Compare>
YIniDataSectionT<Compare>::~YIniDataSectionT()
{
    for (size_t i = 1; i < line_vec.size(); ++i)
        delete line_vec[i];
}

template <class Compare>
YIniDataEntry* YIniDataSectionT<Compare>::GetEntry(const char* name) const
{
    auto it = entry_map.find(trim_right(name));
    return it == entry_map.end() ? nullptr : it->second;
}

template <class Compare>
bool YIniDataSectionT<Compare>::HasEntry(const char* name) const
{
    return entry_map.find(std::string_view(name)) != entry_map.end();
}

template <class Compare>
void YIniDataSectionT<Compare>::GetEntryNames(std::vector<std::string>& out) const
{
    out.clear();
    out.reserve(entry_map.size());
    for (const auto& e : entry_map)
        out.push_back(e.first);
}

template <class Compare>
bool YIniDataSectionT<Compare>::GetDoubleEntry(const char* name, double* out) const
{
    const YIniDataEntry* e = GetEntry(name);
    return e && e->GetDouble(out);
}

template <class Compare>
bool YIniDataSectionT<Compare>::GetLongEntry(const char* name, long* out) const
{
    const YIniDataEntry* e = GetEntry(name);
    return e && e->GetLong(out);
}

template <class Compare>
bool YIniDataSectionT<Compare>::GetLongEntry(const char* name, long long* out) const
{
    const YIniDataEntry* e = GetEntry(name);
    return e && e->GetLong(out);
}

template <class Compare>
bool YIniDataSectionT<Compare>::GetStringEntry(const char* name, std::string& out) const
{
    const YIniDataEntry* e = GetEntry(name);
    if (!e)
        return false;
    e->GetString(out);
    return true;
}

template <class Compare>
template <class Format>
bool YIniDataSectionT<Compare>::set_entry(const char* op, const char* name, const Format& format)
{
    const auto& value = format.stored();
    YIniDataEntry* e = GetEntry(name);
    // A line break in a value, or a name that does not read back as itself, would change the
    // structure of the saved file.
    const char* fault = has_line_break(value) ? "its value holds a line break" : e ? nullptr : entry_name_fault(name);
    if (fault) {
        YErrTrace("%s(): entry \"%s\" refused: %s", op, name, fault);
        return false;
    }
    if (e) {
        e->SetString(value);
        return true;
    }
    if (!add_new_entry(std::string_view(name), value)) {
        YErrTrace("%s(): add_new_entry() failed", op);
        return false;
    }
    return true;
}

template <class Compare>
bool YIniDataSectionT<Compare>::SetDoubleEntry(const char* name, double value)
{
    return set_entry("YIniDataSectionT::SetDoubleEntry", name, double_text{value});
}

template <class Compare>
bool YIniDataSectionT<Compare>::SetLongEntry(const char* name, long value)
{
    return set_entry("YIniDataSectionT::SetLongEntry", name, long_text{value});
}

template <class Compare>
bool YIniDataSectionT<Compare>::SetLongEntry(const char* name, long long value)
{
    return set_entry("YIniDataSectionT::SetLongLongEntry", name, long_long_text{value});
}

template <class Compare>
bool YIniDataSectionT<Compare>::SetStringEntry(const char* name, const std::string& value)
{
    return set_entry("YIniDataSectionT::SetStringEntry", name, string_text{value});
}

template <class Compare>
YIniDataEntry* YIniDataSectionT<Compare>::add_new_entry(const char* name, const char* value)
{
    return add_new_entry(std::string_view(name), std::string_view(value));
}

template <class Compare>
YIniDataEntry* YIniDataSectionT<Compare>::add_new_entry(std::string_view name, std::string_view value)
{
    name = trim_right(name);
    std::string line;
    line.reserve(name.size() + 1 + value.size());
    line.append(name).append(1, '=').append(value);
    auto* e = new YIniDataEntry(std::move(line), name.size() + 1);
    entry_map.emplace(std::string(name), e);
    line_vec.push_back(e);
    return e;
}

template <class Compare>
bool YIniDataSectionT<Compare>::DeleteEntry(const char* name)
{
    auto it = entry_map.find(std::string_view(name));
    if (it == entry_map.end()) {
        YErrTrace("YIniDataSectionT::DeleteEntry(): entry \"%.40s\" not found in entry_map", name);
        return false;
    }
    // The line is found by its object, not by parsing the lines again: in a document read
    // with the lenient flags an entry line need not hold "=".
    auto line = std::find(line_vec.begin() + 1, line_vec.end(), it->second);
    if (line == line_vec.end()) {
        YErrTrace("YIniDataSectionT::DeleteEntry(): entry \"%.40s\" not found in line_vec", name);
        return false;
    }
    delete it->second;
    entry_map.erase(it);
    line_vec.erase(line);
    return true;
}

// --- document --------------------------------------------------------------------------

template <class Compare>
YIniDataT<Compare>::YIniDataT(unsigned f) : flags(f)
{
}

template <class Compare>
YIniDataT<Compare>::YIniDataT(const char* path, unsigned)
{
    YErrTrace_BeginContext();
    if (!Open(path))
        YErrTrace_DumpContextToYErrLog("YIniData::YIniData(): Open(\"%.60s\") failed", path);
    YErrTrace_EndContext();
}

template <class Compare>
YIniDataT<Compare>::YIniDataT(const YIniDataT& other) : flags(other.flags)
{
    *this = other;
}

template <class Compare>
YIniDataT<Compare>& YIniDataT<Compare>::operator=(const YIniDataT& other)
{
    if (this == &other)
        return *this;
    clear();
    file_name = other.file_name;
    flags = other.flags;
    error_text = other.error_text;
    SetContentString(other.GetContentString());
    is_open = other.is_open;
    is_new = other.is_new;
    is_saved = other.is_saved;
    return *this;
}

template <class Compare>
YIniDataT<Compare>::~YIniDataT()
{
    YErrTrace_BeginContext();
    if (!Close())
        YErrTrace_DumpContextToYErrLog("YIniData::~YIniData(): Close() failed");
    YErrTrace_EndContext();
    clear();
}

template <class Compare>
void YIniDataT<Compare>::set_error(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    set_error_v(format, ap);
    va_end(ap);
}

template <class Compare>
void YIniDataT<Compare>::set_error_v(const char* format, va_list args)
{
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, format, args);
    error_text = buf;
}

template <class Compare>
bool YIniDataT<Compare>::refuse_line(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    set_error_v(format, ap);
    va_end(ap);
    YErrTrace("YIniData::parse_line(): %.70s", error_text.c_str());
    return false;
}

template <class Compare>
void YIniDataT<Compare>::clear()
{
    for (YIniDataLine* l : preamble)
        delete l;
    preamble.clear();
    for (auto& s : section_map)
        delete s.second;
    section_map.clear();
    current_section = nullptr;
    // Every line made in the arena stood in the preamble or in a section and is gone now.
    arena.release();
}

template <class Compare>
bool YIniDataT<Compare>::Close()
{
    clear();
    file_name.clear();
    is_open = false;
    is_new = true;
    return true;
}

template <class Compare>
bool YIniDataT<Compare>::Open(const char* path)
{
    if (!Close()) {
        YErrTrace("YIniData::Open(): Close() failed");
        return false;
    }
    file_name = path;
    if (!file_exists(path)) {
        is_new = true;
        is_saved = false;
        is_open = true;
        return true;
    }
    is_new = false;
    YFastFileReader reader;
    if (!reader.Open(path)) {
        YErrTrace("YIniData::Open(): YFastFileReader::Open() failed");
        return false;
    }
    current_section = nullptr;
    std::string line;
    for (bool first = true; !reader.IsEOF(); first = false) {
        if (!reader.ReadLine(line)) {
            YErrTrace("YIniData::Open(): YFastFileReader::ReadLine() failed");
            return false;
        }
        std::string_view text(line);
        if (first) {
            int bom = YFastFile_DetectBOM(line.data(), static_cast<unsigned>(line.size()));
            if (bom == YFASTFILE_BOM_UTF8) {
                text.remove_prefix(3);
            } else if (bom != YFASTFILE_BOM_NONE) {
                set_error("UTF16/32 Unicode format not supported.");
                YErrTrace("YIniData::Open(\"%.80s\"): UTF16/32 Unicode format not supported", path);
                return false;
            }
        }
        // Empty lines are not kept; a line that starts with NUL counts as empty.
        if (!text.empty() && text[0] != '\0' && !parse_line(text)) {
            YErrTrace("YIniData::Open(): parse_line(%.60s) failed", std::string(text).c_str());
            return false;
        }
    }
    is_saved = true;
    is_open = true;
    return true;
}

template <class Compare>
bool YIniDataT<Compare>::Reload()
{
    if (!is_open)
        return false;
    std::string path = file_name;
    return Open(path.c_str());
}

template <class Compare>
bool YIniDataT<Compare>::Save()
{
    std::string text;
    GetContentString(text);
    int mode = YFASTFILE_TRUNCATE;
    if (flags & YINIDATA_SAVE_FLUSH)
        mode |= YFASTFILE_WRITE_THROUGH;
    if (flags & YINIDATA_SAVE_VIA_TEMPFILE)
        mode |= (flags & YINIDATA_SAVE_IN_PLACE_FALLBACK) ? YFASTFILE_REPLACE_OR_IN_PLACE : YFASTFILE_REPLACE;
    if (YFastFile_WriteLinesAtOnce(file_name.c_str(), text.data(), static_cast<unsigned>(text.size()), mode) == -1) {
        YErrTrace("YIniData::Save(): YFastFile_WriteLinesAtOnce(\"%.40s\") failed", file_name.c_str());
        return false;
    }
    is_new = false;
    is_saved = true;
    return true;
}

template <class Compare>
bool YIniDataT<Compare>::SetContentString(const std::string& text)
{
    return SetContentString(std::string_view(text));
}

template <class Compare>
bool YIniDataT<Compare>::SetContentString(std::string_view text)
{
    clear();
    is_saved = false;
    size_t pos = 0;
    const size_t n = text.size();
    while (pos < n) {
        size_t end = pos;
        while (end < n && text[end] != '\r' && text[end] != '\n')
            ++end;
        if (!parse_line(text.substr(pos, end - pos))) {
            YErrTrace("YIniData::SetContentString(): parse_line() failed");
            return false;
        }
        if (end < n && text[end] == '\r' && end + 1 < n && text[end + 1] == '\n')
            ++end;
        pos = end + 1;
    }
    return true;
}

template <class Compare>
void YIniDataT<Compare>::GetContentString(std::string& out) const
{
    size_t total = 0;
    for (const YIniDataLine* l : preamble)
        total += l->text.size() + 1;
    for (const auto& s : section_map)
        for (const YIniDataLine* l : s.second->line_vec)
            total += l->text.size() + 1;
    // Sized once and filled through a pointer: appending line by line costs more in
    // bookkeeping than in copying.
    out.resize(total);
    char* to = out.data();
    auto put = [&to](const YIniDataLine* l) {
        std::memcpy(to, l->text.data(), l->text.size());
        to += l->text.size();
        *to++ = '\n';
    };
    for (const YIniDataLine* l : preamble)
        put(l);
    for (const auto& s : section_map)
        for (const YIniDataLine* l : s.second->line_vec)
            put(l);
}

template <class Compare>
std::string YIniDataT<Compare>::GetContentString() const
{
    std::string out;
    GetContentString(out);
    return out;
}

template <class Compare>
bool YIniDataT<Compare>::parse_line(std::string_view line)
{
    const size_t p = first_non_blank(line);
    if (p == line.size() || (line[0] != '[' && is_comment_char(line[p]))) {
        std::vector<YIniDataLine*>& lines = current_section ? current_section->line_vec : preamble;
        lines.push_back(make_line<YIniDataLine>(arena, std::string(line)));
        return true;
    }
    if (line[0] == '[')
        return parse_section_header(line);
    if (!current_section)
        return refuse_line("Possible entry \"%s\" found before first section", std::string(line).c_str());
    return parse_entry(line, p);
}

template <class Compare>
bool YIniDataT<Compare>::parse_section_header(std::string_view line)
{
    size_t close = line.size() < 2 ? std::string_view::npos : line.find(']', 1);
    if (close == std::string_view::npos)
        return refuse_line("no matching ']' found in \"%.50s\"", std::string(line).c_str());
    const std::string_view name = line.substr(1, close - 1);
    if (section_map.find(name) != section_map.end()) {
        const std::string shown(name);
        if (!(flags & YINIDATA_REPLACE_SECTIONS))
            return refuse_line("Section [%s] seen twice", shown.c_str());
        if (!DeleteSection(shown.c_str())) {
            set_error("Section [%s] deleting previous version failed", shown.c_str());
            YErrTrace("YIniData::parse_line(): DeleteSection() failed");
            return false;
        }
    }
    auto* s = new Section(std::string(line));
    s->line_vec.push_back(s);
    section_map.emplace(std::string(name), s);
    current_section = s;
    return true;
}

// An entry line of the current section; its name begins at `name_pos`.
template <class Compare>
bool YIniDataT<Compare>::parse_entry(std::string_view line, size_t name_pos)
{
    const char* section = current_section->text.c_str();
    const size_t e = line.find('=');
    if (!(flags & (YINIDATA_LENIENT_ENTRIES | YINIDATA_REPLACE_SECTIONS))) {
        if (e == std::string_view::npos)
            return refuse_line("No '=' found in \"%.50s\" in section %s", std::string(line).c_str(), section);
        if (e <= name_pos)
            return refuse_line("No entry name found before '=' in \"%s\" in section %s", std::string(line).c_str(),
                               section);
    }
    std::string_view name = e == std::string_view::npos ? trim_right(line.substr(name_pos))
                            : e <= name_pos             ? std::string_view()
                                                        : trim_right(line.substr(name_pos, e - name_pos));
    auto& map = current_section->entry_map;
    auto it = map.lower_bound(name);
    if (it != map.end() && it->first == name) {
        if (!(flags & YINIDATA_REPLACE_ENTRIES))
            return refuse_line("Entry \"%s\" seen twice in section %s", std::string(name).c_str(), section);
        if (!current_section->DeleteEntry(std::string(name).c_str())) {
            set_error("Entry \"%s\" deleting previous version failed", std::string(name).c_str());
            YErrTrace("YIniData::parse_line(): DeleteEntry() failed");
            return false;
        }
        it = map.lower_bound(name);
    }
    auto* entry = make_line<YIniDataEntry>(arena, std::string(line), e == std::string_view::npos ? 0 : e + 1);
    map.emplace_hint(it, std::string(name), entry);
    current_section->line_vec.push_back(entry);
    return true;
}

template <class Compare>
typename YIniDataT<Compare>::Section* YIniDataT<Compare>::GetSection(const char* section) const
{
    auto it = section_map.find(std::string_view(section));
    return it == section_map.end() ? nullptr : it->second;
}

template <class Compare>
YIniDataEntry* YIniDataT<Compare>::GetEntry(const char* section, const char* entry) const
{
    const Section* s = GetSection(section);
    return s ? s->GetEntry(entry) : nullptr;
}

template <class Compare>
bool YIniDataT<Compare>::HasEntry(const char* section, const char* entry) const
{
    const Section* s = GetSection(section);
    return s && s->HasEntry(entry);
}

template <class Compare>
size_t YIniDataT<Compare>::GetEntryCount(const char* section) const
{
    const Section* s = GetSection(section);
    return s ? s->GetEntryCount() : 0;
}

template <class Compare>
void YIniDataT<Compare>::GetSectionNames(std::vector<std::string>& out) const
{
    out.clear();
    out.reserve(section_map.size());
    for (const auto& s : section_map)
        out.push_back(s.first);
}

template <class Compare>
std::vector<std::string> YIniDataT<Compare>::GetSectionNames() const
{
    std::vector<std::string> out;
    GetSectionNames(out);
    return out;
}

template <class Compare>
void YIniDataT<Compare>::GetEntryNames(const char* section, std::vector<std::string>& out) const
{
    out.clear();
    if (const Section* s = GetSection(section))
        s->GetEntryNames(out);
}

template <class Compare>
std::vector<std::string> YIniDataT<Compare>::GetEntryNames(const char* section) const
{
    std::vector<std::string> out;
    GetEntryNames(section, out);
    return out;
}

template <class Compare>
bool YIniDataT<Compare>::GetDoubleEntry(const char* section, const char* entry, double* out) const
{
    const Section* s = GetSection(section);
    return s && s->GetDoubleEntry(entry, out);
}

template <class Compare>
bool YIniDataT<Compare>::GetLongEntry(const char* section, const char* entry, long* out) const
{
    const Section* s = GetSection(section);
    return s && s->GetLongEntry(entry, out);
}

template <class Compare>
bool YIniDataT<Compare>::GetLongEntry(const char* section, const char* entry, long long* out) const
{
    const Section* s = GetSection(section);
    return s && s->GetLongEntry(entry, out);
}

template <class Compare>
bool YIniDataT<Compare>::GetStringEntry(const char* section, const char* entry, std::string& out) const
{
    const Section* s = GetSection(section);
    return s && s->GetStringEntry(entry, out);
}

template <class Compare>
bool YIniDataT<Compare>::refuse_structure(const char* op, const char* section, const char* entry,
                                          std::string_view value)
{
    const Section* s = GetSection(section);
    const char* fault;
    if ((fault = has_line_break(value) ? "it holds a line break" : nullptr)) {
        set_error("value \"%s\" of entry \"%s\" refused: %s", std::string(value).c_str(), entry, fault);
    } else if (!s && (fault = section_name_fault(section))) {
        set_error("section name \"%s\" refused: %s", section, fault);
    } else if (!(s && s->GetEntry(entry)) && (fault = entry_name_fault(entry))) {
        set_error("entry name \"%s\" refused: %s", entry, fault);
    } else {
        return false;
    }
    YErrTrace("%s(): %s", op, error_text.c_str());
    return true;
}

template <class Compare>
template <class Format>
bool YIniDataT<Compare>::set_entry(const char* op, const char* add_op, const char* section_op, const char* section,
                                   const char* entry, const Format& format)
{
    const auto& value = format.stored();
    if (is_comment_name(entry)) {
        std::string shown = std::string(entry) + "=" + format.shown();
        set_error("cannot add comment as an entry: \"%s\"", shown.c_str());
        YErrTrace("%s(): cannot add comment as an entry: \"%s\"", op, shown.c_str());
        return false;
    }
    if (refuse_structure(op, section, entry, value))
        return false;
    Section* s = GetSection(section);
    if (!s && !(s = add_new_section(section))) {
        YErrTrace("YIniData::%s(): add_new_section() failed", add_op);
        return false;
    }
    bool ok;
    if (YIniDataEntry* e = s->GetEntry(entry)) {
        e->SetString(value);
        ok = true;
    } else {
        ok = s->add_new_entry(std::string_view(entry), value) != nullptr;
        if (!ok)
            YErrTrace("YIniDataSectionT::%s(): add_new_entry() failed", section_op);
    }
    if (ok)
        is_saved = false;
    return ok;
}

#define YINIDATA_OP(name) "YIniDataT<struct YIniDataCaseSensitiveCompare>::" name

template <class Compare>
bool YIniDataT<Compare>::SetDoubleEntry(const char* section, const char* entry, double value)
{
    return set_entry(YINIDATA_OP("SetDoubleEntry"), "SetDoubleEntry", "SetDoubleEntry", section, entry,
                     double_text{value});
}

template <class Compare>
bool YIniDataT<Compare>::SetLongEntry(const char* section, const char* entry, long value)
{
    return set_entry(YINIDATA_OP("SetLongEntry"), "SetLongEntry", "SetLongEntry", section, entry, long_text{value});
}

template <class Compare>
bool YIniDataT<Compare>::SetLongEntry(const char* section, const char* entry, long long value)
{
    return set_entry(YINIDATA_OP("SetLongEntry"), "SetLongLongEntry", "SetLongLongEntry", section, entry,
                     long_long_text{value});
}

template <class Compare>
bool YIniDataT<Compare>::SetStringEntry(const char* section, const char* entry, const std::string& value)
{
    return set_entry(YINIDATA_OP("SetStringEntry"), "SetStringEntry", "SetStringEntry", section, entry,
                     string_text{value});
}

template <class Compare>
typename YIniDataT<Compare>::Section* YIniDataT<Compare>::add_new_section(const char* section)
{
    return add_new_section(std::string_view(section));
}

template <class Compare>
typename YIniDataT<Compare>::Section* YIniDataT<Compare>::add_new_section(std::string_view section)
{
    if (const char* fault = section_name_fault(section)) {
        set_error("section name \"%s\" refused: %s", std::string(section).c_str(), fault);
        YErrTrace("YIniData::add_new_section(): %s", error_text.c_str());
        return nullptr;
    }
    std::string header;
    header.reserve(section.size() + 2);
    header.append(1, '[').append(section).append(1, ']');
    auto* s = new Section(std::move(header));
    s->line_vec.push_back(s);
    section_map.emplace(std::string(section), s);
    return s;
}

template <class Compare>
bool YIniDataT<Compare>::AddSection(const char* section)
{
    if (HasSection(section))
        return true;
    if (!add_new_section(section)) {
        YErrTrace("YIniData::AddSection(): add_new_section() failed");
        return false;
    }
    is_saved = false;
    return true;
}

template <class Compare>
bool YIniDataT<Compare>::DeleteSection(const char* section)
{
    auto it = section_map.find(std::string_view(section));
    if (it == section_map.end()) {
        YErrTrace("YIniData::DeleteSection(): section \"%.40s\" not found", section);
        return false;
    }
    if (current_section == it->second)
        current_section = nullptr;
    delete it->second;
    section_map.erase(it);
    is_saved = false;
    return true;
}

template <class Compare>
bool YIniDataT<Compare>::DeleteEntry(const char* section, const char* entry)
{
    Section* s = GetSection(section);
    if (!s) {
        YErrTrace("YIniData::DeleteEntry(): section \"%.40s\" not found", section);
        return false;
    }
    if (!s->DeleteEntry(entry)) {
        YErrTrace("YIniData::DeleteEntry(): YIniDataSectionT::DeleteEntry() failed (\"%.30s\",\"%.30s\")", section,
                  entry);
        return false;
    }
    is_saved = false;
    return true;
}

template <class Compare>
bool YIniDataT<Compare>::RenameSection(const std::string& from, const std::string& to)
{
    if (HasSection(to.c_str())) {
        YErrTrace("%s(): section \"%s\" already exists", YINIDATA_OP("RenameSection"), to.c_str());
        return false;
    }
    Section* old = GetSection(from.c_str());
    if (!old) {
        YErrTrace("%s(): the source section \"%s\" doesn't exists", YINIDATA_OP("RenameSection"), from.c_str());
        return false;
    }
    Section* s = add_new_section(std::string_view(to));
    if (!s)
        return false;  // reported by add_new_section
    // The entries keep their line objects and their order; only the header is new.
    s->entry_map.swap(old->entry_map);
    s->line_vec.swap(old->line_vec);
    s->line_vec[0] = s;
    old->line_vec.assign(1, old);
    return DeleteSection(from.c_str());
}

template <class Compare>
std::ostream& operator<<(std::ostream& os, const YIniDataT<Compare>& doc)
{
    return os << doc.GetContentString();
}

template class YIniDataSectionT<YIniDataCaseSensitiveCompare>;
template class YIniDataT<YIniDataCaseSensitiveCompare>;
template std::ostream& operator<<(std::ostream&, const YIniData&);
