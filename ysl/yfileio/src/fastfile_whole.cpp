// The whole-file functions: a file read or written with one call, and replaced through a
// temporary file.
#include <ysl/fastfile.h>

#include "fastfile_internal.h"
#include "fileops_internal.h"

#include <ysl/fileops.h>
#include <ysl/ydiag.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

using namespace fastfile_internal;

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

struct free_deleter {
    void operator()(char* p) const { std::free(p); }
};
using temp_name = std::unique_ptr<char, free_deleter>;

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

// The temporary file beside `target` that a replacement is written to, made (empty) by the
// system so that no other writer takes its name. Null on failure, reported, or with `in_place`
// set where the folder takes no new file but holds a file the caller may write and the mode
// allows writing it where it is (the caller's lock keeps other writers out).
temp_name make_temp_file(const char* path, const std::string& target, bool in_place_fallback, bool& in_place)
{
    in_place = false;
    temp_name temp(static_cast<char*>(std::malloc(std::max<std::size_t>(target.size() + 14, MAX_PATH))));
    if (!temp) {
        YErrTrace("YFastFile_WriteAtOnce(): malloc() failed");
        return nullptr;
    }
    // A target without directory gets its temporary file in the working directory, as the
    // target; an empty directory would make the system put it at the root of the drive.
    if (!path || !file_dirpath(target.c_str(), temp.get()))
        std::strcpy(temp.get(), ".");
    if (GetTempFileNameA(temp.get(), "ffw", 0, temp.get()))
        return temp;
    const unsigned code = last_error();
    if (in_place_fallback && code == ERROR_ACCESS_DENIED && file_exists(target.c_str())) {
        in_place = true;
        return nullptr;
    }
    YErrTrace("YFastFile_WriteAtOnce(): GetTempFileName() failed:%u", code);
    return nullptr;
}

// Writes the data to `file`, opened with `base`, flushed when asked, and closes it; the count
// written, or -1. Failures name the target by the caller's `path`.
int write_file(const char* file, const char* path, int base, const void* data, unsigned size, bool flush)
{
    HANDLE h = openwritefile(file, base);
    if (h == INVALID_HANDLE_VALUE) {
        YErrTrace("%s(): openwritefile(%s, %d) failed", "YFastFile_WriteAtOnce", text_of(path), base);
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
    return ok ? static_cast<int>(written) : -1;
}

}  // namespace

int YFastFile_WriteAtOnce(const char* path, const void* data, unsigned size, int mode)
{
    const write_mode decoded = decode_write_mode(mode);
    if (!decoded.replace)
        return write_file(text_of(path), path, decoded.base, data, size, decoded.write_through);
    // A replacement is always flushed.
    const std::string target = path ? final_path(path) : "";
    bool in_place;
    temp_name temp = make_temp_file(path, target, decoded.in_place_fallback, in_place);
    if (!temp)
        return in_place ? write_file(target.c_str(), path, YFASTFILE_TRUNCATE, data, size, true) : -1;
    // Only a complete, flushed temporary file may take the target's place; the directory is
    // flushed after the rename so that the replacement survives a crash too.
    int written = write_file(temp.get(), path, YFASTFILE_TRUNCATE, data, size, true);
    if (written != -1 && !put_in_place(temp.get(), target, path))
        written = -1;
    if (written == -1)
        DeleteFileA(temp.get());
    return written;
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
