// Processes, anonymous pipes and standard handles (Linux). Include <winport/winport.h>, not
// this header.
//
// A process handle waits on the process's pidfd. A process started here is reaped by winport
// as soon as it ends, so it never lingers as a zombie, and its exit code stays readable
// through every handle opened to it before its end, in every process of the winport prefix.
// A process killed by a signal reads as an abnormal end: 0x80000000 plus the signal number,
// unless TerminateProcess asked for the end, whose code it then reads.
#ifndef WINPORT_PROCESS_H
#define WINPORT_PROCESS_H

#include <winport/base.h>

#define PROCESS_TERMINATE 0x0001
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#define PROCESS_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

#define DEBUG_PROCESS 0x00000001
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define NORMAL_PRIORITY_CLASS 0x00000020
#define IDLE_PRIORITY_CLASS 0x00000040
#define HIGH_PRIORITY_CLASS 0x00000080
#define REALTIME_PRIORITY_CLASS 0x00000100
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000
#define CREATE_NO_WINDOW 0x08000000

#define STARTF_USESTDHANDLES 0x00000100

#define HANDLE_FLAG_INHERIT 0x00000001
#define HANDLE_FLAG_PROTECT_FROM_CLOSE 0x00000002

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_NO_DATA 232L
#define ERROR_NO_MORE_FILES 18L

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

extern "C" {

// The command line is split as Windows splits it (CommandLineToArgvW) and never handed to a
// shell. Without an application name the program is its first word, looked up as Windows
// does: a name with a directory as given, else in the caller's executable directory, the
// working directory and PATH; each time as given, then with ".exe" when it has no extension.
// The child gets no descriptor of the parent but the three standard ones: with
// bInheritHandles and STARTF_USESTDHANDLES those of the handles given (a missing one reads
// and writes /dev/null), else the parent's, or /dev/null under DETACHED_PROCESS (which also
// gives it a session of its own). CREATE_NEW_PROCESS_GROUP gives it a process group of its
// own. Priority classes become nice values where the system permits and are never a
// failure. hThread is a handle that only closes.
WINPORT_API BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                       LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                       LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                       DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                                       LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation);
// ERROR_INVALID_PARAMETER for an identifier without a process (also 0); ERROR_ACCESS_DENIED
// for PROCESS_TERMINATE on a process the caller may not signal.
WINPORT_API HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
// A process that has ended keeps its exit code; the call still succeeds, as under Wine.
WINPORT_API BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
// STILL_ACTIVE while the process runs. A process that no winport of this prefix started has
// an exit code that Linux tells its parent only: asking for it after its end fails with
// ERROR_NOT_SUPPORTED.
WINPORT_API BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
WINPORT_API DWORD WINAPI GetProcessId(HANDLE Process);
// The Windows view of the executable's path ("C:\..." inside drive_c, "\usr\bin\..." else).
WINPORT_API BOOL WINAPI QueryFullProcessImageNameA(HANDLE hProcess, DWORD dwFlags, LPSTR lpExeName, LPDWORD lpdwSize);

WINPORT_API BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES lpPipeAttributes,
                                   DWORD nSize);
// HANDLE_FLAG_INHERIT on pipe and file handles; HANDLE_FLAG_PROTECT_FROM_CLOSE is accepted and
// has no effect.
WINPORT_API BOOL WINAPI SetHandleInformation(HANDLE hObject, DWORD dwMask, DWORD dwFlags);
WINPORT_API HANDLE WINAPI GetStdHandle(DWORD nStdHandle);

// Linux processes have no windows: the request to close that Windows posts to a process's
// windows (WM_CLOSE) is SIGTERM here. FALSE with the last error set when it cannot be sent.
WINPORT_API BOOL WINAPI winport_request_close(DWORD dwProcessId);
}

#endif
