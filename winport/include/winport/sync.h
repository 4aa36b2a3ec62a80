// Critical sections and events (Linux). Include <winport/winport.h>, not this header.
#ifndef WINPORT_SYNC_H
#define WINPORT_SYNC_H

#include <winport/base.h>

// Storage for a recursive process-private mutex; only the functions below touch it.
typedef struct _RTL_CRITICAL_SECTION {
    alignas(8) unsigned char opaque_[64];
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

extern "C" {

WINPORT_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPORT_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPORT_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPORT_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINPORT_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

WINPORT_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                                       LPCSTR lpName);
WINPORT_API BOOL WINAPI SetEvent(HANDLE hEvent);
WINPORT_API BOOL WINAPI ResetEvent(HANDLE hEvent);

// Named objects are shared by every process of the winport prefix; a named mutex whose owner
// ended without releasing it gives WAIT_ABANDONED to its next waiter. A mutex waits only on
// its own, not in WaitForMultipleObjects with other handles.
WINPORT_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
WINPORT_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);
}

#endif
