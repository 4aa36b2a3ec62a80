// Threads that can be joined later by their identifier alone: every thread started here is
// kept in a process-wide list with its handle until it is joined.
#ifndef YSL_YTHREAD_WIN32_H
#define YSL_YTHREAD_WIN32_H

#include <winport/winport.h>

typedef DWORD YTHREAD_ID;
#define YTHREAD_ID_NONE ((YTHREAD_ID)-1)

typedef DWORD (*YThreadFunction)(void* argument);

// Starts function(argument) with the Windows thread priority; the identifier, or
// YTHREAD_ID_NONE on failure.
YTHREAD_ID YThread_Create(YThreadFunction function, void* argument, int priority);
// Waits for the thread's end and removes it from the list: 1, or 0 on failure.
int YThread_Join(YTHREAD_ID id);
// A new handle to the listed thread that the caller closes; INVALID_HANDLE_VALUE when the
// identifier is not listed or the duplicate fails.
HANDLE YThread_DuplicateWindowsHandle(YTHREAD_ID id);

#endif
