// Modules are shared objects; an HMODULE is the handle that dlopen() gave.
#include "path.h"

#include <winport/winport.h>

#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A bare module name "X.dll" is the shared object "libX.so": first beside winport itself,
// where the project's libraries are installed, then wherever the dynamic loader looks. (The
// loader's own search cannot be relied on for the first step: under a sanitizer the caller
// of dlopen() is the sanitizer's run-time, whose run path is not winport's.) A name with a
// directory is taken as the file it names.
std::string shared_object_name(const char* name)
{
    std::size_t n = std::strlen(name);
    if (std::strpbrk(name, "/\\") || n <= 4 || strcasecmp(name + n - 4, ".dll") != 0)
        return name;
    std::string file = "lib" + std::string(name, n - 4) + ".so";
    Dl_info self;
    if (dladdr(reinterpret_cast<void*>(&shared_object_name), &self) && self.dli_fname) {
        std::string dir = self.dli_fname;
        std::size_t slash = dir.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = dir.substr(0, slash + 1) + file;
            if (access(beside.c_str(), F_OK) == 0)
                return beside;
        }
    }
    return file;
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* module = dlopen(shared_object_name(lpLibFileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        // dlopen() does not say why in a code; a missing file is by far the common case.
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(module);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    if (!hLibModule || dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (!hModule || !lpProcName) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* sym = dlsym(hModule, lpProcName);
    if (!sym) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    std::string path;
    if (!hModule) {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0)
            path.assign(buf, static_cast<std::size_t>(n));
    } else {
        link_map* map = nullptr;
        if (dlinfo(hModule, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) {
            if (char* real = realpath(map->l_name, nullptr)) {
                path = real;
                std::free(real);
            }
        }
    }
    if (path.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!lpFilename || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As on Windows: a name that does not fit is cut, ends in a zero, and the call says so.
    std::string view = winport::windows_view(path);
    if (view.size() >= nSize) {
        std::memcpy(lpFilename, view.c_str(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::memcpy(lpFilename, view.c_str(), view.size() + 1);
    return static_cast<DWORD>(view.size());
}

}  // extern "C"
