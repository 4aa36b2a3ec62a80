// The server's wire format: the header's layout, the payload codecs' length checks, version
// agreement, and the frame reader against every way a peer can cut or stretch a frame.
#include <vantor/server_protocol.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

namespace proto = orvane::protocol;

// A peer that delivers its bytes in the given pieces, then ends the connection (or, when
// stalls is set, delivers nothing more and lets every timed read run out).
struct scripted_peer {
    std::vector<std::string> pieces;
    bool stalls = false;
    std::size_t next = 0, offset = 0;
    std::size_t bytes_read = 0;

    int operator()(void* buffer, int length, double timeout)
    {
        if (next == pieces.size()) {
            if (!stalls || timeout < 0)
                return -1;
            std::this_thread::sleep_for(std::chrono::duration<double>(timeout));
            return 0;
        }
        const std::string& piece = pieces[next];
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), piece.size() - offset);
        std::memcpy(buffer, piece.data() + offset, n);
        offset += n;
        bytes_read += n;
        if (offset == piece.size()) {
            ++next;
            offset = 0;
        }
        return static_cast<int>(n);
    }
};

proto::read_result read_from(scripted_peer& peer, proto::frame& out, double limit = -1.0)
{
    return proto::read_frame(std::ref(peer), out, limit);
}

std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += static_cast<char>(b);
    return s;
}

TEST(ServerProtocol, Frame_HeaderLayoutIsBigEndianLengthVersionTypeZero)
{
    const std::string f = proto::make_frame(proto::type::ping, std::string(0x0102, 'x'));
    ASSERT_EQ(f.size(), proto::header_size + 0x0102);
    EXPECT_EQ(f.substr(0, 8), bytes({0, 0, 1, 2, 1, 0x02, 0, 0}));
    EXPECT_EQ(proto::make_hello(1, 3), bytes({0, 0, 0, 4, 1, 0x01, 0, 0, 0, 1, 0, 3}));
}

TEST(ServerProtocol, Payloads_RoundTrip)
{
    const proto::status_info in{1, 0xFEDCBA98u, 0x0123456789ABCDEFull, 256, 1ull << 40, "1.0.1.0"};
    proto::frame f;
    scripted_peer peer{{proto::make_status_reply(in)}};
    ASSERT_EQ(read_from(peer, f), proto::read_result::ok);
    EXPECT_EQ(f.kind, proto::type::status_reply);
    proto::status_info out;
    ASSERT_TRUE(proto::parse_status_reply(f.payload, out));
    auto fields = [](const proto::status_info& i) {
        return std::tie(i.protocol_version, i.process_id, i.uptime_ms, i.connections_now, i.connections_served,
                        i.server_version);
    };
    EXPECT_EQ(fields(out), fields(in));

    proto::error_code code;
    std::string text;
    const std::string error = proto::make_error(proto::error_code::not_permitted, "no");
    ASSERT_TRUE(proto::parse_error(error.substr(proto::header_size), code, text));
    EXPECT_EQ(code, proto::error_code::not_permitted);
    EXPECT_EQ(text, "no");

    std::uint64_t changes = 0;
    ASSERT_TRUE(proto::parse_user_changed(proto::make_user_changed(1ull << 33).substr(proto::header_size), changes));
    EXPECT_EQ(changes, 1ull << 33);
}

TEST(ServerProtocol, Payloads_WrongLengthsAreRefused)
{
    std::uint16_t a, b;
    std::uint64_t changes;
    proto::status_info info;
    proto::error_code code;
    std::string text;
    for (const std::string& p : {bytes({}), bytes({0, 1, 0}), bytes({0, 1, 0, 1, 0})})
        EXPECT_FALSE(proto::parse_hello(p, a, b)) << p.size();
    EXPECT_FALSE(proto::parse_hello(bytes({0, 2, 0, 1}), a, b)) << "lowest above highest";
    EXPECT_FALSE(proto::parse_user_changed(std::string(7, '\0'), changes));
    EXPECT_FALSE(proto::parse_user_changed(std::string(9, '\0'), changes));
    EXPECT_FALSE(proto::parse_status_reply(std::string(2 + 4 + 8 + 4 + 7, '\0'), info));
    EXPECT_FALSE(proto::parse_error(bytes({0}), code, text));
}

TEST(ServerProtocol, AgreeVersion)
{
    struct row {
        std::uint16_t lowest, highest, agreed;
    } rows[] = {{1, 1, 1}, {1, 9, 1}, {0, 1, 1}, {2, 9, 0}, {0, 0, 0}, {3, 1, 0}};
    for (const row& r : rows)
        EXPECT_EQ(proto::agree_version(r.lowest, r.highest), r.agreed) << r.lowest << ".." << r.highest;
}

TEST(ServerProtocol, ReadFrame_AssemblesFramesFromAnyPieces)
{
    const std::string a = proto::make_frame(proto::type::ping, "abc");
    const std::string b = proto::make_frame(proto::type::status, "");
    std::vector<std::string> one_byte_each;
    for (char ch : a + b)
        one_byte_each.push_back(std::string(1, ch));
    for (const auto& pieces : {std::vector<std::string>{a + b}, one_byte_each}) {
        scripted_peer peer{pieces};
        proto::frame f;
        ASSERT_EQ(read_from(peer, f), proto::read_result::ok);
        EXPECT_EQ(f.kind, proto::type::ping);
        EXPECT_EQ(f.payload, "abc");
        ASSERT_EQ(read_from(peer, f), proto::read_result::ok);
        EXPECT_EQ(f.kind, proto::type::status);
        EXPECT_EQ(f.payload, "");
        EXPECT_EQ(read_from(peer, f), proto::read_result::closed);
    }
}

TEST(ServerProtocol, ReadFrame_CutAndBadFrames)
{
    const std::string ping = proto::make_frame(proto::type::ping, "payload");
    std::string reserved = ping;
    reserved[7] = 1;
    std::string at_limit = proto::make_frame(proto::type::ping, std::string(proto::max_payload, 'p'));
    struct row {
        const char* name;
        std::string bytes;
        proto::read_result expected;
    } rows[] = {
        {"nothing", "", proto::read_result::closed},
        {"inside the header", ping.substr(0, 5), proto::read_result::truncated},
        {"inside the payload", ping.substr(0, ping.size() - 1), proto::read_result::truncated},
        {"reserved bytes set", reserved, proto::read_result::malformed},
        {"at the size limit", at_limit, proto::read_result::ok},
        {"one byte beyond the limit", bytes({0, 0x10, 0, 1, 1, 2, 0, 0}), proto::read_result::too_large},
        {"announces 4 GiB", bytes({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 0, 0}), proto::read_result::too_large},
    };
    for (const row& r : rows) {
        scripted_peer peer{{r.bytes}};
        proto::frame f;
        EXPECT_EQ(read_from(peer, f), r.expected) << r.name;
        if (r.expected == proto::read_result::too_large) {
            EXPECT_EQ(peer.bytes_read, proto::header_size) << r.name << ": the payload must not be read";
        }
    }
}

TEST(ServerProtocol, ReadFrame_StallInsideFrameEndsAtTheLimitButIdleWaitsWithout)
{
    scripted_peer stalled{{proto::make_frame(proto::type::ping, "abcdef").substr(0, 10)}, true};
    proto::frame f;
    EXPECT_EQ(read_from(stalled, f, 0.05), proto::read_result::truncated);

    // Before a frame's first byte there is no limit: the reader asks without one.
    scripted_peer idle{{}, true};
    EXPECT_EQ(read_from(idle, f, 0.05), proto::read_result::closed);
}

}  // namespace
