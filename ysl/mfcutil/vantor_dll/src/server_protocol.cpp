#include <vantor/server_protocol.h>

#include <chrono>

namespace orvane {
namespace protocol {

namespace {

void put16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

void put32(std::string& out, std::uint32_t v)
{
    put16(out, static_cast<std::uint16_t>(v >> 16));
    put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
}

void put64(std::string& out, std::uint64_t v)
{
    put32(out, static_cast<std::uint32_t>(v >> 32));
    put32(out, static_cast<std::uint32_t>(v & 0xFFFFFFFFu));
}

// Takes fixed-size integers from the front of a payload; every take checks what is left, so a
// short payload fails instead of reading past its end.
class cursor {
public:
    explicit cursor(const std::string& s) : p_(reinterpret_cast<const unsigned char*>(s.data())), left_(s.size()) {}

    bool take(std::uint64_t& v, std::size_t bytes)
    {
        if (left_ < bytes)
            return false;
        v = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            v = (v << 8) | p_[i];
        p_ += bytes;
        left_ -= bytes;
        return true;
    }
    template <typename T>
    bool take(T& v)
    {
        std::uint64_t wide;
        if (!take(wide, sizeof(T)))
            return false;
        v = static_cast<T>(wide);
        return true;
    }
    std::string rest() const { return std::string(reinterpret_cast<const char*>(p_), left_); }
    bool empty() const { return left_ == 0; }

private:
    const unsigned char* p_;
    std::size_t left_;
};

std::uint32_t get32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

}  // namespace

void make_frame(std::string& out, type kind, const std::string& payload, std::uint8_t frame_version)
{
    out.clear();
    out.reserve(header_size + payload.size());
    put32(out, static_cast<std::uint32_t>(payload.size()));
    out += static_cast<char>(frame_version);
    out += static_cast<char>(kind);
    put16(out, 0);
    out += payload;
}

std::string make_frame(type kind, const std::string& payload, std::uint8_t frame_version)
{
    std::string out;
    make_frame(out, kind, payload, frame_version);
    return out;
}

std::string make_hello(std::uint16_t lowest, std::uint16_t highest)
{
    std::string p;
    put16(p, lowest);
    put16(p, highest);
    // hello is the one frame whose layout never changes, so it always goes out as version 1.
    return make_frame(type::hello, p, 1);
}

std::string make_hello_reply(std::uint16_t agreed, const std::string& server_version)
{
    std::string p;
    put16(p, agreed);
    p += server_version;
    return make_frame(type::hello_reply, p, 1);
}

std::string make_error(error_code code, const std::string& text)
{
    std::string p;
    put16(p, static_cast<std::uint16_t>(code));
    p += text;
    return make_frame(type::error, p);
}

std::string make_status_reply(const status_info& info)
{
    std::string p;
    put16(p, info.protocol_version);
    put32(p, info.process_id);
    put64(p, info.uptime_ms);
    put32(p, info.connections_now);
    put64(p, info.connections_served);
    p += info.server_version;
    return make_frame(type::status_reply, p);
}

std::string make_user_changed(std::uint64_t changes)
{
    std::string p;
    put64(p, changes);
    return make_frame(type::user_changed, p);
}

bool parse_hello(const std::string& payload, std::uint16_t& lowest, std::uint16_t& highest)
{
    cursor c(payload);
    return c.take(lowest) && c.take(highest) && c.empty() && lowest <= highest;
}

bool parse_hello_reply(const std::string& payload, std::uint16_t& agreed, std::string& server_version)
{
    cursor c(payload);
    if (!c.take(agreed))
        return false;
    server_version = c.rest();
    return true;
}

bool parse_error(const std::string& payload, error_code& code, std::string& text)
{
    cursor c(payload);
    std::uint16_t raw;
    if (!c.take(raw))
        return false;
    code = static_cast<error_code>(raw);
    text = c.rest();
    return true;
}

bool parse_status_reply(const std::string& payload, status_info& info)
{
    cursor c(payload);
    if (!(c.take(info.protocol_version) && c.take(info.process_id) && c.take(info.uptime_ms) &&
          c.take(info.connections_now) && c.take(info.connections_served)))
        return false;
    info.server_version = c.rest();
    return true;
}

bool parse_user_changed(const std::string& payload, std::uint64_t& changes)
{
    cursor c(payload);
    return c.take(changes) && c.empty();
}

std::uint16_t agree_version(std::uint16_t lowest, std::uint16_t highest)
{
    if (lowest > highest || highest < min_version || lowest > version)
        return 0;
    return highest < version ? highest : version;
}

read_result read_frame(const read_function& read, frame& out, double frame_limit)
{
    using clock = std::chrono::steady_clock;
    unsigned char header[header_size];
    int n = read(header, 1, -1.0);
    if (n < 0)
        return read_result::closed;
    while (n == 0) {
        // A read without limit gives 0 only for an interrupted or would-block transfer.
        n = read(header, 1, -1.0);
        if (n < 0)
            return read_result::closed;
    }
    const auto deadline = clock::now() + std::chrono::duration<double>(frame_limit < 0 ? 0.0 : frame_limit);
    auto fill = [&](unsigned char* at, std::size_t length) {
        while (length > 0) {
            double timeout = -1.0;
            if (frame_limit >= 0) {
                timeout = std::chrono::duration<double>(deadline - clock::now()).count();
                if (timeout <= 0)
                    return false;
            }
            const int chunk = length > 0x40000000u ? 0x40000000 : static_cast<int>(length);
            const int got = read(at, chunk, timeout);
            if (got < 0 || got > chunk)
                return false;
            at += got;
            length -= static_cast<std::size_t>(got);
        }
        return true;
    };
    if (!fill(header + 1, header_size - 1))
        return read_result::truncated;
    const std::uint32_t length = get32(header);
    if (length > max_payload)
        return read_result::too_large;
    if (header[6] != 0 || header[7] != 0)
        return read_result::malformed;
    out.version = header[4];
    out.kind = static_cast<type>(header[5]);
    out.payload.assign(length, '\0');
    if (length > 0 && !fill(reinterpret_cast<unsigned char*>(&out.payload[0]), length))
        return read_result::truncated;
    return read_result::ok;
}

}  // namespace protocol
}  // namespace orvane
