#include <vantor/server_client.h>

#include <winport/winport.h>
#include <ysl/fastfile.h>
#include <ysl/ydiag.h>

#include <algorithm>
#include <cstring>

namespace orvane {

namespace {

const char* describe(protocol::read_result r)
{
    switch (r) {
    case protocol::read_result::closed:
        return "the connection ended";
    case protocol::read_result::truncated:
        return "the connection ended inside a frame";
    case protocol::read_result::too_large:
        return "the server announced a frame beyond the size limit";
    case protocol::read_result::malformed:
        return "the server sent a malformed frame header";
    default:
        return "read";
    }
}

}  // namespace

bool ServerSession::send(const std::string& frame, const char* what)
{
    const char* at = frame.data();
    std::size_t left = frame.size();
    while (left > 0) {
        const int n = connection_.write(at, left > 0x40000000u ? 0x40000000 : static_cast<int>(left));
        if (n < 0) {
            YErrTrace("ServerSession::%s(): write() failed", what);
            return false;
        }
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

int ServerSession::read_buffered(void* out, int length)
{
    if (in_pos_ == in_len_) {
        if (in_.empty())
            in_.resize(64 * 1024);
        const int n = connection_.read(in_.data(), static_cast<int>(in_.size()));
        in_len_ = n > 0 ? static_cast<std::size_t>(n) : 0;
        in_pos_ = 0;
        if (n <= 0)
            return n;
    }
    const std::size_t take = std::min(static_cast<std::size_t>(length), in_len_ - in_pos_);
    std::memcpy(out, in_.data() + in_pos_, take);
    in_pos_ += take;
    return static_cast<int>(take);
}

bool ServerSession::receive(protocol::type expected, protocol::frame& reply, const char* what)
{
    const protocol::read_result r = protocol::read_frame(
        [this](void* buffer, int length, double) { return read_buffered(buffer, length); }, reply, -1.0);
    if (r != protocol::read_result::ok) {
        YErrTrace("ServerSession::%s(): %s", what, describe(r));
        return false;
    }
    if (reply.kind == protocol::type::error) {
        protocol::error_code code;
        std::string text;
        if (protocol::parse_error(reply.payload, code, text))
            YErrTrace("ServerSession::%s(): the server refused: %s (error %u)", what, text.c_str(),
                      static_cast<unsigned>(code));
        else
            YErrTrace("ServerSession::%s(): the server sent a malformed error reply", what);
        return false;
    }
    if (reply.kind == protocol::type::goodbye) {
        YErrTrace("ServerSession::%s(): the server is stopping", what);
        return false;
    }
    if (reply.kind != expected) {
        YErrTrace("ServerSession::%s(): unexpected reply of type 0x%02x", what, static_cast<unsigned>(reply.kind));
        return false;
    }
    return true;
}

bool ServerSession::hello()
{
    protocol::frame reply;
    if (!send(protocol::make_hello(protocol::min_version, protocol::version), "hello") ||
        !receive(protocol::type::hello_reply, reply, "hello"))
        return false;
    std::uint16_t agreed;
    if (!protocol::parse_hello_reply(reply.payload, agreed, server_version_) || agreed < protocol::min_version ||
        agreed > protocol::version) {
        YErrTrace("ServerSession::hello(): the server agreed on no version this client speaks");
        return false;
    }
    version_ = static_cast<std::uint8_t>(agreed);
    return true;
}

bool ServerSession::ping(const std::string& payload, std::string& echoed)
{
    if (payload.size() > protocol::max_payload) {
        YErrTrace("ServerSession::ping(): %Iu bytes exceed the frame limit of %u", payload.size(),
                  static_cast<unsigned>(protocol::max_payload));
        return false;
    }
    protocol::frame reply;
    if (!send(protocol::make_frame(protocol::type::ping, payload, version_), "ping") ||
        !receive(protocol::type::pong, reply, "ping"))
        return false;
    echoed.swap(reply.payload);
    return true;
}

bool ServerSession::status(protocol::status_info& info)
{
    protocol::frame reply;
    if (!send(protocol::make_frame(protocol::type::status, "", version_), "status") ||
        !receive(protocol::type::status_reply, reply, "status"))
        return false;
    if (!protocol::parse_status_reply(reply.payload, info)) {
        YErrTrace("ServerSession::status(): malformed status reply");
        return false;
    }
    return true;
}

bool ServerSession::watch()
{
    protocol::frame reply;
    return send(protocol::make_frame(protocol::type::watch, "", version_), "watch") &&
           receive(protocol::type::watching, reply, "watch");
}

bool ServerSession::next_event(std::uint64_t& changes)
{
    protocol::frame event;
    if (!receive(protocol::type::user_changed, event, "next_event"))
        return false;
    if (!protocol::parse_user_changed(event.payload, changes)) {
        YErrTrace("ServerSession::next_event(): malformed event");
        return false;
    }
    return true;
}

bool ServerSession::shutdown(const std::string& token)
{
    protocol::frame reply;
    if (!send(protocol::make_frame(protocol::type::shutdown, token, version_), "shutdown") ||
        !receive(protocol::type::shutdown_reply, reply, "shutdown"))
        return false;
    // The server closes every connection once it accepts no new ones; when this one ends, the
    // port is free. What comes before (a goodbye) is of no interest any more.
    char rest[256];
    while (connection_.read(rest, sizeof rest) >= 0) {
    }
    YErrTrace_ClearContext();
    return true;
}

bool server_token_path(std::string& path)
{
    char folder[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) {
        YErrTrace("server_token_path(): SHGetSpecialFolderPathA() failed: %lu",
                  static_cast<unsigned long>(GetLastError()));
        return false;
    }
    path = std::string(folder) + "\\Orvane\\Dravin\\vantor.token";
    return true;
}

bool read_server_token(std::string& token)
{
    std::string path;
    if (!server_token_path(path))
        return false;
    if (YFastFile_ReadAtOnce(path.c_str(), token) < 0) {
        YErrTrace("read_server_token(): cannot read %s; is the server running, and under this user?", path.c_str());
        return false;
    }
    return true;
}

}  // namespace orvane
