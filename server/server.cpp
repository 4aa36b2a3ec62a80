#include "server.h"

#include "close_request.h"
#include "token.h"

#include <vantor/VantorConnection.h>
#include <vantor/server_client.h>
#include <vantor/vantor.h>

#include <ysl/yintsocksel_win32.h>
#include <ysl/yprocess_win32.h>
#include <ysl/ydiag.h>

#include <cstring>

namespace proto = orvane::protocol;

namespace {

// Once a frame has begun, the rest must follow within this time, so that a stalled client
// cannot hold a connection half-read for ever.
const double frame_limit_s = 10.0;
// A reply or event that cannot be handed to the system within this time means the client
// stopped reading; its connection is closed instead of holding others up.
const double write_limit_s = 5.0;
// Waiting for a request has no limit; a stop shuts the connection's socket down, which ends the
// wait. Where the wait is a select, it is cut into slices of this length, since not every system
// wakes a waiting select for that shutdown: the stop is seen after the slice at the latest.
const double idle_slice_s = 1.0;
// After a protocol error the server still reads what the client sent up to this much (and
// this long), so that closing with unread data does not reset the connection before the
// client has read the error reply.
const std::size_t discard_limit = 2 * proto::max_payload;
const double discard_time_s = 1.0;
// Each connection has a thread of its own; beyond this many the server answers busy.
const std::uint32_t max_connections = 512;
#ifdef _WIN32
// Windows leaves a socket whose receive ran out of its time limit in an undefined state, so a
// connection there waits for its next request with select before each read.
const bool blocking_receive = false;
#else
// Elsewhere a connection waits for its next request in one blocking receive without a time
// limit, which the shutdown of a stop ends at once: no select and no timer per request, and no
// wake-up while a connection is idle.
const bool blocking_receive = true;
#endif

// Makes a served socket blocking, with the write limit as its time limit for sending; false
// (the socket left as it was, or non-blocking again) where that cannot be had.
bool make_blocking(SOCKET s)
{
    const DWORD send_ms = static_cast<DWORD>(write_limit_s * 1000);
    u_long non_blocking = 0;
    if (setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_ms), sizeof send_ms) != 0 ||
        ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
        non_blocking = 1;
        ioctlsocket(s, FIONBIO, &non_blocking);
        return false;
    }
    return true;
}

const char instance_mutex_name[] = "VantorServerInstance";

}  // namespace

struct vantor_server::client {
    vantor_server* owner = nullptr;
    std::unique_ptr<client_pipe> pipe;
    std::uint64_t number = 0;
    YTHREAD_ID thread = YTHREAD_ID_NONE;
    std::uint8_t version = 0;  // agreed by hello; only the client's own thread uses it
    std::atomic<bool> watching{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> closing{false};  // shut down by another thread: the reader ends
    bool blocking = false;             // waits for requests in a blocking receive
    orvane::ThreadMutex write_lock;
    bool write_failed = false;  // under write_lock

    // The request being answered and the reply, kept from one request to the next so that a
    // connection's requests allocate nothing; only the connection's own thread uses them.
    proto::frame request;
    std::string reply;

    // What one Read brought beyond the frame being read.
    char in[64 * 1024];
    int in_pos = 0;
    int in_len = 0;

    int read(void* out, int length, double timeout)
    {
        if (in_pos == in_len) {
            const int n =
                blocking && timeout < 0 ? receive() : pipe->Read(in, sizeof in, timeout < 0 ? idle_slice_s : timeout);
            if (n == 0 && closing.load())
                return -1;
            if (n <= 0)
                return n;
            in_pos = 0;
            in_len = n;
        }
        const int take = length < in_len - in_pos ? length : in_len - in_pos;
        std::memcpy(out, in + in_pos, static_cast<std::size_t>(take));
        in_pos += take;
        return take;
    }

    // One blocking receive: what came, or -1 when the connection ended, failed or was shut
    // down.
    int receive()
    {
        const int n = recv(pipe->socket(), in, sizeof in, 0);
        return n > 0 ? n : -1;
    }
};

vantor_server::vantor_server() = default;

vantor_server::~vantor_server()
{
    YIntSockSel_Destroy(waits_);
}

void vantor_server::request_stop()
{
    if (!stopping_.exchange(true))
        YIntSockSel_Notify(GetCurrentProcessId());
}

void vantor_server::close_requested(void* self)
{
    YTrace("default", 1, "vantor.exe: close request received");
    static_cast<vantor_server*>(self)->request_stop();
}

bool vantor_server::start_listening()
{
    YErrTrace_BeginContext();
    const bool open = listener_.Open(VANTOR_PORT_NAME, VANTOR_PORT, false);
    if (!open)
        YErrTrace_DumpContextToYErrLog("vantor.exe: cannot listen on %s:%d; the port is taken by another program or "
                                       "not available; this server exits",
                                       VANTOR_PORT_NAME, VANTOR_PORT);
    YErrTrace_EndContext();
    if (!open)
        return false;
    waits_ = YIntSockSel_Create();
    const SOCKET s = listener_.socket();
    const int mode = 1;
    if (!waits_ || !YIntSockSel_Add(waits_, &s, &mode, 1)) {
        YErrTrace_DumpContextToYErrLog("vantor.exe: cannot wait for connections; this server exits");
        return false;
    }
    return true;
}

int vantor_server::run()
{
    // First, so that on Linux every later thread inherits the blocked close signals.
    close_request_listener closer;
    if (!closer.start(close_requested, this))
        YErrLog("vantor.exe: the system's close request cannot reach this server; stop it with a shutdown request");

    WSAHandler wsa;
    if (!wsa.init())
        return 1;

    // Two servers must never share the port, also where the system would let a second socket
    // bind it; the mutex is released by the system when its owner ends in any way.
    YMUTEX instance = YMutex_Create(instance_mutex_name);
    if (instance == YMUTEX_INVALID) {
        YErrTrace_DumpContextToYErrLog("vantor.exe: cannot create the mutex %s; this server exits",
                                       instance_mutex_name);
        return 1;
    }
    if (!YMutex_TryLock(instance)) {
        YErrLog("vantor.exe: another vantor.exe serves %s:%d already; this server exits", VANTOR_PORT_NAME,
                VANTOR_PORT);
        YMutex_Destroy(instance);
        return 1;
    }
    const int status = start_listening() ? serve_connections() : 1;
    YMutex_Release(instance);
    YMutex_Destroy(instance);
    closer.stop();
    return status;
}

int vantor_server::serve_connections()
{
    int status = 0;
    std::string token_path;
    if (!make_token(token_) || !orvane::server_token_path(token_path) || !write_private_file(token_path, token_)) {
        YErrTrace_DumpContextToYErrLog("vantor.exe: no token file; shutdown requests will be refused");
        token_.clear();
    }
    vantorRegisterActiveUserChangedCallback(user_changed, this);
    // The starter waits for this before it connects (VantorConnection).
    YIntSockSel_Notify(YProcess_GetParentID());
    YTrace("default", 1, "vantor.exe %s: serving %s:%d", VANTOR_VERSION, VANTOR_PORT_NAME, VANTOR_PORT);

    while (!stopping_.load()) {
        const int r = YIntSockSel_Wait(waits_);
        if (r == -1) {
            YErrTrace_DumpContextToYErrLog("vantor.exe: waiting for connections failed; this server stops");
            status = 1;
            break;
        }
        // Also after a time-out or a wake-up: a client whose readiness the wait did not
        // report is taken then, late but not lost.
        accept_pending();
        rearm_listener();
        reap_ended_clients(false);
    }
    listener_.Close();
    // Once unregistered, no change notification runs any more, so none can reach a
    // client that is being stopped.
    vantorUnregisterActiveUserChangedCallback(user_changed, this);
    stop_clients();
    if (!token_.empty() && !DeleteFileA(token_path.c_str()))
        YErrLog("vantor.exe: cannot remove the token file %s: %lu", token_path.c_str(),
                static_cast<unsigned long>(GetLastError()));
    YTrace("default", 1, "vantor.exe: stopped after %llu connections",
           static_cast<unsigned long long>(connections_served_.load()));
    return status;
}

// After an accepting round the listening socket's events are selected anew: Windows records
// no new FD_ACCEPT until accept() is called again, and Wine at times records none even then,
// so that a client arriving just after a round waited for the wait's time-out. A fresh
// selection looks at the socket as it is, and reports a client that is already waiting.
void vantor_server::rearm_listener()
{
    const SOCKET s = listener_.socket();
    const int mode = 1;
    YIntSockSel_Remove(waits_, &s, 1);
    if (!YIntSockSel_Add(waits_, &s, &mode, 1))
        YErrTrace_DumpContextToYErrLog("vantor.exe: cannot wait for connections any more; clients are taken only "
                                       "every 10 s");
}

void vantor_server::accept_pending()
{
    for (;;) {
        auto c = std::make_shared<client>();
        c->owner = this;
        c->pipe = std::make_unique<client_pipe>();
        // Non-blocking, so that every wait of the connection has a limit: a client that stops
        // reading cannot hold a reply, or an event, for ever.
        if (!c->pipe->Accept(listener_.socket(), false))
            return;
        // An accepted socket inherits the listening socket's event selection on Windows; its
        // traffic would wake the accepting thread for nothing, so the selection ends here.
        WSAEventSelect(c->pipe->socket(), nullptr, 0);
        // An event sent while a reply is still unacknowledged would otherwise wait for the
        // client's delayed acknowledgement. Without the option only speed is lost.
        const int no_delay = 1;
        setsockopt(c->pipe->socket(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
                   sizeof no_delay);
        c->blocking = blocking_receive && make_blocking(c->pipe->socket());
        c->number = ++connections_served_;
        if (connections_now_.load() >= max_connections) {
            // Answered from the accepting thread, so without waiting for what the client sends.
            send(*c,
                 proto::make_error(proto::error_code::server_busy, "the server serves as many connections as it can"));
            YErrLog("vantor.exe: connection %llu refused: %u connections at once",
                    static_cast<unsigned long long>(c->number), static_cast<unsigned>(max_connections));
            continue;
        }
        ++connections_now_;
        {
            orvane::ScopedLock lock(clients_lock_);
            clients_.push_back(c);
        }
        c->thread = YThread_Create(client_main, c.get(), THREAD_PRIORITY_NORMAL);
        if (c->thread == YTHREAD_ID_NONE) {
            YErrTrace_DumpContextToYErrLog("vantor.exe: no thread for connection %llu",
                                           static_cast<unsigned long long>(c->number));
            send(*c,
                 proto::make_error(proto::error_code::server_busy, "the server cannot serve another connection now"));
            c->ended.store(true);
            --connections_now_;
        }
    }
}

void vantor_server::reap_ended_clients(bool all)
{
    std::vector<std::shared_ptr<client>> ended;
    {
        orvane::ScopedLock lock(clients_lock_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || (*it)->ended.load()) {
                ended.push_back(*it);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& c : ended) {
        if (c->thread != YTHREAD_ID_NONE)
            YThread_Join(c->thread);
    }
}

void vantor_server::stop_clients()
{
    std::vector<std::shared_ptr<client>> all;
    {
        orvane::ScopedLock lock(clients_lock_);
        all = clients_;
    }
    const std::string goodbye = proto::make_frame(proto::type::goodbye, "");
    for (const auto& c : all) {
        if (!c->ended.load())
            send(*c, goodbye);
        shut(*c, SD_BOTH);
    }
    reap_ended_clients(true);
}

DWORD vantor_server::client_main(void* argument)
{
    client& c = *static_cast<client*>(argument);
    c.owner->serve(c);
    --c.owner->connections_now_;
    c.ended.store(true);
    // Lets the accepting thread join this one soon instead of at its next connection.
    YIntSockSel_Notify(GetCurrentProcessId());
    return 0;
}

void vantor_server::serve(client& c)
{
    const proto::read_function read = [&c](void* buffer, int length, double timeout) {
        return c.read(buffer, length, timeout);
    };
    for (;;) {
        // Failures of reads that end a connection are the client's business, not the
        // server's; what the server must hear of is logged below.
        YErrTrace_ClearContext();
        const proto::read_result r = proto::read_frame(read, c.request, frame_limit_s);
        if (stopping_.load())
            return;
        switch (r) {
        case proto::read_result::ok:
            if (!answer(c, c.request))
                return;
            // A large frame's storage is not kept for the small ones that usually follow.
            if (c.request.payload.capacity() > sizeof c.in)
                std::string().swap(c.request.payload);
            if (c.reply.capacity() > sizeof c.in)
                std::string().swap(c.reply);
            break;
        case proto::read_result::closed:
            return;
        case proto::read_result::truncated:
            refuse(c, proto::error_code::truncated_frame, "the connection ended or stalled inside a frame", true);
            return;
        case proto::read_result::too_large:
            refuse(c, proto::error_code::frame_too_large, "a frame carries at most 1048576 bytes", true);
            return;
        case proto::read_result::malformed:
            refuse(c, proto::error_code::malformed_frame, "the bytes 6 and 7 of a frame header must be zero", true);
            return;
        }
    }
}

bool vantor_server::answer(client& c, const proto::frame& request)
{
    if (request.kind == proto::type::hello)
        return answer_hello(c, request);
    if (c.version == 0)
        return refuse(c, proto::error_code::hello_required, "the first request must be hello", true);
    if (request.version != c.version)
        return refuse(c, proto::error_code::unsupported_version, "the frame's version is not the one agreed by hello",
                      true);
    switch (request.kind) {
    case proto::type::ping:
        proto::make_frame(c.reply, proto::type::pong, request.payload, c.version);
        return send(c, c.reply);
    case proto::type::status: {
        if (!request.payload.empty())
            return refuse(c, proto::error_code::malformed_frame, "status carries no payload", true);
        proto::status_info info;
        info.protocol_version = c.version;
        info.process_id = GetCurrentProcessId();
        info.uptime_ms = static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count());
        info.connections_now = connections_now_.load();
        info.connections_served = connections_served_.load();
        info.server_version = VANTOR_VERSION;
        return send(c, proto::make_status_reply(info));
    }
    case proto::type::watch: {
        if (!request.payload.empty())
            return refuse(c, proto::error_code::malformed_frame, "watch carries no payload", true);
        // Watching before the reply is out, so that a change right after the reply reaches
        // this client; the lock held across both keeps such an event behind the reply.
        orvane::ScopedLock lock(c.write_lock);
        c.watching.store(true);
        return send(c, proto::make_frame(proto::type::watching, "", c.version));
    }
    case proto::type::shutdown:
        if (token_.empty() || !tokens_equal(request.payload, token_)) {
            YErrLog("vantor.exe: connection %llu: shutdown refused: wrong token",
                    static_cast<unsigned long long>(c.number));
            return refuse(c, proto::error_code::not_permitted, "shutdown needs the token of the server's token file",
                          false);
        }
        YTrace("default", 1, "vantor.exe: shutdown requested by connection %llu",
               static_cast<unsigned long long>(c.number));
        send(c, proto::make_frame(proto::type::shutdown_reply, "", c.version));
        request_stop();
        return false;
    default: {
        char text[64];
        std::snprintf(text, sizeof text, "unknown request type 0x%02x", static_cast<unsigned>(request.kind));
        return refuse(c, proto::error_code::unknown_type, text, false);
    }
    }
}

bool vantor_server::answer_hello(client& c, const proto::frame& request)
{
    std::uint16_t lowest = 0, highest = 0;
    if (request.version != 1)
        return refuse(c, proto::error_code::unsupported_version, "hello is a frame of version 1", true);
    if (!proto::parse_hello(request.payload, lowest, highest))
        return refuse(c, proto::error_code::malformed_frame, "hello carries the lowest and highest version", true);
    const std::uint16_t agreed = proto::agree_version(lowest, highest);
    if (agreed == 0)
        return refuse(c, proto::error_code::unsupported_version, "this server speaks protocol version 1 only", true);
    c.version = static_cast<std::uint8_t>(agreed);
    return send(c, proto::make_hello_reply(agreed, VANTOR_VERSION));
}

bool vantor_server::refuse(client& c, proto::error_code code, const std::string& text, bool close)
{
    if (close)
        YErrLog("vantor.exe: connection %llu: %s; connection closed", static_cast<unsigned long long>(c.number),
                text.c_str());
    const bool sent = send(c, proto::make_error(code, text));
    if (!close)
        return sent;
    // Closing with unread input would reset the connection, and the client might lose the
    // error reply; so what it still sends is read and dropped first, within limits.
    shut(c, SD_SEND);
    std::size_t discarded = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(discard_time_s);
    while (discarded < discard_limit) {
        const double left = std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        const int n = c.pipe->Read(c.in, sizeof c.in, left);
        if (n < 0)
            break;
        discarded += static_cast<std::size_t>(n);
    }
    c.in_pos = c.in_len = 0;
    return false;
}

bool vantor_server::send(client& c, const std::string& frame)
{
    orvane::ScopedLock lock(c.write_lock);
    if (c.write_failed)
        return false;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(write_limit_s);
    const char* at = frame.data();
    std::size_t left = frame.size();
    bool first = true;
    while (left > 0) {
        const double limit = std::chrono::duration<double>(until - std::chrono::steady_clock::now()).count();
        // The first attempt goes straight to the socket (non-blocking, or blocking within the
        // write limit, so it cannot hang): a reply almost always fits at once, and a wait for
        // room is needed only when it did not.
        const int n = first ? c.pipe->Write(at, left, -1.0) : limit > 0 ? c.pipe->Write(at, left, limit) : 0;
        const bool timed_out = n < 0 && WSAGetLastError() == WSAETIMEDOUT;
        first = false;
        if (n < 0 || (n == 0 && limit <= 0)) {
            if (n == 0 || timed_out)
                YErrLog("vantor.exe: connection %llu: the client reads nothing; connection closed",
                        static_cast<unsigned long long>(c.number));
            c.write_failed = true;
            shut(c, SD_BOTH);
            return false;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

void vantor_server::shut(client& c, int how)
{
    if (how == SD_BOTH)
        c.closing.store(true);
    // A connection the client has closed already cannot be shut; there is nothing to wake then.
    shutdown(c.pipe->socket(), how);
}

void vantor_server::user_changed(void* self_)
{
    auto* self = static_cast<vantor_server*>(self_);
    const std::uint64_t changes = ++self->user_changes_;
    std::vector<std::shared_ptr<client>> watchers;
    {
        orvane::ScopedLock lock(self->clients_lock_);
        for (const auto& c : self->clients_)
            if (c->watching.load() && !c->ended.load())
                watchers.push_back(c);
    }
    const std::string event = proto::make_user_changed(changes);
    for (const auto& c : watchers)
        self->send(*c, event);
}
