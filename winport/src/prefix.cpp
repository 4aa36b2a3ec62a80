#include "prefix.h"

#include "handles.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winport {

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

namespace {

// Why the prefix may not be used, or null. Another user who owns it, can write to it or made
// it a link could swap registry.db or drive C under this user's programs; as for the
// named-object directory, only the caller's own directory, closed to others, will do.
const char* prefix_fault(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return "it cannot be examined";
    if (S_ISLNK(st.st_mode))
        return "it is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return "it is not a directory";
    if (st.st_uid != geteuid())
        return "it is not owned by you";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "others can write to it";
    return nullptr;
}

}  // namespace

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
        else if (const char* fault = prefix_fault(path)) {
            // Every call that needs the prefix fails with this code; the reason is told once.
            std::fprintf(stderr, "winport: the prefix '%s' is refused: %s\n", path.c_str(), fault);
            failure = ERROR_ACCESS_DENIED;
        } else
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
