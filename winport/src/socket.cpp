// Windows Sockets start-up count and error slot. Sockets themselves are the system's
// descriptors; what winport adds is the Windows contract around them.
#include <winport/winport.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex startup_lock;
unsigned startup_count = 0;

constexpr WORD highest_version = MAKEWORD(2, 2);

// A version word holds the major number in its low byte; versions compare by major, then minor.
int version_order(WORD v)
{
    return LOBYTE(v) * 256 + HIBYTE(v);
}

}  // namespace

extern "C" {

int WINAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    if (LOBYTE(wVersionRequested) == 0)
        return WSAVERNOTSUPPORTED;
    if (!lpWSAData)
        return WSAEFAULT;
    std::memset(lpWSAData, 0, sizeof *lpWSAData);
    lpWSAData->wVersion =
        version_order(wVersionRequested) > version_order(highest_version) ? highest_version : wVersionRequested;
    lpWSAData->wHighVersion = highest_version;
    std::strcpy(lpWSAData->szDescription, "WinSock 2.0");
    std::strcpy(lpWSAData->szSystemStatus, "Running");
    std::lock_guard<std::mutex> guard(startup_lock);
    ++startup_count;
    return 0;
}

int WINAPI WSACleanup(void)
{
    std::lock_guard<std::mutex> guard(startup_lock);
    if (startup_count == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --startup_count;
    return 0;
}

// One error slot per thread, shared with GetLastError as on Windows.
int WINAPI WSAGetLastError(void)
{
    return static_cast<int>(GetLastError());
}

void WINAPI WSASetLastError(int iError)
{
    SetLastError(static_cast<DWORD>(iError));
}

}  // extern "C"
