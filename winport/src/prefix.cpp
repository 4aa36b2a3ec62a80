#include "prefix.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {

unsigned long error_from_errno(int err)
{
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EIO:
        return ERROR_IO_DEVICE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

bool make_private_dir(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0)
        return true;
    int err = errno;
    struct stat st;
    if (err == EEXIST && stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        err = ENOTDIR;
    }
    SetLastError(static_cast<DWORD>(error_from_errno(err)));
    return false;
}

const std::string& prefix_dir()
{
    static std::once_flag once;
    static std::string dir;
    static DWORD failure = ERROR_SUCCESS;
    std::call_once(once, [] {
        std::string path;
        if (const char* env = std::getenv("WINPORT_PREFIX"); env && *env) {
            path = env;
        } else {
            const char* home = std::getenv("HOME");
            if (!home || !*home) {
                if (passwd* pw = getpwuid(getuid()))
                    home = pw->pw_dir;
            }
            if (home && *home)
                path = std::string(home) + "/.winport";
        }
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        if (path.empty())
            failure = ERROR_PATH_NOT_FOUND;
        else if (!make_private_dir(path))
            failure = GetLastError();
        else
            dir = path;
    });
    if (dir.empty())
        SetLastError(failure);
    return dir;
}

std::string prefix_path(const std::string& relative)
{
    const std::string& dir = prefix_dir();
    return dir.empty() ? std::string() : dir + "/" + relative;
}

}  // namespace winport
