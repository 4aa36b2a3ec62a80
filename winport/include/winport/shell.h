// Shell folders (SHELL32). Include <winport/winport.h>, not this header.
#ifndef WINPORT_SHELL_H
#define WINPORT_SHELL_H

#include <winport/base.h>

#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_CREATE 0x8000

extern "C" {

// The path of a special folder in the Windows view, into a buffer of MAX_PATH bytes. Only
// CSIDL_COMMON_APPDATA is known: C:\ProgramData, which like every Windows machine's always
// exists (it is made in the prefix when missing, whatever fCreate says).
WINPORT_API BOOL WINAPI SHGetSpecialFolderPathA(HWND hwndOwner, LPSTR lpszPath, int csidl, BOOL fCreate);

// Creates a directory with every missing parent (mode 0700: they hold the machine's state).
// ERROR_SUCCESS, ERROR_ALREADY_EXISTS when the directory (or a file of that name) was there,
// or the code of the failure.
WINPORT_API int WINAPI SHCreateDirectoryExA(HWND hwnd, LPCSTR pszPath, const SECURITY_ATTRIBUTES* psa);
}

#endif
