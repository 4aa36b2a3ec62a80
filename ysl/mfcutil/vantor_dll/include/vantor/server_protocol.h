// The wire protocol of the suite's server vantor.exe: versioned, length-prefixed binary
// frames over the loopback TCP connection. The README describes it for other implementations.
//
// Every frame is an 8-byte header followed by its payload:
//   bytes 0-3  payload length, unsigned, big-endian, at most max_payload
//   byte  4    protocol version of the frame (the one agreed by hello; hello itself uses 1)
//   byte  5    message type
//   bytes 6-7  zero
// Integers inside payloads are big-endian too; texts are UTF-8 without a terminating zero.
//
// Nothing here does I/O of its own: frames are built into strings, and read_frame reads one
// through whatever read function its caller gives it, so that the server, the clients and the
// tests share one reader and one set of length checks.
#ifndef VANTOR_SERVER_PROTOCOL_H
#define VANTOR_SERVER_PROTOCOL_H

#include <cstdint>
#include <functional>
#include <string>

namespace orvane {
namespace protocol {

constexpr std::uint8_t version = 1;
constexpr std::uint8_t min_version = 1;
constexpr std::size_t header_size = 8;
constexpr std::uint32_t max_payload = 1u << 20;

enum class type : std::uint8_t {
    // requests
    hello = 0x01,     // u16 lowest, u16 highest version the client speaks
    ping = 0x02,      // any bytes, echoed by pong
    status = 0x03,    // empty
    watch = 0x04,     // empty
    shutdown = 0x05,  // the token of the server's token file
    // replies and events
    hello_reply = 0x81,     // u16 agreed version, then the server's version text
    pong = 0x82,            // the ping's payload
    status_reply = 0x83,    // see status_info
    watching = 0x84,        // empty; user_changed events follow until the connection ends
    user_changed = 0x85,    // u64 number of changes since the server started
    shutdown_reply = 0x86,  // empty; the server stops
    goodbye = 0x87,         // empty; the server stops and closes the connection
    error = 0xFF,           // u16 error code, then a text for people
};

enum class error_code : std::uint16_t {
    malformed_frame = 1,      // header or payload not as the type demands; connection closed
    frame_too_large = 2,      // payload longer than max_payload; connection closed
    truncated_frame = 3,      // the connection ended or stalled inside a frame; connection closed
    unsupported_version = 4,  // no common version, or a frame of another version; connection closed
    unknown_type = 5,         // a request type this server does not know; connection stays
    hello_required = 6,       // a request before hello; connection closed
    not_permitted = 7,        // shutdown without the right token; connection stays
    server_busy = 8,          // too many connections; connection closed
};

struct status_info {
    std::uint16_t protocol_version = 0;
    std::uint32_t process_id = 0;
    std::uint64_t uptime_ms = 0;
    std::uint32_t connections_now = 0;
    std::uint64_t connections_served = 0;
    std::string server_version;
};

struct frame {
    std::uint8_t version = 0;
    type kind = type::error;
    std::string payload;
};

// A whole frame of the given type and payload; the caller keeps payloads within max_payload.
std::string make_frame(type kind, const std::string& payload, std::uint8_t frame_version = version);
// The same into out, whose storage is kept: a caller that sends frames one after another
// allocates nothing once out has grown to their size.
void make_frame(std::string& out, type kind, const std::string& payload, std::uint8_t frame_version = version);

std::string make_hello(std::uint16_t lowest, std::uint16_t highest);
std::string make_error(error_code code, const std::string& text);
std::string make_status_reply(const status_info& info);
std::string make_hello_reply(std::uint16_t agreed, const std::string& server_version);
std::string make_user_changed(std::uint64_t changes);

// Payload decoders: false when the payload is not of the type's form.
bool parse_hello(const std::string& payload, std::uint16_t& lowest, std::uint16_t& highest);
bool parse_hello_reply(const std::string& payload, std::uint16_t& agreed, std::string& server_version);
bool parse_error(const std::string& payload, error_code& code, std::string& text);
bool parse_status_reply(const std::string& payload, status_info& info);
bool parse_user_changed(const std::string& payload, std::uint64_t& changes);

// The version both sides speak: the highest that lies in both ranges, or 0 for none.
std::uint16_t agree_version(std::uint16_t lowest, std::uint16_t highest);

// Reads up to length bytes into buffer, waiting at most timeout seconds (negative: without
// limit). Gives the number of bytes read, 0 when none came within the limit, or -1 when the
// connection failed or ended, as the pipes' Read does.
using read_function = std::function<int(void* buffer, int length, double timeout)>;

enum class read_result {
    ok,         // a frame was read
    closed,     // the connection ended or failed before the frame's first byte
    truncated,  // it ended or failed inside the frame, or the rest of the frame did not come in time
    too_large,  // the header announced more than max_payload bytes; the payload was not read
    malformed,  // the header's reserved bytes were not zero
};

// Reads one frame. The first byte may take as long as it takes; once it came, the rest of the
// frame must follow within frame_limit seconds (negative: without limit). The version byte is
// not judged here: what the reader accepts depends on what hello agreed.
read_result read_frame(const read_function& read, frame& out, double frame_limit);

}  // namespace protocol
}  // namespace orvane

#endif
