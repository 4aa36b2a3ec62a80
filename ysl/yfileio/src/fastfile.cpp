#include <ysl/fastfile.h>

#include "fileops_internal.h"

#include <ysl/fileops.h>
#include <ysl/ydiag.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::size_t buffer_size = YFASTFILE_BUFFER_SIZE;
// The most a write may leave pending in the buffer (with what was pending before) instead of
// going straight to the file: at most 8160 bytes stay behind after a disk write.
constexpr std::size_t keep_limit = 0x3FE0;

// Taken before a report starts: the report itself may change the last error.
unsigned last_error()
{
    return static_cast<unsigned>(GetLastError());
}

// A step's result, with the step named in a trace when it failed (-1).
int traced(int result, const char* step)
{
    if (result == -1)
        YErrTrace("%s failed", step);
    return result;
}

const char* text_of(const char* s)
{
    return s ? s : "";
}

// The first CR or LF in [p, end), or null. Lines are short and this runs once per byte of
// every file read, so the common case compares sixteen bytes at a time.
const char* find_line_end(const char* p, const char* end)
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; end - p >= 16; p += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, cr), _mm_cmpeq_epi8(chunk, lf)));
        if (mask)
            return p + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; p < end; ++p)
        if (*p == '\r' || *p == '\n')
            return p;
    return nullptr;
}

}  // namespace

bool openfile(const char* path, HANDLE& handle)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        YErrTrace("openfile(): CreateFile(\"%s\") failed: %d", text_of(path), static_cast<int>(err));
        SetLastError(err);
        return false;
    }
    return true;
}

bool read64(HANDLE handle, void* buffer, DWORD count, DWORD& bytes_read)
{
    bytes_read = 0;
    if (!ReadFile(handle, buffer, count, &bytes_read, nullptr)) {
        DWORD err = GetLastError();
        YErrTrace("%s(): ReadFile() failed: %u", "read64", static_cast<unsigned>(err));
        SetLastError(err);
        return false;
    }
    return true;
}

int YFastFile_DetectBOM(const void* bytes, std::size_t length)
{
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    if (!b || length < 2)
        return YFASTFILE_BOM_NONE;
    if (length >= 4 && b[0] == 0x00 && b[1] == 0x00 && b[2] == 0xFE && b[3] == 0xFF)
        return YFASTFILE_BOM_UTF32BE;
    if (length >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0x00 && b[3] == 0x00)
        return YFASTFILE_BOM_UTF32LE;
    if (length >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return YFASTFILE_BOM_UTF8;
    if (b[0] == 0xFE && b[1] == 0xFF)
        return YFASTFILE_BOM_UTF16BE;
    if (b[0] == 0xFF && b[1] == 0xFE)
        return YFASTFILE_BOM_UTF16LE;
    return YFASTFILE_BOM_NONE;
}

HANDLE openwritefile(const char* path, int mode)
{
    int base = mode & ~4;
    DWORD access;
    DWORD disposition;
    switch (base) {
    case 0:
        access = FILE_WRITE_DATA;
        disposition = CREATE_NEW;
        break;
    case 1:
        access = FILE_APPEND_DATA;
        disposition = OPEN_ALWAYS;
        break;
    case 2:
        access = FILE_WRITE_DATA;
        disposition = CREATE_ALWAYS;
        break;
    default:
        YErrTrace("openwritefile(): unknown mode %d for %s", base, text_of(path));
        return INVALID_HANDLE_VALUE;
    }
    DWORD attributes = (mode & 4) ? FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_NORMAL;
    HANDLE h = CreateFileA(path, access, FILE_SHARE_READ, nullptr, disposition, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        YErrTrace("%s(): CreateFile(%s, ...) failed: %u", "openwritefile", text_of(path), static_cast<unsigned>(err));
        SetLastError(err);
    }
    return h;
}

bool write64(HANDLE handle, const void* data, DWORD count, DWORD& bytes_written)
{
    bytes_written = 0;
    if (!WriteFile(handle, data, count, &bytes_written, nullptr)) {
        DWORD err = GetLastError();
        YErrTrace("%s(): WriteFile() failed: %u", "write64", static_cast<unsigned>(err));
        SetLastError(err);
        return false;
    }
    return true;
}

// ---- YFastFile, YFastFileReader ------------------------------------------------------------

YFastFile::YFastFile() : m_limit(m_buffer), m_pos(m_buffer), m_file(INVALID_HANDLE_VALUE), m_state(-1) {}

YFastFileReader::YFastFileReader() : m_rewind(m_buffer) {}

YFastFileReader::YFastFileReader(const char* path) : m_rewind(m_buffer)
{
    if (!Open(path))
        YErrTrace("YFastFileReader::YFastFileReader(): Open(\"%s\") failed", text_of(path));
}

YFastFileReader::~YFastFileReader()
{
    if (!Close())
        YErrTrace("YFastFileReader::~YFastFileReader(): Close() failed");
}

bool YFastFileReader::Open(const char* path)
{
    if (m_state == 0 && !Close()) {
        YErrTrace("YFastFileReader::Open(): Close() failed");
        return false;
    }
    HANDLE h;
    if (!openfile(path, h)) {
        const unsigned code = last_error();
        YErrTrace("YFastFileReader::Open(): openfile(\"%s\") failed: %d", text_of(path), static_cast<int>(code));
        return false;
    }
    m_file = h;
    m_state = 0;
    m_limit = m_pos = m_rewind = m_buffer;
    m_name = path;
    return true;
}

bool YFastFileReader::Close()
{
    if (m_state != 0)
        return true;
    m_name.clear();
    bool ok = true;
    if (m_file != INVALID_HANDLE_VALUE && !CloseHandle(m_file)) {
        const unsigned code = last_error();
        YErrTrace("YFastFileReader::Close(): CloseHandle() failed: %d", static_cast<int>(code));
        ok = false;
    }
    m_file = INVALID_HANDLE_VALUE;
    m_state = -1;
    return ok;
}

bool YFastFileReader::fill_buffer()
{
    DWORD got;
    if (!read64(m_file, m_buffer, static_cast<DWORD>(buffer_size), got)) {
        YErrTrace("YFastFileReader::fill_buffer(): read64() failed");
        return false;
    }
    if (got == 0)
        return true;
    m_pos = m_buffer;
    m_limit = m_buffer + got;
    return true;
}

int YFastFileReader::read_from_buffer(void* buffer, unsigned count)
{
    if (m_state != 0) {
        YErrTrace("YFastFileReader::read_from_buffer(): no open file");
        return -1;
    }
    char* out = static_cast<char*>(buffer);
    std::size_t avail = static_cast<std::size_t>(m_limit - m_pos);
    if (count <= avail) {
        std::memcpy(out, m_pos, count);
        m_pos += count;
        return static_cast<int>(count);
    }
    std::memcpy(out, m_pos, avail);
    m_pos += avail;
    unsigned rest = count - static_cast<unsigned>(avail);
    if (rest < buffer_size) {
        if (!fill_buffer()) {
            YErrTrace("YFastFileReader::read_from_buffer(): fill_buffer() failed");
            return -1;
        }
        std::size_t more = std::min<std::size_t>(rest, static_cast<std::size_t>(m_limit - m_pos));
        std::memcpy(out + avail, m_pos, more);
        m_pos += more;
        return static_cast<int>(avail + more);
    }
    // A large rest goes from the file straight into the caller's memory.
    DWORD got;
    if (!read64(m_file, out + avail, rest, got)) {
        YErrTrace("YFastFileReader::read_from_buffer(): read64(..,%u,..) failed", rest);
        return -1;
    }
    return static_cast<int>(avail + got);
}

int YFastFileReader::read_char_from_buffer(char& c)
{
    if (m_state != 0) {
        YErrTrace("YFastFileReader::read_char_from_buffer(): no open file");
        return -1;
    }
    if (m_pos == m_limit) {
        if (!fill_buffer()) {
            YErrTrace("YFastFileReader::read_char_from_buffer(): fill_buffer() failed");
            return -1;
        }
        if (m_pos == m_limit)
            return 0;
    }
    c = *m_pos++;
    return 1;
}

int YFastFileReader::Read(void* buffer, unsigned count)
{
    return traced(read_from_buffer(buffer, count), "YFastFileReader::Read(): read_from_buffer()");
}

namespace {

// Copies bytes from the reader's buffer into `buffer` (max + 1 bytes) up to the first byte that
// `find` finds in a range, which is consumed but not stored as `stop` (0 when none ends the
// piece), refilling as it goes. `pos` and `limit` are the reader's own. The count stored, or -1
// when a refill failed, reported under `name`.
template <typename Find>
int copy_until(YFastFileReader& reader, char*& pos, char*& limit, char* buffer, unsigned max, Find find,
               const char* name, char& stop)
{
    std::size_t count = 0;
    stop = '\0';
    for (;;) {
        if (pos == limit) {
            if (!reader.fill_buffer()) {
                buffer[count] = '\0';
                YErrTrace("%s(): fill_buffer() failed", name);
                return -1;
            }
            if (pos == limit)
                break;
        }
        std::size_t n = std::min<std::size_t>(max - count, static_cast<std::size_t>(limit - pos));
        const char* end = find(pos, pos + n);
        if (end) {
            std::size_t len = static_cast<std::size_t>(end - pos);
            std::memcpy(buffer + count, pos, len);
            count += len;
            stop = *end;
            pos += len + 1;
            break;
        }
        std::memcpy(buffer + count, pos, n);
        count += n;
        pos += n;
        if (count == max)
            break;
    }
    buffer[count] = '\0';
    return static_cast<int>(count);
}

// After a CR, an LF that follows belongs to the same line end. False when a refill failed.
bool skip_lf_after_cr(YFastFileReader& reader, char*& pos, char*& limit)
{
    if (pos == limit && !reader.fill_buffer())
        return false;
    if (pos < limit && *pos == '\n')
        ++pos;
    return true;
}

}  // namespace

int YFastFileReader::ReadLine(char* buffer, unsigned max)
{
    char stop;
    auto find = [](const char* p, const char* end) { return find_line_end(p, end); };
    int count = copy_until(*this, m_pos, m_limit, buffer, max, find, "YFastFileReader::ReadLine", stop);
    if (count != -1 && stop == '\r' && !skip_lf_after_cr(*this, m_pos, m_limit)) {
        YErrTrace("YFastFileReader::ReadLine(): fill_buffer() failed");
        return -1;
    }
    return count;
}

bool YFastFileReader::ReadLine(std::string& line)
{
    line.clear();
    bool cr = false;
    for (;;) {
        if (m_pos == m_limit) {
            if (!fill_buffer()) {
                YErrTrace("YFastFileReader::ReadLine(STL): fill_buffer() failed");
                return false;
            }
            if (m_pos == m_limit)
                break;
        }
        const char* end = find_line_end(m_pos, m_limit);
        if (end) {
            line.append(m_pos, static_cast<std::size_t>(end - m_pos));
            cr = *end == '\r';
            m_pos = const_cast<char*>(end) + 1;
            break;
        }
        line.append(m_pos, static_cast<std::size_t>(m_limit - m_pos));
        m_pos = m_limit;
    }
    if (cr && !skip_lf_after_cr(*this, m_pos, m_limit)) {
        YErrTrace("YFastFileReader::ReadLine(STL):fill_buffer() failed");
        return false;
    }
    return true;
}

int YFastFileReader::ReadString(char* buffer, unsigned max, char delimiter)
{
    char stop;
    auto find = [delimiter](const char* p, const char* end) {
        return static_cast<const char*>(std::memchr(p, delimiter, static_cast<std::size_t>(end - p)));
    };
    return copy_until(*this, m_pos, m_limit, buffer, max, find, "YFastFileReader::ReadString", stop);
}

int YFastFileReader::ReadChar(char& c)
{
    return traced(read_char_from_buffer(c), "YFastFileReader::ReadChar(): read_char_from_buffer()");
}

int YFastFileReader::ReadCharNL(char& c)
{
    int got = read_char_from_buffer(c);
    if (got == -1) {
        YErrTrace("YFastFileReader::ReadCharNL: read_char_from_buffer() #1 failed");
        return -1;
    }
    if (got == 0 || c != '\r')
        return got;
    char next;
    got = read_char_from_buffer(next);
    if (got == -1) {
        YErrTrace("YFastFileReader::ReadCharNL(): read_char_from_buffer() #2 failed");
        return -1;
    }
    if (got == 1 && next != '\n' && !UnReadChar())
        YErrTrace("YFastFileReader::ReadCharNL(): UnReadChar() failed");
    c = '\n';
    return 1;
}

bool YFastFileReader::UnReadChar()
{
    if (m_pos > m_rewind) {
        --m_pos;
        return true;
    }
    YErrTrace("YFastFileReader::UnReadChar(): can't rewind");
    return false;
}

int YFastFileReader::ReadInt(int& value)
{
    return traced(read_from_buffer(&value, sizeof value), "YFastFileReader::ReadInt(): read_from_buffer()");
}

int YFastFileReader::ReadLong(std::int32_t& value)
{
    return traced(read_from_buffer(&value, sizeof value), "YFastFileReader::ReadLong(): read_from_buffer()");
}

int YFastFileReader::ReadFloat(float& value)
{
    return traced(read_from_buffer(&value, sizeof value), "YFastFileReader::ReadFloat(): read_from_buffer()");
}

int YFastFileReader::ReadShort(short& value)
{
    return traced(read_from_buffer(&value, sizeof value), "YFastFileReader::ReadShort(): read_from_buffer()");
}

int YFastFileReader::ReadDouble(double& value)
{
    return traced(read_from_buffer(&value, sizeof value), "YFastFileReader::ReadDouble(): read_from_buffer()");
}

bool YFastFileReader::IsEOF()
{
    if (m_state != 0) {
        YErrLog("YFastFileReader::IsEOF(): no open file");
        return true;
    }
    if (m_pos == m_limit) {
        // A failed refill ends here: it goes to the error log, not to the caller's trace.
        YErrTrace_BeginContext();
        if (!fill_buffer()) {
            YErrLog("YFastFileReader::IsEOF(): fill_buffer() failed");
            YErrTrace_ClearContext();
        }
        YErrTrace_EndContext();
    }
    return m_pos == m_limit;
}

// ---- YFastFileWriter -------------------------------------------------------------------------

YFastFileWriter::YFastFileWriter()
{
    m_limit = m_buffer + buffer_size;
}

YFastFileWriter::YFastFileWriter(const char* path, int mode)
{
    m_limit = m_buffer + buffer_size;
    if (!Open(path, mode))
        YErrTrace("YFastFileWriter::YFastFileWriter(): Open(\"%s\",%d) failed", text_of(path), mode);
}

YFastFileWriter::~YFastFileWriter()
{
    if (!Close())
        YErrTrace("YFastFileWriter::~YFastFileWriter(): Close() failed");
}

bool YFastFileWriter::Open(const char* path, int mode)
{
    if (m_state == 0 && !Close()) {
        YErrTrace("YFastFileWriter::Open(): Close() failed");
        return false;
    }
    HANDLE h = openwritefile(path, mode);
    if (h == INVALID_HANDLE_VALUE) {
        YErrTrace("%s(): openwritefile(%s, %d) failed", "YFastFileWriter::Open", text_of(path), mode);
        return false;
    }
    m_file = h;
    m_state = 0;
    m_pos = m_buffer;
    m_name = path;
    return true;
}

bool YFastFileWriter::Close()
{
    if (m_state != 0)
        return true;
    m_name.clear();
    bool ok = true;
    if (m_pos > m_buffer) {
        // Already reported by write_to_disk; the caller must still learn that data was lost.
        ok = write_to_disk(m_buffer, static_cast<std::size_t>(m_pos - m_buffer));
        m_pos = m_buffer;
    }
    if (m_file != INVALID_HANDLE_VALUE && !CloseHandle(m_file)) {
        const unsigned code = last_error();
        YErrTrace("%s(): CloseHandle() failed: %u", "YFastFileWriter::Close", code);
        ok = false;
    }
    m_file = INVALID_HANDLE_VALUE;
    m_state = -1;
    return ok;
}

bool YFastFileWriter::write_to_disk(const void* data, std::size_t count)
{
    if (m_state != 0) {
        YErrTrace("YFastFileWriter::write_to_disk(): no open file");
        return false;
    }
    DWORD written;
    if (!write64(m_file, data, static_cast<DWORD>(count), written)) {
        YErrTrace("%s(): write64() failed", "YFastFileWriter::write_to_disk");
        return false;
    }
    if (written < count) {
        YErrTrace("%s(): wrote only %u bytes instead of %Iu bytes", "YFastFileWriter::write_to_disk",
                  static_cast<unsigned>(written), count);
        return false;
    }
    return true;
}

int YFastFileWriter::write_to_buffer(const void* data, unsigned count)
{
    if (m_state != 0) {
        YErrTrace("YFastFileWriter::write_to_buffer(): no open file");
        return -1;
    }
    const char* in = static_cast<const char*>(data);
    std::size_t room = static_cast<std::size_t>(m_limit - m_pos);
    if (count < room) {
        std::memcpy(m_pos, in, count);
        m_pos += count;
        return static_cast<int>(count);
    }
    std::size_t pending = static_cast<std::size_t>(m_pos - m_buffer);
    std::memcpy(m_pos, in, room);
    if (!write_to_disk(m_buffer, buffer_size))
        return -1;
    const char* rest = in + room;
    std::size_t left = count - room;
    if (pending + count <= keep_limit) {
        std::memcpy(m_buffer, rest, left);
        m_pos = m_buffer + left;
    } else {
        m_pos = m_buffer;
        if (!write_to_disk(rest, left))
            return -1;
    }
    return static_cast<int>(count);
}

int YFastFileWriter::Write(const void* data, unsigned count)
{
    return write_to_buffer(data, count);
}

int YFastFileWriter::WriteString(const char* text)
{
    return traced(write_to_buffer(text, static_cast<unsigned>(std::strlen(text))),
                  "YFastFileWriter::WriteString(): write_to_buffer()");
}

int YFastFileWriter::WriteLine(const char* text)
{
    std::size_t len = std::strlen(text);
    if (const char* lf = static_cast<const char*>(std::memchr(text, '\n', len))) {
        YErrTrace("YFastFileWriter::WriteLine(): EOL detected in string at pos %Iu",
                  static_cast<std::size_t>(lf - text));
        return -1;
    }
    // The line and its end fit in the buffer: the same bytes as the steps below, in one go.
    if (m_state == 0 && len + 1 < static_cast<std::size_t>(m_limit - m_pos)) {
        std::memcpy(m_pos, text, len);
        m_pos[len] = '\r';
        m_pos[len + 1] = '\n';
        m_pos += len + 2;
        return static_cast<int>(len + 1);
    }
    if (write_to_buffer(text, static_cast<unsigned>(len)) == -1) {
        YErrTrace("YFastFileWriter::WriteLine(): write_to_buffer() failed");
        return -1;
    }
    if (WriteCharNL('\n') == -1) {
        YErrTrace("YFastFileWriter::WriteLine(): WriteCharNL() failed");
        return -1;
    }
    return static_cast<int>(len + 1);
}

int YFastFileWriter::WriteStringNL(const char* text)
{
    const char* p = text;
    for (; *p; ++p) {
        if (WriteCharNL(*p) == -1) {
            YErrTrace("YFastFileWriter::WriteStringNL(): WriteCharNL() failed");
            return -1;
        }
    }
    return static_cast<int>(p - text);
}

int YFastFileWriter::WriteLineNL(const char* text)
{
    int n = WriteStringNL(text);
    if (n == -1) {
        YErrTrace("YFastFileWriter::WriteLineNL(): WriteStringNL() failed");
        return -1;
    }
    if (WriteCharNL('\n') == -1) {
        YErrTrace("YFastFileWriter::WriteLineNL(): WriteCharNL() failed");
        return -1;
    }
    return n + 1;
}

int YFastFileWriter::WriteChar(char c)
{
    if (m_state != 0) {
        YErrTrace("YFastFileWriter::WriteChar(): no open file");
        return -1;
    }
    if (m_pos == m_limit) {
        if (!write_to_disk(m_buffer, buffer_size)) {
            YErrTrace("YFastFileWriter::WriteChar(): write_to_disk() failed");
            return -1;
        }
        m_pos = m_buffer;
    }
    *m_pos++ = c;
    return 1;
}

int YFastFileWriter::WriteCharNL(char c)
{
    if (c == '\n' && WriteChar('\r') == -1) {
        YErrTrace("YFastFileWriter::WriteCharNL(): WriteChar() failed");
        return -1;
    }
    return WriteChar(c);
}

int YFastFileWriter::WriteInt(int value)
{
    return traced(write_to_buffer(&value, sizeof value), "YFastFileWriter::WriteInt(): write_to_buffer()");
}

int YFastFileWriter::WriteLong(std::int32_t value)
{
    return traced(write_to_buffer(&value, sizeof value), "YFastFileWriter::WriteLong(): write_to_buffer()");
}

int YFastFileWriter::WriteFloat(float value)
{
    return traced(write_to_buffer(&value, sizeof value), "YFastFileWriter::WriteFloat(): write_to_buffer()");
}

int YFastFileWriter::WriteShort(short value)
{
    return traced(write_to_buffer(&value, sizeof value), "YFastFileWriter::WriteShort(): write_to_buffer()");
}

int YFastFileWriter::WriteDouble(double value)
{
    return traced(write_to_buffer(&value, sizeof value), "YFastFileWriter::WriteDouble(): write_to_buffer()");
}

bool YFastFileWriter::Flush()
{
    if (m_state != 0) {
        YErrTrace("YFastFileWriter::Flush(): no open file");
        return false;
    }
    bool ok = true;
    if (m_pos > m_buffer) {
        // Already reported by write_to_disk; the caller must still learn that data was lost.
        ok = write_to_disk(m_buffer, static_cast<std::size_t>(m_pos - m_buffer));
        m_pos = m_buffer;
    }
    if (m_file == INVALID_HANDLE_VALUE) {
        YErrTrace("YFastFileWriter::Flush(): hFile not valid");
        return false;
    }
    if (!FlushFileBuffers(m_file)) {
        const unsigned code = last_error();
        YErrTrace("YFastFileWriter::Flush(): FlushFileBuffers() failed: %d", static_cast<int>(code));
        return false;
    }
    return ok;
}

// ---- whole files -----------------------------------------------------------------------------

int YFastFile_ReadAtOnce(const char* path, void* buffer, unsigned size)
{
    HANDLE h;
    if (!openfile(path, h)) {
        YErrTrace("YFastFile_ReadAtOnce(): openfile(\"%s\") failed.", text_of(path));
        return -1;
    }
    DWORD got;
    if (!read64(h, buffer, size, got)) {
        YErrTrace("YFastFile_ReadAtOnce(): ReadFile(..,%Iu,..) failed for \"%s\"", static_cast<std::size_t>(size),
                  text_of(path));
        CloseHandle(h);
        return -1;
    }
    if (!CloseHandle(h)) {
        const unsigned code = last_error();
        YErrTrace("YFastFile_ReadAtOnce(): CloseHandle() failed for \"%s\": %d", text_of(path), static_cast<int>(code));
        return -1;
    }
    return static_cast<int>(got);
}

namespace {

// CR LF and a lone CR become LF; returns the new count.
std::size_t lines_to_lf(char* text, std::size_t count)
{
    std::size_t out = 0;
    for (std::size_t in = 0; in < count; ++in) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            if (in + 1 < count && text[in + 1] == '\n')
                ++in;
        } else {
            text[out++] = text[in];
        }
    }
    return out;
}

}  // namespace

int YFastFile_ReadLinesAtOnce(const char* path, char* buffer, unsigned size)
{
    int got = YFastFile_ReadAtOnce(path, buffer, size);
    if (got == -1) {
        YErrTrace("YFastFile_ReadLinesAtOnce(): YFastFile_ReadAtOnce(\"%s\",..,%Iu) failed", text_of(path),
                  static_cast<std::size_t>(size));
        return -1;
    }
    return static_cast<int>(lines_to_lf(buffer, static_cast<std::size_t>(got)));
}

namespace {

// The string forms of the whole-file reads: the file's size, then the buffer form on the
// string's bytes.
int read_into_string(const char* name, int (*buffer_form)(const char*, char*, unsigned), const char* path,
                     std::string& data)
{
    int size = file_size(path);
    if (size < 0) {
        YErrTrace("%s(): file_size(\"%s\") returned %Id", name, text_of(path), static_cast<std::ptrdiff_t>(size));
        data.clear();
        return -1;
    }
    int got = -1;
    try {
        data.resize(static_cast<std::size_t>(size));
        got = buffer_form(path, &data[0], static_cast<unsigned>(size));
    } catch (const std::bad_alloc&) {
    }
    if (got == -1) {
        data.clear();
        YErrTrace("%s(): YFastFile_ReadAtOnce(\"%s\",..,%Id) failed", name, text_of(path),
                  static_cast<std::ptrdiff_t>(size));
        return -1;
    }
    // Also a file that shrank since its size was taken gives no stale bytes.
    data.resize(static_cast<std::size_t>(got));
    return got;
}

int read_bytes(const char* path, char* buffer, unsigned size)
{
    return YFastFile_ReadAtOnce(path, buffer, size);
}

}  // namespace

int YFastFile_ReadAtOnce(const char* path, std::string& data)
{
    return read_into_string("YFastFile_ReadAtOnce", read_bytes, path, data);
}

int YFastFile_ReadLinesAtOnce(const char* path, std::string& text)
{
    int (*lines)(const char*, char*, unsigned) = YFastFile_ReadLinesAtOnce;
    return read_into_string("YFastFile_ReadLinesAtOnce", lines, path, text);
}

namespace {

// The file that `path` names, links resolved, so that a replacement goes to the target of a
// link, in the target's folder, and the link stays; `path` itself when it names no file yet.
std::string final_path(const char* path)
{
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return path;
    char buf[MAX_PATH + 8];
    DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= sizeof buf)
        return path;
    if (std::strncmp(buf, "\\\\?\\UNC\\", 8) == 0)
        return std::string("\\\\") + (buf + 8);
    return std::strncmp(buf, "\\\\?\\", 4) == 0 ? buf + 4 : buf;
}

// Puts the complete temporary file in the target's place; an existing target passes on its
// permissions and owner. Failures are reported with the caller's name for the target. Only a
// file is handed to ReplaceFile: some implementations of it remove a directory in the way.
bool put_in_place(const char* temp, const std::string& target, const char* path)
{
    if (file_isfile(target.c_str())) {
        if (ReplaceFileA(target.c_str(), temp, nullptr, 0, nullptr, nullptr))
            return true;
        const unsigned code = last_error();
        YErrTrace("YFastFile_WriteAtOnce(): ReplaceFile(%s,%s) failed: %u", text_of(path), temp, code);
        return false;
    }
    if (file_rename_with(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const int err = errno;
    YErrTrace("YFastFile_WriteAtOnce(): file_rename(%s,%s) failed: %s", temp, text_of(path), std::strerror(err));
    return false;
}

}  // namespace

int YFastFile_WriteAtOnce(const char* path, const void* data, unsigned size, int mode)
{
    bool flush = (mode & 4) != 0;
    int base = mode & ~4;
    bool replace = base == YFASTFILE_REPLACE || base == YFASTFILE_REPLACE_OR_IN_PLACE;
    char* temp = nullptr;
    std::string target = path ? path : "";
    if (replace) {
        const bool in_place_allowed = base == YFASTFILE_REPLACE_OR_IN_PLACE;
        flush = true;
        base = 2;
        if (path)
            target = final_path(path);
        temp = static_cast<char*>(std::malloc(std::max<std::size_t>(target.size() + 14, MAX_PATH)));
        if (!temp) {
            YErrTrace("YFastFile_WriteAtOnce(): malloc() failed");
            return -1;
        }
        // A target without directory gets its temporary file in the working directory, as the
        // target; an empty directory would make the system put it at the root of the drive.
        if (!path || !file_dirpath(target.c_str(), temp))
            std::strcpy(temp, ".");
        if (!GetTempFileNameA(temp, "ffw", 0, temp)) {
            const unsigned code = last_error();
            std::free(temp);
            temp = nullptr;
            // A folder that takes no new file but holds a file the caller may write: the file
            // is written where it is, which the caller's lock keeps from other writers.
            if (!in_place_allowed || code != ERROR_ACCESS_DENIED || !file_exists(target.c_str())) {
                YErrTrace("YFastFile_WriteAtOnce(): GetTempFileName() failed:%u", code);
                return -1;
            }
            replace = false;
        }
    }
    HANDLE h = openwritefile(replace ? temp : target.c_str(), base);
    if (h == INVALID_HANDLE_VALUE) {
        YErrTrace("%s(): openwritefile(%s, %d) failed", "YFastFile_WriteAtOnce", text_of(path), base);
        if (replace) {
            DeleteFileA(temp);
            std::free(temp);
        }
        return -1;
    }
    bool ok = true;
    DWORD written = 0;
    if (!write64(h, data, size, written)) {
        YErrTrace("%s(): write64() failed", "YFastFile_WriteAtOnce");
        ok = false;
    } else if (flush && !FlushFileBuffers(h)) {
        const unsigned code = last_error();
        YErrTrace("%s(): FlushFileBuffers() failed: %u", "YFastFile_WriteAtOnce", code);
        ok = false;
    }
    if (!CloseHandle(h)) {
        const unsigned code = last_error();
        YErrTrace("%s(): CloseHandle() failed: %u", "YFastFile_WriteAtOnce", code);
        ok = false;
    }
    if (replace) {
        // Only a complete, flushed temporary file may take the target's place; the directory
        // is flushed after the rename so that the replacement survives a crash too.
        if (ok && !put_in_place(temp, target, path))
            ok = false;
        if (!ok)
            DeleteFileA(temp);
        std::free(temp);
    }
    return ok ? static_cast<int>(written) : -1;
}

int YFastFile_WriteLinesAtOnce(const char* path, const char* text, unsigned size, int mode)
{
    // Twice the size must stay countable in 32 bits.
    char* copy =
        size <= 0x7FFFFFFFu ? static_cast<char*>(std::malloc(static_cast<std::size_t>(size) * 2 + 1)) : nullptr;
    if (!copy) {
        const int err = size > 0x7FFFFFFFu ? ENOMEM : errno;
        YErrTrace("YFastFile_WriteLinesAtOnce(): malloc(%Iu) failed: %.50s", static_cast<std::size_t>(size),
                  std::strerror(err));
        return -1;
    }
    std::size_t out = 0;
    for (std::size_t in = 0; in < size; ++in) {
        char c = text[in];
        if (c == '\n' || c == '\r') {
            copy[out++] = '\r';
            copy[out++] = '\n';
            if (c == '\r' && in + 1 < size && text[in + 1] == '\n')
                ++in;
        } else {
            copy[out++] = c;
        }
    }
    int written = YFastFile_WriteAtOnce(path, copy, static_cast<unsigned>(out), mode);
    if (written == -1)
        YErrTrace("YFastFile_WriteLinesAtOnce(): YFastFile_WriteAtOnce(\"%s\",..,%Iu,%d) failed", text_of(path), out,
                  mode);
    std::free(copy);
    return written;
}

bool YFastFile_CopyFile(const char* source, const char* target, int mode)
{
    int size = file_size(source);
    if (size == -1) {
        YErrTrace("YFastFile_CopyFile(): file_size(\"%s\") failed", text_of(source));
        return false;
    }
    char* buffer = static_cast<char*>(std::malloc(size ? static_cast<std::size_t>(size) : 1));
    if (!buffer) {
        YErrTrace("YFastFile_CopyFile(): malloc(%Iu) failed", static_cast<std::size_t>(size));
        return false;
    }
    int got = 0;
    if (size > 0) {
        got = YFastFile_ReadAtOnce(source, buffer, static_cast<unsigned>(size));
        if (got == -1) {
            YErrTrace("YFastFile_CopyFile(): YFastFile_ReadAtOnce(\"%s\",..,%Id) failed", text_of(source),
                      static_cast<std::ptrdiff_t>(size));
            std::free(buffer);
            return false;
        }
    }
    bool ok = YFastFile_WriteAtOnce(target, buffer, static_cast<unsigned>(got), mode) != -1;
    if (!ok)
        YErrTrace("YFastFile_CopyFile(): YFastFile_WriteAtOnce(\"%s\",..,%Id,%d) failed", text_of(target),
                  static_cast<std::ptrdiff_t>(size), mode);
    std::free(buffer);
    return ok;
}
