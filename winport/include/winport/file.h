// Files (Linux): opening, reading, writing, flushing, renaming, deleting and temporary file
// names, through the path mapping of winport (see crt.h). Include <winport/winport.h>, not
// this header.
#ifndef WINPORT_FILE_H
#define WINPORT_FILE_H

#include <winport/base.h>

#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u

// Linux has no mandatory sharing: the share mode is accepted and not enforced.
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_WRITE_THROUGH 0x80000000u

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;

extern "C" {

// FILE_FLAG_WRITE_THROUGH: every write reaches the device before WriteFile returns. A handle is
// inherited by child processes only when the security attributes ask for it.
WINPORT_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                      LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                      DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Synchronous only: lpOverlapped must be null.
WINPORT_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                 LPOVERLAPPED lpOverlapped);
WINPORT_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                  LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WINPORT_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);
// A rename within one file system, atomic as rename(2); MOVEFILE_WRITE_THROUGH also makes the
// directory entries durable before returning. Moves across file systems are refused
// (ERROR_NOT_SAME_DEVICE), with or without MOVEFILE_COPY_ALLOWED.
WINPORT_API BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
WINPORT_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
// Puts the replacement file in the place of the replaced one in one rename, giving it the
// replaced file's permission bits and, as far as the caller may, its owner and group, and
// makes the directory entries durable. No backup file (ERROR_NOT_SUPPORTED); no flags.
WINPORT_API BOOL WINAPI ReplaceFileA(LPCSTR lpReplacedFileName, LPCSTR lpReplacementFileName, LPCSTR lpBackupFileName,
                                     DWORD dwReplaceFlags, LPVOID lpExclude, LPVOID lpReserved);
#define FILE_NAME_NORMALIZED 0x0u
#define VOLUME_NAME_DOS 0x0u
// The path of the open file, links resolved, in the Windows view after "\\?\"; only
// FILE_NAME_NORMALIZED | VOLUME_NAME_DOS.
WINPORT_API DWORD WINAPI GetFinalPathNameByHandleA(HANDLE hFile, LPSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags);
// Creates the new empty file (mode 0600) for uUnique 0; the name handed back is lpPathName
// with '\' separators, a '\' and "<prefix><4 hex digits>.tmp".
WINPORT_API UINT WINAPI GetTempFileNameA(LPCSTR lpPathName, LPCSTR lpPrefixString, UINT uUnique, LPSTR lpTempFileName);
}

#endif
