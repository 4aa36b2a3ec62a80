#include <vantor/VantorConnection.h>

#include "vantor_configuration.h"

#include <ysl/fileops.h>
#include <ysl/ydiag.h>
#include <ysl/yprocess_win32.h>

#include <string>

namespace {

const char server_executable[] = "vantor.exe";
const char mutex_name[] = "VantorMutex";
const unsigned wait_limit_ms = 10000;
const unsigned pause_before_reconnect_ms = 10;
// Without a wait set nothing tells when the server is ready, so the connection is tried again
// at this pace until the wait limit.
const unsigned poll_interval_ms = 50;

// The configured location is used as the whole command line. A path with spaces but without
// quotes would be split there and could start "C:\Program.exe" instead, so a location that
// names an existing file is quoted; anything else (already quoted, or with arguments) is
// passed as it stands.
std::string server_command_line(const std::string& location)
{
    if (!location.empty() && location[0] != '"' && file_isfile(location.c_str()) == 1)
        return '"' + location + '"';
    return location;
}

}  // namespace

VantorConnection::VantorConnection()
{
    hMutex = YMutex_Create(mutex_name);
    if (hMutex == YMUTEX_INVALID)
        YErrTrace_DumpContextToYErrLog("VantorConnection(): YMutex_Create(\"VantorMutex\") == YMUTEX_INVALID");
    intss_fd_set = YIntSockSel_Create();
    if (!intss_fd_set)
        YErrTrace_DumpContextToYErrLog("VantorConnection(): YIntSockSel_Create(0) == NULL");
    winsock_initialized = wsaHandler.init();
    if (!winsock_initialized)
        YErrTrace_DumpContextToYErrLog("VantorConnection(): wsaHandler.init() failed");
    connected = establishConnection();
    if (!connected)
        YErrTrace_DumpContextToYErrLog("VantorConnection(): establishConnection() failed");
}

VantorConnection::~VantorConnection()
{
    pipe.Close();
    YIntSockSel_Destroy(intss_fd_set);
    if (hMutex != YMUTEX_INVALID && !YMutex_Destroy(hMutex))
        YErrLog("~VantorConnection(): YMutex_Destroy(hMutex) failed");
}

bool VantorConnection::establishConnection()
{
    std::string location;
    if (!getServerLocation(location)) {
        YErrTrace("establishConnection(): getVantorServerLocation() == false");
        return false;
    }
    if (!YMutex_Lock(hMutex)) {
        YErrTrace("establishConnection(): YMutex_Lock(hMutex) failed");
        return false;
    }
    bool result = false;
    if (!winsock_initialized) {
        YErrTrace("establishConnection(): winsock_initialized == false");
    } else {
        // A pipe whose read or write failed still holds its broken socket, which Open would
        // try to connect again; a fresh socket is what a reconnection needs.
        pipe.Close();
        // A refused first attempt is the ordinary sign that no server runs yet; its report
        // stays only when it is the attempt's answer.
        YErrTrace_BeginContext();
        result = pipe.Open(VANTOR_PORT_NAME, VANTOR_PORT, true);
        const DWORD running = result ? YPROCESS_ID_NONE : YProcess_GetIDByName(server_executable);
        if (!result && running == YPROCESS_ID_NONE)
            YErrTrace_ClearContext();
        YErrTrace_EndContext();
        if (!result && running != YPROCESS_ID_NONE) {
            YErrTrace("establishConnection(): %s (process id %lu) runs but refuses connections on %s:%d; end it or "
                      "wait until it accepts them",
                      server_executable, static_cast<unsigned long>(running), VANTOR_PORT_NAME, VANTOR_PORT);
        } else if (!result) {
            result = start_server(server_command_line(location));
        }
    }
    if (!YMutex_Release(hMutex)) {
        YErrTrace("establishConnection(): YMutex_Release(hMutex) failed");
        result = false;
    }
    return result;
}

bool VantorConnection::start_server(const std::string& command)
{
    // A failed start shows up as the time-out below; the start reports its own failure.
    YProcess_Create(command.c_str(), HIGH_PRIORITY_CLASS);
    if (!intss_fd_set)
        return poll_for_server();
    switch (YIntSockSel_Wait(intss_fd_set)) {
    case -2:
        Sleep(pause_before_reconnect_ms);
        if (pipe.Open(VANTOR_PORT_NAME, VANTOR_PORT, true))
            return true;
        YErrTrace("establishConnection(): pipe.Open(VANTOR_PORT_NAME, VANTOR_PORT, true) failed");
        return false;
    case -3:
        YErrTrace("establishConnection(): YIntSockSel_Wait(intss_fd_set, 10000) reached timeout");
        return false;
    case -1:
        YErrTrace("establishConnection(): YIntSockSel_Wait(intss_fd_set, 10000) failed");
        return false;
    default:
        YErrTrace("establishConnection(): YIntSockSel_Wait(intss_fd_set, 10000) returned unexpected value");
        return false;
    }
}

bool VantorConnection::poll_for_server()
{
    for (unsigned waited = 0; waited < wait_limit_ms; waited += poll_interval_ms) {
        Sleep(poll_interval_ms);
        YErrTrace_BeginContext();
        const bool open = pipe.Open(VANTOR_PORT_NAME, VANTOR_PORT, true);
        YErrTrace_ClearContext();  // only the last word counts, and that is the report below
        YErrTrace_EndContext();
        if (open)
            return true;
    }
    YErrTrace("establishConnection(): without a wait set, the started server did not accept connections within "
              "%u ms",
              wait_limit_ms);
    return false;
}

void VantorConnection::disconnect()
{
    if (connected) {
        pipe.Close();
        connected = false;
    }
}

bool VantorConnection::ensureConnected()
{
    if (!connected)
        connected = establishConnection();
    return connected;
}

int VantorConnection::read(void* buffer, int length)
{
    const int n = pipe.Read(buffer, length, -1.0);
    if (n < 0)
        connected = false;
    return n;
}

int VantorConnection::write(const void* buffer, int length)
{
    const int n = pipe.Write(buffer, length, -1.0);
    if (n < 0)
        connected = false;
    return n;
}
