// Named mutexes shared by every process that creates one of the same name.
#ifndef YSL_YMUTEX_H
#define YSL_YMUTEX_H

#include <winport/winport.h>

typedef HANDLE YMUTEX;
#define YMUTEX_INVALID ((YMUTEX)0)

// Names longer than this are refused; it is the limit of kernel object names.
#define YMUTEX_NAME_MAX MAX_PATH

// Creates the mutex or opens the existing one; YMUTEX_INVALID on failure.
YMUTEX YMutex_Create(const char* name);
// Closes the caller's handle; 1 on success, 0 on failure.
int YMutex_Destroy(YMUTEX mutex);
// Waits until the calling thread owns the mutex: 1, also when its previous owner ended
// without releasing it; 0 on failure.
int YMutex_Lock(YMUTEX mutex);
int YMutex_Release(YMUTEX mutex);
// 1 when the mutex was taken at once, 0 when another thread holds it or on failure.
int YMutex_TryLock(YMUTEX mutex);

#endif
