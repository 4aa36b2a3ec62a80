// YFastFileReader: sequential reads through the buffer.
#include <ysl/fastfile.h>

#include "fastfile_internal.h"

#include <ysl/ydiag.h>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace fastfile_internal;

namespace {

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
    attach(h, path);
    m_limit = m_pos = m_rewind = m_buffer;
    return true;
}

bool YFastFileReader::Close()
{
    if (m_state != 0)
        return true;
    unsigned code = 0;
    if (close_file(code))
        return true;
    YErrTrace("YFastFileReader::Close(): CloseHandle() failed: %d", static_cast<int>(code));
    return false;
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
    // What the buffer holds now came before these bytes: UnReadChar must not hand it out again.
    if (got > 0)
        m_pos = m_limit = m_buffer;
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
