// A client of the server: connection_client GO
// Prints "ready", waits for the named manual-reset event GO, constructs a VantorConnection
// (which starts the server when none runs) and prints "pid N" with the server's process id
// from its status, or "failed".
#include <vantor/VantorConnection.h>
#include <vantor/server_client.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, argv[1]);
    std::printf("ready\n");
    std::fflush(stdout);
    WaitForSingleObject(go, 60000);
    VantorConnection connection;
    orvane::ServerSession session(connection);
    orvane::protocol::status_info info;
    if (session.hello() && session.status(info))
        std::printf("pid %lu\n", static_cast<unsigned long>(info.process_id));
    else
        std::printf("failed\n");
    return 0;
}
