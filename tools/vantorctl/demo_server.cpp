// vantorctl demo, the server part: a client that finds no server starts it on demand, pings
// it, hears of an active-user change through it, and stops it cleanly.
#include "commands.h"

#include <vantor/VantorConnection.h>
#include <vantor/server_client.h>
#include <vantor/vantor.h>

#include <ysl/ydiag.h>
#include <ysl/yprocess_win32.h>

#include <chrono>
#include <cstdio>

namespace {

// Three timed round trips of 64 bytes.
bool ping_three_times(orvane::ServerSession& session)
{
    const std::string payload(64, 'p');
    for (int i = 1; i <= 3; ++i) {
        std::string echoed;
        const auto sent = std::chrono::steady_clock::now();
        if (!session.ping(payload, echoed) || echoed != payload) {
            YErrTrace_DumpContextToYErrLog("vantorctl demo: ping failed");
            return false;
        }
        std::printf("server: ping %d, 64 bytes, %.1f us\n", i,
                    std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - sent).count());
    }
    return true;
}

bool hear_user_change(orvane::ServerSession& session)
{
    std::uint64_t changes = 0;
    if (!session.watch()) {
        YErrTrace_DumpContextToYErrLog("vantorctl demo: watch failed");
        return false;
    }
    vantorSignalActiveUserChanged();
    if (!session.next_event(changes)) {
        YErrTrace_DumpContextToYErrLog("vantorctl demo: no active-user change came through the server");
        return false;
    }
    std::printf("server: the active-user change signalled here came back through the server (change %llu)\n",
                static_cast<unsigned long long>(changes));
    return true;
}

// A shutdown request with the server's token; the demo's status: 0 when the server, whose
// `process` handle (or null) was taken while it ran, then ended with status 0.
int stop_server(orvane::ServerSession& session, HANDLE process)
{
    std::string token;
    if (!orvane::read_server_token(token) || !session.shutdown(token)) {
        YErrTrace_DumpContextToYErrLog("vantorctl demo: the server did not accept the shutdown request");
        return 1;
    }
    DWORD code = 1;
    const bool ended = process && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    if (ended && GetExitCodeProcess(process, &code))
        std::printf("server: stopped cleanly on the shutdown request with its token (exit status %lu)\n",
                    static_cast<unsigned long>(code));
    else
        std::printf("server: stopped on the shutdown request with its token\n");
    YErrTrace_ClearContext();
    return ended && code == 0 ? 0 : 1;
}

}  // namespace

int demo_server()
{
    const bool running = YProcess_GetIDByName("vantor.exe") != YPROCESS_ID_NONE;
    std::printf("server: %s\n", running ? "vantor.exe runs already; connecting to it"
                                        : "no vantor.exe runs; the connection starts it from the server location");
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    VantorConnection connection;
    orvane::ServerSession session(connection);
    orvane::protocol::status_info info;
    if (!session.hello() || !session.status(info)) {
        YErrTrace_DumpContextToYErrLog("vantorctl demo: no server connection");
        return 1;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("server: connected in %.1f ms to vantor.exe %s (process %lu, protocol %u)\n", ms,
                info.server_version.c_str(), static_cast<unsigned long>(info.process_id),
                static_cast<unsigned>(info.protocol_version));
    // A handle from now on keeps the server's exit status readable after its end.
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, info.process_id);
    const int status = ping_three_times(session) && hear_user_change(session) ? stop_server(session, process) : 1;
    if (process)
        CloseHandle(process);
    return status;
}
