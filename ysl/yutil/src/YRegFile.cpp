// The parser of registration files. It reads every byte through one cursor over the decoded
// text, so that an error names the line and column where reading stopped; nothing is kept of
// a file that has an error.
#include <ysl/YRegFile.h>

#include <ysl/ydiag.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

const char header4[] = "REGEDIT4";
const char header5[] = "Windows Registry Editor Version 5.00";

const struct {
    const char* long_name;
    const char* short_name;
    HKEY root;
} roots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},     {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},   {"HKEY_USERS", "HKU", HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", "HKCC", HKEY_CURRENT_CONFIG},
};

char ascii_upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    }
    return true;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = ascii_upper(c);
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// Text of the file quoted in a message, with what a terminal would act on escaped and a hostile
// length cut.
std::string shown(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < 80; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > 80)
        out += "...";
    return out;
}

// UTF-16 code units into the ANSI code page, appended to out; false with bad set to the index
// of the first unit that has no form there.
bool to_ansi(const char16_t* units, size_t count, std::string& out, size_t& bad)
{
#ifdef _WIN32
    // The code page of the ANSI registry functions. A character it lacks would be stored as a
    // stand-in ('?'), a value other than the file's: refused instead.
    if (count == 0)
        return true;
    const bool utf8 = GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    auto convert = [&](const char16_t* from, size_t n, char* into, int room) {
        BOOL defaulted = FALSE;
        int made = WideCharToMultiByte(CP_ACP, flags, reinterpret_cast<LPCWCH>(from), static_cast<int>(n), into, room,
                                       nullptr, utf8 ? nullptr : &defaulted);
        return defaulted ? 0 : made;
    };
    int size = count <= INT_MAX ? convert(units, count, nullptr, 0) : 0;
    if (size > 0) {
        size_t at = out.size();
        out.resize(at + static_cast<size_t>(size));
        convert(units, count, &out[at], size);
        return true;
    }
    for (size_t i = 0; i < count; ++i) {
        bool pair = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
                    units[i + 1] <= 0xDFFF;
        if (convert(units + i, pair ? 2 : 1, nullptr, 0) <= 0) {
            bad = i;
            return false;
        }
        i += pair ? 1 : 0;
    }
    bad = 0;
    return false;
#else
    // Linux has no code pages: its narrow names and strings are UTF-8.
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            bad = i;
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
#endif
}

std::u16string utf16_units(std::string_view bytes)
{
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return units;
}

bool fail_at(YRegFileError& error, int line, size_t column, std::string message)
{
    error.line = line;
    error.column = column < INT_MAX ? static_cast<int>(column) + 1 : INT_MAX;
    error.message = std::move(message);
    return false;
}

// The file's text in the ANSI code page: UTF-16LE after its byte-order mark converted line by
// line, so that a character without an ANSI form can be named by its place.
bool decode(std::string_view bytes, std::string& text, YRegFileError& error)
{
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        text.assign(bytes);
        return true;
    }
    std::u16string units = utf16_units(bytes.substr(2));
    int line = 1;
    for (size_t start = 0; start <= units.size();) {
        size_t end = units.find(u'\n', start);
        size_t stop = end == std::u16string::npos ? units.size() : end;
        size_t bad = 0;
        if (!to_ansi(units.data() + start, stop - start, text, bad))
            return fail_at(error, line, bad, "a character that the ANSI code page cannot hold");
        if (end == std::u16string::npos)
            break;
        text += '\n';
        start = end + 1;
        ++line;
    }
    if (bytes.size() % 2 != 0) {
        size_t last_lf = units.rfind(u'\n');
        size_t column = last_lf == std::u16string::npos ? units.size() : units.size() - last_lf - 1;
        return fail_at(error, line, column, "UTF-16 text that ends in half a character");
    }
    return true;
}

class parser {
public:
    parser(const std::string& text, YRegFileError& error) : text_(text), error_(error) {}

    bool run(std::vector<YRegFileKey>& keys)
    {
        size_t zero = text_.find('\0');
        if (zero != std::string::npos) {
            size_t line_start = text_.rfind('\n', zero);
            line_start = line_start == std::string::npos ? 0 : line_start + 1;
            int line = 1;
            for (size_t i = 0; i < line_start; ++i)
                line += text_[i] == '\n';
            return fail_at(error_, line, zero - line_start, "a zero byte in the text");
        }
        const bool any = next_line();
        line_no_ = 1;
        if (!any || !header())
            return fail("not a registry file: the first line is neither \"" + std::string(header4) + "\" nor \"" +
                        header5 + "\"");
        YRegFileKey* key = nullptr;
        while (next_line()) {
            skip_blanks();
            if (at_end() || peek() == ';')
                continue;
            if (peek() == '[') {
                if (!key_line(keys))
                    return false;
                key = &keys.back();
            } else if (peek() == '@' || peek() == '"') {
                if (!key)
                    return fail("a value before the first key line");
                if (key->remove)
                    return fail("a value under a key that the file deletes");
                key->values.emplace_back();
                if (!value_line(key->values.back()))
                    return false;
            } else {
                return fail("a key line \"[...]\", a value line or a comment expected");
            }
        }
        return true;
    }

private:
    const std::string& text_;
    YRegFileError& error_;
    size_t next_ = 0;  // start of the next line in the text
    std::string_view line_;
    size_t at_ = 0;  // in line_
    int line_no_ = 0;
    bool utf16_data_ = false;

    bool fail(std::string message) { return fail_at(error_, line_no_, at_, std::move(message)); }
    bool at_end() const { return at_ >= line_.size(); }
    char peek() const { return at_end() ? '\0' : line_[at_]; }

    // The next line without its LF and the CR before it; a CR elsewhere is text.
    bool next_line()
    {
        if (next_ >= text_.size())
            return false;
        size_t end = text_.find('\n', next_);
        size_t stop = end == std::string::npos ? text_.size() : end;
        line_ = std::string_view(text_).substr(next_, stop - next_);
        if (!line_.empty() && line_.back() == '\r')
            line_.remove_suffix(1);
        next_ = stop + 1;
        at_ = 0;
        ++line_no_;
        return true;
    }

    void skip_blanks()
    {
        while (!at_end() && (line_[at_] == ' ' || line_[at_] == '\t'))
            ++at_;
    }

    bool rest_is_blank()
    {
        skip_blanks();
        return at_end();
    }

    bool header()
    {
        std::string_view h = line_;
        while (!h.empty() && (h.back() == ' ' || h.back() == '\t'))
            h.remove_suffix(1);
        // The later format keeps string data as UTF-16 whatever the file's own encoding.
        utf16_data_ = h == header5;
        return h == header4 || utf16_data_;
    }

    // "[KEY]" or "[-KEY]". A key's names may hold ']': the line's last one closes it.
    bool key_line(std::vector<YRegFileKey>& keys)
    {
        YRegFileKey key;
        key.line = line_no_;
        ++at_;
        key.remove = peek() == '-';
        if (key.remove)
            ++at_;
        const size_t name_at = at_;
        const size_t close = line_.rfind(']');
        if (close == std::string_view::npos || close < name_at) {
            at_ = line_.size();
            return fail("a key line without its closing ']'");
        }
        at_ = close + 1;
        if (!rest_is_blank())
            return fail("text after the key line's ']'");
        std::string_view name = line_.substr(name_at, close - name_at);
        size_t slash = name.find('\\');
        std::string_view root = name.substr(0, slash);
        at_ = name_at;
        key.root = YRegFile_FindRoot(root);
        if (!key.root)
            return fail("unknown root key \"" + shown(root) + "\"");
        // Empty names (doubled or trailing backslashes) are skipped, as the registry skips
        // them; a root's own block is "[HKEY_CURRENT_USER\]" in some files.
        for (size_t at = slash; at != std::string_view::npos && at < name.size();) {
            size_t end = name.find('\\', at + 1);
            std::string_view part = name.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
            if (!part.empty()) {
                if (!key.path.empty())
                    key.path += '\\';
                key.path.append(part);
            }
            at = end;
        }
        if (key.remove && key.path.empty())
            return fail("a root key cannot be deleted");
        keys.push_back(std::move(key));
        return true;
    }

    // A string between double quotes, the cursor on the opening one; \\, \", \n and \r are
    // the escapes that exporters write.
    bool quoted(std::string& out)
    {
        ++at_;
        for (;;) {
            if (at_end())
                return fail("a string without its closing '\"'");
            char c = line_[at_++];
            if (c == '"')
                return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            char e = peek();
            if (e == '\\' || e == '"')
                out += e;
            else if (e == 'n')
                out += '\n';
            else if (e == 'r')
                out += '\r';
            else {
                --at_;
                return fail("an unknown escape in a string: a backslash is written \"\\\\\"");
            }
            ++at_;
        }
    }

    bool value_line(YRegFileValue& value)
    {
        value.line = line_no_;
        if (peek() == '@')
            ++at_;
        else if (!quoted(value.name))
            return false;
        skip_blanks();
        if (peek() != '=')
            return fail("'=' expected after the value's name");
        ++at_;
        skip_blanks();
        const size_t data_at = at_;
        std::string_view rest = line_.substr(at_);
        auto starts = [&](std::string_view word) { return same_name(rest.substr(0, word.size()), word); };
        if (peek() == '-') {
            ++at_;
            value.remove = true;
            if (rest_is_blank())
                return true;
            at_ = data_at;
        } else if (peek() == '"') {
            value.type = REG_SZ;
            if (!quoted(value.data))
                return false;
            value.data += '\0';
            return rest_is_blank() || fail("text after the string's closing '\"'");
        } else if (starts("dword:")) {
            at_ += 6;
            return dword(value);
        } else if (starts("hex:")) {
            at_ += 4;
            value.type = REG_BINARY;
            return hex_bytes(value);
        } else if (starts("hex(")) {
            at_ += 4;
            return hex_type(value) && hex_bytes(value);
        }
        return fail("a string \"...\", dword:, hex:, hex(N): or - expected after '='");
    }

    // Up to 8 hexadecimal digits; regedit writes 8, SaveRegToFile no leading zeros.
    bool hex_number(uint32_t& number)
    {
        number = 0;
        int digits = 0;
        for (int d; (d = hex_digit(peek())) >= 0; ++at_) {
            if (++digits > 8)
                return fail("more than 8 hexadecimal digits");
            number = number << 4 | static_cast<uint32_t>(d);
        }
        return digits > 0 || fail("hexadecimal digits expected");
    }

    bool dword(YRegFileValue& value)
    {
        uint32_t number;
        if (!hex_number(number))
            return false;
        if (!rest_is_blank())
            return fail("text after the dword's digits");
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            value.data += static_cast<char>(number >> (8 * i) & 0xff);
        return true;
    }

    bool hex_type(YRegFileValue& value)
    {
        uint32_t type;
        if (!hex_number(type))
            return false;
        if (line_.substr(at_, 2) != "):")
            return fail("\"):\" expected after the type");
        at_ += 2;
        value.type = type;
        return true;
    }

    // Blanks, and a backslash at the end of a line, which continues the value on the next.
    bool skip_space()
    {
        for (;;) {
            skip_blanks();
            if (peek() != '\\')
                return true;
            const size_t backslash = at_++;
            if (!rest_is_blank()) {
                at_ = backslash;
                return fail("a '\\' continues a value only at the end of a line");
            }
            if (!next_line()) {
                at_ = backslash;
                return fail("the file ends in a continued value");
            }
        }
    }

    // Bytes of one or two hexadecimal digits separated by commas.
    bool hex_bytes(YRegFileValue& value)
    {
        if (!skip_space())
            return false;
        while (!at_end()) {
            int high = hex_digit(peek());
            if (high < 0)
                return fail("a hexadecimal byte expected");
            ++at_;
            int low = hex_digit(peek());
            if (low >= 0) {
                ++at_;
                if (hex_digit(peek()) >= 0)
                    return fail("a byte of more than two hexadecimal digits");
            }
            value.data += static_cast<char>(low >= 0 ? high << 4 | low : high);
            if (!skip_space())
                return false;
            if (at_end())
                break;
            if (peek() != ',')
                return fail("',' expected between bytes");
            ++at_;
            if (!skip_space())
                return false;
            if (at_end())
                return fail("a byte expected after ','");
        }
        const bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
        return !utf16_data_ || !text || ansi_data(value);
    }

    bool ansi_data(YRegFileValue& value)
    {
        if (value.data.size() % 2 != 0)
            return fail("UTF-16 string data of an odd number of bytes");
        std::u16string units = utf16_units(value.data);
        std::string ansi;
        size_t bad = 0;
        if (!to_ansi(units.data(), units.size(), ansi, bad))
            return fail("string data with a character that the ANSI code page cannot hold (byte " +
                        std::to_string(2 * bad) + ")");
        value.data = std::move(ansi);
        return true;
    }
};

}  // namespace

HKEY YRegFile_FindRoot(std::string_view name)
{
    for (const auto& r : roots) {
        if (same_name(name, r.long_name) || same_name(name, r.short_name))
            return r.root;
    }
    return nullptr;
}

std::string YRegFileKey::full_name() const
{
    std::string name;
    for (const auto& r : roots) {
        if (r.root == root)
            name = r.long_name;
    }
    return path.empty() ? name : name + '\\' + path;
}

int YRegFile_Parse(std::string_view bytes, std::vector<YRegFileKey>& keys, YRegFileError& error)
{
    keys.clear();
    error = YRegFileError();
    std::string text;
    if (decode(bytes, text, error) && parser(text, error).run(keys))
        return 1;
    keys.clear();
    YErrTrace("YRegFile_Parse(): line %d, column %d: %s", error.line, error.column, error.message.c_str());
    return 0;
}
