// Loading modules (Linux: shared objects). Include <winport/winport.h>, not this header.
#ifndef WINPORT_MODULE_H
#define WINPORT_MODULE_H

#include <winport/base.h>

typedef INT_PTR (*FARPROC)();

extern "C" {

// A bare name "X.dll" loads the shared object libX.so; a path loads that file. The module's
// static initialisation is its attach step.
WINPORT_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
// Unloading runs the module's static destruction, its detach step, once the last reference
// is gone.
WINPORT_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINPORT_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// The Windows view of the file of a module (null: the program's executable).
WINPORT_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
}

#endif
