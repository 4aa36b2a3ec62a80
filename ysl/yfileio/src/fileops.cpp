#include <ysl/fileops.h>

#include "fileops_internal.h"

#include <ysl/ydiag.h>

#include <winport/winport.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_sep(char c)
{
    return c == '\\' || c == '/';
}

bool is_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

const char* first_sep(const char* p)
{
    for (; *p; ++p)
        if (is_sep(*p))
            return p;
    return nullptr;
}

const char* last_sep(const char* p)
{
    const char* found = nullptr;
    for (; *p; ++p)
        if (is_sep(*p))
            found = p;
    return found;
}

// Appends a component to a path being built: the component alone to an empty path, else '\'
// and the component. False when the result would not fit a path buffer.
bool append_component(char* path, const char* comp, std::size_t len)
{
    std::size_t n = std::strlen(path);
    std::size_t sep = n ? 1 : 0;
    if (n + sep + len >= YFILE_PATH_MAX)
        return false;
    if (sep)
        path[n++] = '\\';
    std::memcpy(path + n, comp, len);
    path[n + len] = '\0';
    return true;
}

bool copy_path(char* out, const char* path)
{
    std::size_t n = std::strlen(path);
    if (n >= YFILE_PATH_MAX)
        return false;
    std::memcpy(out, path, n + 1);
    return true;
}

// Taken before a report starts: the report itself may change the last error and errno.
unsigned last_error()
{
    return static_cast<unsigned>(GetLastError());
}

}  // namespace

int file_rename_with(const char* oldpath, const char* newpath, DWORD flags)
{
    if (!MoveFileExA(oldpath, newpath, flags)) {
        const unsigned code = last_error();
        YErrTrace("file_rename(): MoveFileEx(%s,%s) failed: %u", oldpath ? oldpath : "", newpath ? newpath : "", code);
        return 0;
    }
    return 1;
}

int file_type(const char* path)
{
    struct __finddata64_t found;
    std::intptr_t search = path ? _findfirst64(path, &found) : -1;
    if (search == -1) {
        const int err = path ? errno : EINVAL;
        YErrTrace("%s(): _findfirst(\"%s\") failed: %s", "file_type", path ? path : "", std::strerror(err));
        return -1;
    }
    int type = '-';
    if (found.attrib & _A_SUBDIR)
        type = 'd';
    else if (found.attrib & (_A_HIDDEN | _A_SYSTEM))
        type = ' ';
    _findclose(search);
    return type;
}

std::int64_t file_size64(const char* path)
{
    int type = file_type(path);
    if (type == -1)
        return -1;
    if (type == 'd')
        return 0;
    struct _stat64 st;
    if (_stat64(path, &st) != 0)
        return -1;
    return st.st_size;
}

int file_size(const char* path)
{
    std::int64_t size = file_size64(path);
    return size < 0 || size > 0x7FFFFFFF ? -1 : static_cast<int>(size);
}

int file_exists(const char* path)
{
    return path && _access(path, 0) == 0 ? 1 : 0;
}

int file_isfile(const char* path)
{
    struct _stat64 st;
    return path && _stat64(path, &st) == 0 && !(st.st_mode & _S_IFDIR) ? 1 : 0;
}

int file_remove(const char* path)
{
    return path && _unlink(path) == 0 ? 1 : 0;
}

int file_makewritable(const char* path)
{
    if (!path || _access(path, 0) != 0)
        return 0;
    if (_access(path, 6) == 0)
        return 1;
    return _chmod(path, _S_IREAD | _S_IWRITE) == 0 ? 1 : 0;
}

int file_rename(const char* oldpath, const char* newpath)
{
    return file_rename_with(oldpath, newpath, MOVEFILE_REPLACE_EXISTING);
}

char* file_fullpath(const char* path, char* buffer)
{
    if (!path)
        return nullptr;
    char* out = buffer ? buffer : static_cast<char*>(std::malloc(YFILE_PATH_MAX));
    if (!out)
        return nullptr;
    if (_fullpath(out, path, YFILE_PATH_MAX)) {
        std::size_t n = std::strlen(out);
        if (n && out[n - 1] == '\\')
            out[n - 1] = '\0';
        if (file_type(out) != -1)
            return out;
    }
    if (!buffer)
        std::free(out);
    return nullptr;
}

int file_isinside(const char* inner, const char* outer)
{
    char in[YFILE_PATH_MAX];
    char out[YFILE_PATH_MAX];
    if (!file_fullpath(inner, in) || !file_fullpath(outer, out))
        return 0;
    std::size_t n = std::strlen(out);
    return std::strlen(in) > n && std::strncmp(in, out, n) == 0 && in[n] == '\\' ? 1 : 0;
}

char* file_readfirstline(const char* path, char* buffer, int size)
{
    // fgets needs room for one character besides the terminator to tell an empty file.
    if (!path || !buffer || size < 2)
        return nullptr;
    FILE* f = _fsopen(path, "r", _SH_DENYNO);
    if (!f)
        return nullptr;
    char* line = std::fgets(buffer, size, f);
    std::fclose(f);
    return line;
}

int file_isabsolute(const char* path)
{
    if (!path)
        return 0;
    return is_sep(path[0]) || (is_letter(path[0]) && path[1] == ':') ? 1 : 0;
}

char* file_drive(const char* path)
{
    static char drive[3];
    if (!path || !is_letter(path[0]) || path[1] != ':')
        return nullptr;
    drive[0] = path[0];
    drive[1] = ':';
    drive[2] = '\0';
    return drive;
}

char* file_dirpath(const char* path, char* output)
{
    if (!path || !output || !*path)
        return nullptr;
    const char* sep = last_sep(path);
    if (!sep)
        return nullptr;
    std::size_t n = static_cast<std::size_t>(sep - path);
    if (n + 2 > YFILE_PATH_MAX)
        return nullptr;
    std::memmove(output, path, n);
    output[n] = '\\';
    output[n + 1] = '\0';
    return output;
}

const char* file_namepart(const char* path)
{
    if (!path || !*path)
        return nullptr;
    const char* sep = last_sep(path);
    return sep ? sep + 1 : path;
}

const char* file_trailpath(const char* path)
{
    if (!path)
        return nullptr;
    const char* sep = last_sep(path);
    return sep ? sep + 1 : nullptr;
}

const char* file_extension(const char* path)
{
    if (!path)
        return nullptr;
    const char* trail = file_trailpath(path);
    return std::strrchr(trail ? trail : path, '.');
}

char* file_headpath(char* path, char* buffer)
{
    if (!path)
        return nullptr;
    const char* sep = first_sep(path);
    if (!sep)
        return nullptr;
    // A leading separator is the first component on its own.
    std::size_t n = sep == path ? 1 : static_cast<std::size_t>(sep - path);
    if (!buffer) {
        path[n] = '\0';
        return path;
    }
    if (n >= YFILE_PATH_MAX)
        return nullptr;
    std::memmove(buffer, path, n);
    buffer[n] = '\0';
    return buffer;
}

char* file_headpath(const char* path, char* buffer)
{
    return buffer ? file_headpath(const_cast<char*>(path), buffer) : nullptr;
}

char* file_cutpath(char* path)
{
    if (!path || !*path)
        return nullptr;
    std::size_t n = std::strlen(path);
    if (is_sep(path[n - 1]))
        path[--n] = '\0';
    char* sep = const_cast<char*>(last_sep(path));
    if (!sep)
        return nullptr;
    *sep = '\0';
    return path;
}

char* file_joinpath(char* base, const char* relpath)
{
    if (!base || !relpath || file_isabsolute(relpath))
        return nullptr;
    // Built in a copy, so that a failure leaves the base as it was.
    char work[YFILE_PATH_MAX];
    if (!copy_path(work, base))
        return nullptr;
    std::size_t n = std::strlen(work);
    if (n == 1 && is_sep(work[0])) {
        if (n + std::strlen(relpath) >= YFILE_PATH_MAX)
            return nullptr;
        std::strcpy(work + n, relpath);
        std::strcpy(base, work);
        return base;
    }
    if (n && is_sep(work[n - 1]))
        work[n - 1] = '\0';

    const char* rest = relpath;
    for (const char* sep; (sep = first_sep(rest)) != nullptr; rest = sep + 1) {
        std::size_t len = static_cast<std::size_t>(sep - rest);
        // An empty component (a doubled separator) is skipped like ".".
        if (len == 0 || (len == 1 && rest[0] == '.'))
            continue;
        if (len == 2 && rest[0] == '.' && rest[1] == '.') {
            if (!file_cutpath(work))
                return nullptr;
        } else if (!append_component(work, rest, len)) {
            return nullptr;
        }
    }
    // The final component goes on unresolved, so that relpath can build its ".." steps.
    if (*rest && !append_component(work, rest, std::strlen(rest)))
        return nullptr;
    std::strcpy(base, work);
    return base;
}

char* file_relpath(const char* from, const char* to, char* buffer)
{
    static char shared[YFILE_PATH_MAX];
    if (!file_isabsolute(from) || !file_isabsolute(to))
        return nullptr;
    char* out = buffer ? buffer : shared;

    const char* f = from;
    const char* t = to;
    for (;;) {
        const char* fs = first_sep(f);
        const char* ts = first_sep(t);
        if (!fs || !ts || fs - f != ts - t || std::strncmp(f, t, static_cast<std::size_t>(fs - f)) != 0)
            break;
        f = fs;
        t = ts;
        if (is_sep(*f)) {
            ++f;
            ++t;
        }
    }
    char work[YFILE_PATH_MAX] = "";
    for (const char* sep = first_sep(f); sep; sep = first_sep(sep + 1))
        if (!file_joinpath(work, ".."))
            return nullptr;
    if (!file_joinpath(work, t))
        return nullptr;
    std::strcpy(out, work);
    return out;
}

char* file_backslashes(char* path, char* buffer)
{
    if (!path)
        return nullptr;
    char* out = path;
    if (buffer) {
        if (!copy_path(buffer, path))
            return nullptr;
        out = buffer;
    }
    for (char* p = out; *p; ++p)
        if (*p == '/')
            *p = '\\';
    return out;
}

char* file_backslashes(const char* path, char* buffer)
{
    return buffer ? file_backslashes(const_cast<char*>(path), buffer) : nullptr;
}
