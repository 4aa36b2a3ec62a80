// The requests of the server's protocol over a VantorConnection, for the suite's programs.
// Every failure is recorded in the error trace with what went wrong and gives false.
#ifndef VANTOR_SERVER_CLIENT_H
#define VANTOR_SERVER_CLIENT_H

#include <vantor/VantorConnection.h>
#include <vantor/server_protocol.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

class ServerSession {
public:
    explicit ServerSession(VantorConnection& connection) : connection_(connection) {}

    // Agrees on a protocol version; the other requests need it first.
    bool hello();
    bool ping(const std::string& payload, std::string& echoed);
    bool status(protocol::status_info& info);
    // After it, next_event() gives the number of active-user changes each time one happens.
    bool watch();
    // Waits without limit for the next change; false when the connection or the server ends.
    bool next_event(std::uint64_t& changes);
    // Stops the server and returns once it no longer accepts connections; token is the content
    // of the server's token file (read_server_token).
    bool shutdown(const std::string& token);

    const std::string& server_version() const { return server_version_; }

private:
    bool send(const std::string& frame, const char* what);
    // The reply of the request what, which must be of type expected.
    bool receive(protocol::type expected, protocol::frame& reply, const char* what);

    // Up to length bytes: from what one read of the connection brought beyond the last frame,
    // else from a new read, so that a frame costs one read, not one per field.
    int read_buffered(void* out, int length);

    VantorConnection& connection_;
    // Sized once at the first read: growing it before every read would clear 64 KiB per reply.
    std::vector<char> in_;
    std::size_t in_pos_ = 0;
    std::size_t in_len_ = 0;
    std::uint8_t version_ = 0;
    std::string server_version_;
};

// Where the running server keeps its token: "vantor.token" beside the bootstrap file, in the
// folder Orvane\Dravin of the common application-data folder. Only the server's user can read it.
bool server_token_path(std::string& path);
bool read_server_token(std::string& token);

}  // namespace orvane

#endif
