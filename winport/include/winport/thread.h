// Threads (Linux). Include <winport/winport.h>, not this header.
#ifndef WINPORT_THREAD_H
#define WINPORT_THREAD_H

#include <winport/base.h>

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN (0x7fffffff)

#define STILL_ACTIVE 259L
#define CREATE_SUSPENDED 0x00000004

extern "C" {

// The handle of a thread is signalled once the thread has fully ended: its function has
// returned (or it called _endthreadex), its fiber-local callbacks have run, and no code but
// winport's is left on its stack, so the module that started it may be unloaded at once.
WINPORT_API std::uintptr_t __cdecl _beginthreadex(void* security, unsigned stack_size,
                                                  unsigned(WINAPI* start_address)(void*), void* arglist,
                                                  unsigned initflag, unsigned* thrdaddr);
WINPORT_API void __cdecl _endthreadex(unsigned retval);

WINPORT_API HANDLE WINAPI GetCurrentThread(void);
// Priorities map to nice values where the system permits; where it does not, the thread keeps
// its nice value and the call still succeeds, as raising a priority within a class does on
// Windows.
WINPORT_API BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
WINPORT_API int WINAPI GetThreadPriority(HANDLE hThread);
WINPORT_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
}

#endif
