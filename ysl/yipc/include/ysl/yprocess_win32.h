// Starting, finding, watching and ending other processes by their identifier alone: no
// process handle outlives a call.
#ifndef YSL_YPROCESS_WIN32_H
#define YSL_YPROCESS_WIN32_H

#include <winport/winport.h>

typedef DWORD YPROCESS_ID;
#define YPROCESS_ID_NONE ((YPROCESS_ID)0)

// Starts the command line (split as Windows splits it, never by a shell). prio: creation
// flags among DETACHED_PROCESS, the priority classes and CREATE_NEW_PROCESS_GROUP.
YPROCESS_ID YProcess_Create(const char* cmdline, DWORD prio);
// As YProcess_Create, with the child's standard output, error and input on pipes whose
// parent ends come back as run-time descriptors (the caller _closes them); a null out-parameter
// closes that end. 0 on failure.
YPROCESS_ID YProcess_CreateWithPipes(const char* cmdline, DWORD prio, int* stdout_fd, int* stderr_fd, int* stdin_fd);

// Asks the process to close (Windows: WM_CLOSE to its top-level windows; Linux: SIGTERM),
// waits up to 10 s, then terminates it. 1 when it has ended or pid is 0, 0 when it could not
// be opened or still runs after a failed termination.
int Yipc_TerminateProcess(YPROCESS_ID pid);
// Terminates the process at once: 1 when it was terminated (or pid is 0), else 0.
int YProcess_Destroy(YPROCESS_ID pid);
// Waits for the end and stores the exit code: 1, or 0 on failure (also for an abnormal end,
// an exit code of 0x80000000 or above).
int YProcess_GetExitStatus(YPROCESS_ID pid, int* status);
// 1 ended, -1 still running after the time (seconds; negative: no limit), 0 on failure.
int YProcess_WaitForExit(YPROCESS_ID pid, double seconds);
// 1 when the process exists and has not ended (also another user's), else 0.
int YProcess_IsAlive(YPROCESS_ID pid);
// The first process whose executable file name is exactly name (letter case counts).
YPROCESS_ID YProcess_GetIDByName(const char* name);
// The first process whose executable file name equals the last component of name ignoring
// letter case and, when name has a directory, whose full image path equals name ignoring
// letter case. name may be in double quotes. 0 if none.
YPROCESS_ID YProcess_GetIDByImagePath(const char* name);
// The parent of the calling process, 0 if not found.
YPROCESS_ID YProcess_GetParentID(void);

#endif
