// The file primitives under the reader, the writer and the whole-file functions: opening,
// one read, one write, and the byte-order mark.
#include <ysl/fastfile.h>

#include "fastfile_internal.h"

#include <ysl/ydiag.h>

using namespace fastfile_internal;

int fastfile_internal::traced(int result, const char* step)
{
    if (result == -1)
        YErrTrace("%s failed", step);
    return result;
}

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
    const write_mode decoded = decode_write_mode(mode);
    DWORD access;
    DWORD disposition;
    switch (decoded.base) {
    case YFASTFILE_CREATE_NEW:
        access = FILE_WRITE_DATA;
        disposition = CREATE_NEW;
        break;
    case YFASTFILE_APPEND:
        access = FILE_APPEND_DATA;
        disposition = OPEN_ALWAYS;
        break;
    case YFASTFILE_TRUNCATE:
        access = FILE_WRITE_DATA;
        disposition = CREATE_ALWAYS;
        break;
    default:
        YErrTrace("openwritefile(): unknown mode %d for %s", decoded.base, text_of(path));
        return INVALID_HANDLE_VALUE;
    }
    DWORD attributes = decoded.write_through ? FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_NORMAL;
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

YFastFile::YFastFile() : m_limit(m_buffer), m_pos(m_buffer), m_file(INVALID_HANDLE_VALUE), m_state(-1) {}

void YFastFile::attach(HANDLE file, const char* path)
{
    m_file = file;
    m_state = 0;
    m_name = path;
}

bool YFastFile::close_file(unsigned& error)
{
    m_name.clear();
    bool ok = true;
    if (m_file != INVALID_HANDLE_VALUE && !CloseHandle(m_file)) {
        error = last_error();
        ok = false;
    }
    m_file = INVALID_HANDLE_VALUE;
    m_state = -1;
    return ok;
}
