#include <ysl/ymutex.h>
#include <ysl/ydiag.h>

#include <cstring>

// The last error is read before a report is made: making one may change it.

YMUTEX YMutex_Create(const char* name)
{
    // A null name makes a mutex of this process alone, as CreateMutexA does.
    if (name && std::strlen(name) > YMUTEX_NAME_MAX) {
        YErrTrace("YMutex_Create(): name too long");
        return YMUTEX_INVALID;
    }
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (!h) {
        DWORD error = GetLastError();
        YErrTrace("YMutex_Create(): CreateMutex() failed: %u", static_cast<unsigned>(error));
        return YMUTEX_INVALID;
    }
    return h;
}

int YMutex_Destroy(YMUTEX mutex)
{
    if (mutex == YMUTEX_INVALID) {
        YErrTrace("YMutex_Destroy(): invalid handle");
        return 0;
    }
    if (!CloseHandle(mutex)) {
        DWORD error = GetLastError();
        YErrTrace("YMutex_Destroy(): CloseHandle() failed: %u", static_cast<unsigned>(error));
        return 0;
    }
    return 1;
}

int YMutex_Lock(YMUTEX mutex)
{
    if (mutex == YMUTEX_INVALID) {
        YErrTrace("YMutex_Lock(): invalid handle");
        return 0;
    }
    switch (WaitForSingleObject(mutex, INFINITE)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return 1;
    case WAIT_TIMEOUT:
        YErrTrace("YMutex_Lock(): WaitForSingleObject() returned WAIT_TIMEOUT");
        return 0;
    default:
        YErrTrace("YMutex_Lock(): WaitForSingleObject() returned unexpected result");
        return 0;
    }
}

int YMutex_Release(YMUTEX mutex)
{
    if (mutex == YMUTEX_INVALID) {
        YErrTrace("YMutex_Release(): invalid handle");
        return 0;
    }
    if (!ReleaseMutex(mutex)) {
        DWORD error = GetLastError();
        YErrTrace("YMutex_Release(): ReleaseObject() failed: %u", static_cast<unsigned>(error));
        return 0;
    }
    return 1;
}

int YMutex_TryLock(YMUTEX mutex)
{
    if (mutex == YMUTEX_INVALID) {
        YErrLog("YMutex_TryLock(): invalid handle");
        return 0;
    }
    switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return 1;
    case WAIT_TIMEOUT:
        return 0;
    default:
        YErrLog("YMutex_TryLock(): WaitForSingleObject() returned unexpected result");
        return 0;
    }
}
