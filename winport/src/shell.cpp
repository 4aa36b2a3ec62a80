#include "path.h"
#include "prefix.h"

#include <winport/winport.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/stat.h>

extern "C" {

WINPORT_API BOOL WINAPI SHGetSpecialFolderPathA(HWND, LPSTR lpszPath, int csidl, BOOL)
{
    if (!lpszPath || (csidl & ~CSIDL_FLAG_CREATE) != CSIDL_COMMON_APPDATA) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string drive = winport::prefix_path("drive_c");
    if (drive.empty() || !winport::make_private_dir(drive) || !winport::make_private_dir(drive + "/ProgramData"))
        return FALSE;
    static const char folder[] = "C:\\ProgramData";
    static_assert(sizeof folder <= MAX_PATH);
    std::memcpy(lpszPath, folder, sizeof folder);
    return TRUE;
}

WINPORT_API int WINAPI SHCreateDirectoryExA(HWND, LPCSTR pszPath, const SECURITY_ATTRIBUTES*)
{
    std::string dir;
    if (!pszPath || !winport::unix_path(pszPath, dir))
        return static_cast<int>(GetLastError());
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    struct stat st;
    if (stat(dir.c_str(), &st) == 0)
        return ERROR_ALREADY_EXISTS;  // a file in the way too, as Windows answers
    // Each missing component in turn, from the first one below the root.
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            int err = errno;
            DWORD code = winport::error_from_path_errno(err, part);
            SetLastError(code);
            return static_cast<int>(code);
        }
        if (slash == std::string::npos)
            break;
    }
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return ERROR_ALREADY_EXISTS;
    }
    return ERROR_SUCCESS;
}
}
