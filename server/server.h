// The service of vantor.exe: it listens on 127.0.0.1:4137 only, serves every connection on a
// thread of its own, so that no client waits for another, and stops on a shutdown request
// that carries its token or on the system's close request.
#ifndef VANTOR_SERVER_SERVER_H
#define VANTOR_SERVER_SERVER_H

#include <vantor/server_protocol.h>

#include <ysl/orvane_lockable.h>
#include <ysl/ytcpserverpipe.h>
#include <ysl/ythread_win32.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The server owns its sockets and needs them where the pipes offer no call: the listening one
// for its wait set, a connection's to shut it down from another thread.
class listening_socket : public YTCPServerPipeSocket {
public:
    SOCKET socket() const { return m_socket; }
};

class client_pipe : public YTCPServerPipe {
public:
    SOCKET socket() const { return m_socket; }
};

class vantor_server {
public:
    vantor_server();
    ~vantor_server();
    vantor_server(const vantor_server&) = delete;
    vantor_server& operator=(const vantor_server&) = delete;

    // Serves until asked to stop; the process's exit status: 0 after a clean stop, 1 when the
    // server could not start (the port taken, no socket) or failed while serving.
    int run();
    // From any thread: stop accepting, tell the connected clients, end.
    void request_stop();

private:
    struct client;

    bool start_listening();
    // Serves from a listening socket until asked to stop, then stops the clients; the exit
    // status.
    int serve_connections();
    void accept_pending();
    void rearm_listener();
    void reap_ended_clients(bool all);
    void stop_clients();

    static DWORD client_main(void* argument);
    void serve(client& c);
    // The reply to one request; false when the connection ends after it.
    bool answer(client& c, const orvane::protocol::frame& request);
    bool answer_hello(client& c, const orvane::protocol::frame& request);
    bool refuse(client& c, orvane::protocol::error_code code, const std::string& text, bool close);
    bool send(client& c, const std::string& frame);
    // Ends what the thread of the connection waits for: its requests (SD_RECEIVE), or both
    // directions (SD_BOTH).
    static void shut(client& c, int how);

    static void user_changed(void* self);
    static void close_requested(void* self);

    listening_socket listener_;
    struct YIntSockSel* waits_ = nullptr;
    std::string token_;
    std::atomic<bool> stopping_{false};
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

    orvane::ThreadMutex clients_lock_;
    std::vector<std::shared_ptr<client>> clients_;  // under clients_lock_
    std::atomic<std::uint32_t> connections_now_{0};
    std::atomic<std::uint64_t> connections_served_{0};
    std::atomic<std::uint64_t> user_changes_{0};
};

#endif
