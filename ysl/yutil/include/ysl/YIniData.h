// INI documents: an INI text file kept in memory as the ordered list of its lines, indexed by
// section and entry name, so that values can be read, changed or added and the file written
// back with every line that was not touched preserved byte for byte.
//
// The C++ classes below and, for C callers, the YIniData_* functions at the end.
#ifndef YSL_YINIDATA_H
#define YSL_YINIDATA_H

#include <stddef.h>

// Option flags of a document (fixed values, stored in files of callers).
#define YINIDATA_LENIENT_ENTRIES 0x01    // a section line without "=" or without a name is an entry
#define YINIDATA_REPLACE_SECTIONS 0x02   // a repeated section replaces the earlier one (implies 0x01)
#define YINIDATA_SAVE_FLUSH 0x08         // Save flushes the written file to the disk
#define YINIDATA_SAVE_VIA_TEMPFILE 0x10  // Save writes a temporary file and renames it over the target
#define YINIDATA_REPLACE_ENTRIES 0x20    // a repeated entry replaces the earlier one
#define YINIDATA_ALL_FLAGS 0x3F
// With 0x10: where the folder takes no new file, Save writes the file in place instead (for a
// caller that holds the lock every writer of the file takes). Not among the C interface's flags.
#define YINIDATA_SAVE_IN_PLACE_FALLBACK 0x40

#ifdef __cplusplus

#include <cstdarg>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class YIniDataLineArena;

// One stored line, without its line end.
//
// Lines are deleted through the virtual destructor, wherever their memory came from: a
// document makes the lines it parses in its own arena (one allocation for many lines instead
// of one each), other lines come from the heap, and a small header in front of each object
// tells operator delete which it was.
class YIniDataLine {
public:
    YIniDataLine() = default;
    explicit YIniDataLine(std::string line) : text(std::move(line)) {}
    virtual ~YIniDataLine();

    static void* operator new(size_t size);
    static void operator delete(void* p);

    std::string text;
};

// The memory of the lines of one document, given back all at once when the document drops
// its lines. A line made here and deleted earlier leaves its bytes until then.
class YIniDataLineArena {
public:
    YIniDataLineArena() = default;
    YIniDataLineArena(const YIniDataLineArena&) = delete;
    YIniDataLineArena& operator=(const YIniDataLineArena&) = delete;
    ~YIniDataLineArena() { release(); }

    // Room for a line object of size bytes, its header written; constructed with ::new.
    void* allocate_line(size_t size);
    void release();

private:
    struct block;
    block* blocks = nullptr;
    char* next = nullptr;
    char* end = nullptr;
    size_t block_size = 0;
};

// A line name "=" value. Everything before value_pos (indentation, name, blanks, "=") is
// never rewritten; the value is the rest of the line, unchanged.
class YIniDataEntry : public YIniDataLine {
public:
    YIniDataEntry(std::string line, size_t value_position) : YIniDataLine(std::move(line)), value_pos(value_position) {}

    // Numbers are read as strtod/strtol/strtoll read them; true when at least one character
    // was converted (the number, 0 otherwise, is stored in any case).
    bool GetDouble(double* out) const;
    bool GetLong(long* out) const;
    bool GetLong(long long* out) const;
    void GetString(std::string& out) const { out.assign(text, value_pos, std::string::npos); }
    const char* value() const { return text.c_str() + value_pos; }

    void SetDouble(double value);
    void SetLong(long value);
    void SetLong(long long value);
    void SetString(std::string_view value);

    size_t value_pos;
};

// Byte order of names: unsigned bytes, the shorter string first on a common prefix. Names are
// case-sensitive. Transparent, so that lookups need no temporary strings.
struct YIniDataCaseSensitiveCompare {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a.compare(b) < 0; }
};

template <class Compare>
class YIniDataT;

// One section: its header line (element 0 of line_vec is the section itself) followed by the
// entry, comment and blank lines it owns.
template <class Compare>
class YIniDataSectionT : public YIniDataLine {
public:
    explicit YIniDataSectionT(std::string header);
    ~YIniDataSectionT() override;
    YIniDataSectionT(const YIniDataSectionT&) = delete;
    YIniDataSectionT& operator=(const YIniDataSectionT&) = delete;

    YIniDataEntry* GetEntry(const char* name) const;  // trailing blanks of name are ignored
    bool HasEntry(const char* name) const;            // the name exactly as given
    size_t GetEntryCount() const { return entry_map.size(); }
    void GetEntryNames(std::vector<std::string>& out) const;

    bool GetDoubleEntry(const char* name, double* out) const;
    bool GetLongEntry(const char* name, long* out) const;
    bool GetLongEntry(const char* name, long long* out) const;
    bool GetStringEntry(const char* name, std::string& out) const;

    bool SetDoubleEntry(const char* name, double value);
    bool SetLongEntry(const char* name, long value);
    bool SetLongEntry(const char* name, long long value);
    bool SetStringEntry(const char* name, const std::string& value);

    YIniDataEntry* add_new_entry(const char* name, const char* value);
    YIniDataEntry* add_new_entry(std::string_view name, std::string_view value);
    bool DeleteEntry(const char* name);

    std::map<std::string, YIniDataEntry*, Compare> entry_map;  // index only
    std::vector<YIniDataLine*> line_vec;                       // document order; owns 1..n

private:
    template <class Format>
    bool set_entry(const char* op, const char* name, const Format& format);
};

template <class Compare>
class YIniDataT {
public:
    using Section = YIniDataSectionT<Compare>;

    explicit YIniDataT(unsigned flags = 0);
    // Opens path; the caller tests IsOpen(). The second argument has no effect.
    explicit YIniDataT(const char* path, unsigned unused = 0);
    YIniDataT(const YIniDataT& other);
    YIniDataT& operator=(const YIniDataT& other);
    ~YIniDataT();

    bool Open(const char* path);
    bool Close();
    bool Reload();
    bool Save();

    bool SetContentString(const std::string& text);
    bool SetContentString(std::string_view text);
    bool SetContentString(const char* text) { return SetContentString(std::string_view(text ? text : "")); }
    void GetContentString(std::string& out) const;
    std::string GetContentString() const;

    bool operator==(const YIniDataT& other) const { return GetContentString() == other.GetContentString(); }
    bool operator!=(const YIniDataT& other) const { return !(*this == other); }

    bool IsOpen() const { return is_open; }
    bool IsNew() const { return is_new; }
    bool IsSaved() const { return is_saved; }
    const char* GetErrorText() const { return error_text.c_str(); }
    unsigned GetFlags() const { return flags; }
    const std::string& GetFileName() const { return file_name; }

    Section* GetSection(const char* section) const;
    bool HasSection(const char* section) const { return GetSection(section) != nullptr; }
    YIniDataEntry* GetEntry(const char* section, const char* entry) const;
    bool HasEntry(const char* section, const char* entry) const;
    size_t GetSectionCount() const { return section_map.size(); }
    size_t GetEntryCount(const char* section) const;
    void GetSectionNames(std::vector<std::string>& out) const;
    std::vector<std::string> GetSectionNames() const;
    void GetEntryNames(const char* section, std::vector<std::string>& out) const;
    std::vector<std::string> GetEntryNames(const char* section) const;

    bool GetDoubleEntry(const char* section, const char* entry, double* out) const;
    bool GetLongEntry(const char* section, const char* entry, long* out) const;
    bool GetLongEntry(const char* section, const char* entry, long long* out) const;
    bool GetStringEntry(const char* section, const char* entry, std::string& out) const;

    bool SetDoubleEntry(const char* section, const char* entry, double value);
    bool SetLongEntry(const char* section, const char* entry, long value);
    bool SetLongEntry(const char* section, const char* entry, long long value);
    bool SetStringEntry(const char* section, const char* entry, const std::string& value);

    bool AddSection(const char* section);
    bool DeleteSection(const char* section);
    bool DeleteEntry(const char* section, const char* entry);
    bool RenameSection(const std::string& from, const std::string& to);

    Section* add_new_section(const char* section);
    bool parse_line(const std::string& line) { return parse_line(std::string_view(line)); }
    bool parse_line(std::string_view line);
    void clear();

private:
    void set_error(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void set_error_v(const char* format, va_list args);
    // A line that cannot be read: the reason becomes the document's error and is reported.
    // Always false.
    bool refuse_line(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    bool parse_section_header(std::string_view line);
    bool parse_entry(std::string_view line, size_t name_pos);
    bool refuse_structure(const char* op, const char* section, const char* entry, std::string_view value);
    template <class Format>
    bool set_entry(const char* op, const char* add_op, const char* section_op, const char* section, const char* entry,
                   const Format& format);
    Section* add_new_section(std::string_view section);

    bool is_open = false;
    bool is_new = true;
    bool is_saved = false;
    std::string file_name;
    unsigned flags = 0;
    std::vector<YIniDataLine*> preamble;
    std::map<std::string, Section*, Compare> section_map;
    Section* current_section = nullptr;
    std::string error_text;
    YIniDataLineArena arena;  // the parsed lines' memory; released by clear()
};

template <class Compare>
std::ostream& operator<<(std::ostream& os, const YIniDataT<Compare>& doc);

extern template class YIniDataSectionT<YIniDataCaseSensitiveCompare>;
extern template class YIniDataT<YIniDataCaseSensitiveCompare>;

using YIniDataSection = YIniDataSectionT<YIniDataCaseSensitiveCompare>;
using YIniData = YIniDataT<YIniDataCaseSensitiveCompare>;

extern "C" {
#else
typedef struct YIniData YIniData;
#endif

// The C interface: int results are 1 for success (true) and 0 otherwise.
YIniData* YIniData_Create(unsigned flags);
void YIniData_Destroy(YIniData* ini);
int YIniData_Open(YIniData* ini, const char* path);
int YIniData_Close(YIniData* ini);
int YIniData_Reload(YIniData* ini);
int YIniData_Save(YIniData* ini);
int YIniData_IsOpen(YIniData* ini);
int YIniData_IsNew(YIniData* ini);
int YIniData_SetContentString(YIniData* ini, const char* text);
char* YIniData_GetContentString(YIniData* ini);  // malloc'ed; the caller frees it
int YIniData_GetSectionCount(YIniData* ini);
int YIniData_HasSection(YIniData* ini, const char* section);
int YIniData_GetEntryCount(YIniData* ini, const char* section);
int YIniData_HasEntry(YIniData* ini, const char* section, const char* entry);
int YIniData_GetDoubleEntry(YIniData* ini, const char* section, const char* entry, double* value);
int YIniData_GetLongEntry(YIniData* ini, const char* section, const char* entry, long* value);
int YIniData_GetLongLongEntry(YIniData* ini, const char* section, const char* entry, long long* value);
int YIniData_GetStringEntry(YIniData* ini, const char* section, const char* entry, char* buffer, size_t size);
int YIniData_SetDoubleEntry(YIniData* ini, const char* section, const char* entry, double value);
int YIniData_SetLongEntry(YIniData* ini, const char* section, const char* entry, long value);
int YIniData_SetLongLongEntry(YIniData* ini, const char* section, const char* entry, long long value);
int YIniData_SetStringEntry(YIniData* ini, const char* section, const char* entry, const char* value);
int YIniData_DeleteSection(YIniData* ini, const char* section);
int YIniData_DeleteEntry(YIniData* ini, const char* section, const char* entry);

#ifdef __cplusplus
}
#endif

#endif
