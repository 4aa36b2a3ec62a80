#include <vantor/WSAHandler.h>

#include <winport/winport.h>
#include <ysl/ydiag.h>

namespace {

// The run of 30 spaces is part of two of the texts.
#define WIDE_GAP "                              "

const char* startup_error_text(int code)
{
    switch (code) {
    case WSASYSNOTREADY:
        return "The underlying" WIDE_GAP "network subsystem is not ready for network communication.";
    case WSAVERNOTSUPPORTED:
        return "The version of Windows Sockets support requested" WIDE_GAP
               "is not provided by this particular Windows Sockets implementation.";
    case WSAEINPROGRESS:
        return "A blocking Windows Sockets 1.1 operation is in progress.";
    case WSAEPROCLIM:
        return "Too many programs use Windows Sockets at once; end one of them and try again.";
    case WSAEFAULT:
        return "The lpWSAData parameter is not a valid pointer.";
    default:
        return nullptr;
    }
}

}  // namespace

WSAHandler::~WSAHandler()
{
    if (initialized)
        WSACleanup();
}

bool WSAHandler::init()
{
    if (initialized)
        return true;  // a second start would need a second cleanup that the destructor never makes
    WSADATA data;
    const int rc = WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) {
        if (const char* text = startup_error_text(rc))
            YErrLog("WSAHandler::init() failed: %s", text);
        else
            YErrLog("WSAHandler::init() failed: WSAError: %d", rc);
        return false;
    }
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        return false;
    }
    initialized = true;
    return true;
}
