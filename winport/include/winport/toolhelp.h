// Process snapshots (Linux), read from /proc. Include <winport/winport.h>, not this header.
#ifndef WINPORT_TOOLHELP_H
#define WINPORT_TOOLHELP_H

#include <winport/base.h>

#define TH32CS_SNAPPROCESS 0x00000002

typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *PPROCESSENTRY32, *LPPROCESSENTRY32;

extern "C" {

// The processes that run when the snapshot is taken, in ascending order of identifier; ended
// processes not yet reaped (zombies) are left out. szExeFile is the file name of the
// executable (of its first argument where the executable cannot be read, as for another
// user's process). Only TH32CS_SNAPPROCESS is provided.
WINPORT_API HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID);
WINPORT_API BOOL WINAPI Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
WINPORT_API BOOL WINAPI Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe);
}

#endif
