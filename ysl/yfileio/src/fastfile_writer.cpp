// YFastFileWriter: sequential writes through the buffer.
#include <ysl/fastfile.h>

#include "fastfile_internal.h"

#include <ysl/ydiag.h>

#include <cstring>

using namespace fastfile_internal;

namespace {

// The most a write may leave pending in the buffer (with what was pending before) instead of
// going straight to the file: at most 8160 bytes stay behind after a disk write.
constexpr std::size_t keep_limit = 0x3FE0;

}  // namespace

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
    attach(h, path);
    m_pos = m_buffer;
    return true;
}

bool YFastFileWriter::Close()
{
    if (m_state != 0)
        return true;
    const bool written = write_pending();
    unsigned code = 0;
    if (!close_file(code)) {
        YErrTrace("%s(): CloseHandle() failed: %u", "YFastFileWriter::Close", code);
        return false;
    }
    return written;
}

bool YFastFileWriter::write_pending()
{
    if (m_pos == m_buffer)
        return true;
    const bool ok = write_to_disk(m_buffer, static_cast<std::size_t>(m_pos - m_buffer));
    m_pos = m_buffer;
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
    const bool ok = write_pending();
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
