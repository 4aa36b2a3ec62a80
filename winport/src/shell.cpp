#include "prefix.h"

#include <winport/winport.h>

#include <cstring>

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
}
