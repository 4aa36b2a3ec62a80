// A client connection to the suite's local server vantor.exe on 127.0.0.1:4137. Constructing
// it connects, and starts the server from the configured server location when none runs; the
// start is serialised across processes by the named mutex "VantorMutex", so two clients never
// start two servers. Reads and writes wait without limit. One thread at a time uses an object.
//
// The class is not exported by the module: programs link the CMake package's target
// vantor::connection, which brings it with the protocol helpers of vantor/server_client.h.
#ifndef VANTOR_VANTORCONNECTION_H
#define VANTOR_VANTORCONNECTION_H

#include <vantor/WSAHandler.h>

#include <ysl/yintsocksel_win32.h>
#include <ysl/ymutex.h>
#include <ysl/ytcpclientpipe.h>

#include <string>

#define VANTOR_PORT_NAME "127.0.0.1"
#define VANTOR_PORT 4137

class VantorConnection {
public:
    // Never fails outright: each part that did not work is reported, and ensureConnected()
    // tries the connection again later.
    VantorConnection();
    ~VantorConnection();
    VantorConnection(const VantorConnection&) = delete;
    VantorConnection& operator=(const VantorConnection&) = delete;

    bool establishConnection();
    void disconnect();
    bool ensureConnected();
    // The pipe's Read and Write without time limit; a negative result marks the connection
    // lost (the pipe stays open until disconnect(); ensureConnected() sets it up again).
    int read(void* buffer, int length);
    int write(const void* buffer, int length);

private:
    bool start_server(const std::string& command);
    bool poll_for_server();

    YTCPClientPipe pipe;
    bool connected = false;
    YMUTEX hMutex = YMUTEX_INVALID;
    YIntSockSel* intss_fd_set = nullptr;
    WSAHandler wsaHandler;
    bool winsock_initialized = false;
};

#endif
