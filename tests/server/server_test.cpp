// vantor.exe: many clients at once, bad frames that close only their own connection, the
// token-checked shutdown, the close request, watch, and a second server that finds the port
// served. Every case holds the server port and stops the server it started.
#include "server_test_support.h"

#include <vantor/server_client.h>
#include <vantor/vantor.h>

#include <test_support.h>
#include <ysl/yprocess_win32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace server_test;
namespace proto = orvane::protocol;

namespace {

class VantorServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(port_listens()) << "a server runs already";
        ASSERT_TRUE(server.start());
    }
    void TearDown() override
    {
        if (server.wait(0) == process::still_running) {
            EXPECT_EQ(server.stop(), 0);
        }
        EXPECT_FALSE(port_listens()) << "the case left a listener behind";
    }
    server_process server;
};

TEST_F(VantorServer, ManyClientsAtOnce_EveryPingIsAnswered)
{
    const int clients = 256;
    std::vector<std::unique_ptr<raw_client>> connections;
    for (int i = 0; i < clients; ++i) {
        connections.push_back(std::make_unique<raw_client>());
        ASSERT_TRUE(connections.back()->open()) << i;
        ASSERT_TRUE(connections.back()->hello()) << i;
    }
    // All connected and greeted, they ping together; each payload is its own, so that a reply
    // sent on the wrong connection shows.
    std::atomic<int> answered{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            const std::string payload = "client " + std::to_string(i) + std::string(i, '.');
            proto::frame reply;
            raw_client& c = *connections[static_cast<std::size_t>(i)];
            for (int round = 0; round < 4; ++round)
                if (!c.send(proto::make_frame(proto::type::ping, payload)) ||
                    c.receive(reply) != proto::read_result::ok || reply.kind != proto::type::pong ||
                    reply.payload != payload)
                    return;
            ++answered;
        });
    go = true;
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(answered.load(), clients);

    raw_client probe;
    proto::frame reply;
    ASSERT_TRUE(probe.open() && probe.hello());
    ASSERT_TRUE(probe.request(proto::make_frame(proto::type::status, ""), proto::type::status_reply, &reply));
    proto::status_info info;
    ASSERT_TRUE(proto::parse_status_reply(reply.payload, info));
    EXPECT_EQ(info.connections_now, static_cast<std::uint32_t>(clients + 1));
    EXPECT_EQ(info.process_id, server.pid());
}

// A connection keeps its request and reply storage from one request to the next: a reply must
// never carry bytes of an earlier, longer one.
TEST_F(VantorServer, PingsOfChangingSizes_EachEchoesExactlyItsOwnPayload)
{
    raw_client c;
    ASSERT_TRUE(c.open() && c.hello());
    for (const std::size_t size :
         {std::size_t(proto::max_payload), std::size_t(3), std::size_t(70000), std::size_t(0), std::size_t(65)}) {
        const std::string payload(size, static_cast<char>('a' + size % 26));
        proto::frame reply;
        ASSERT_TRUE(c.request(proto::make_frame(proto::type::ping, payload), proto::type::pong, &reply)) << size;
        EXPECT_TRUE(reply.payload == payload) << size << " bytes sent, " << reply.payload.size() << " came back";
    }
}

TEST_F(VantorServer, BadFrames_GetAnErrorAndCloseOnlyTheirOwnConnection)
{
    raw_client bystander;
    ASSERT_TRUE(bystander.open() && bystander.hello());
    const std::string hello = proto::make_hello(1, 1);
    std::string reserved = proto::make_frame(proto::type::ping, "x");
    reserved[6] = 1;
    std::string oversized = proto::make_frame(proto::type::ping, "");
    oversized[1] = 0x10;  // 1 MiB + 1 announced
    oversized[3] = 0x01;
    struct row {
        const char* name;
        std::string bytes;
        bool then_end;  // the client ends its sending after the bytes
        proto::error_code expected;
    } rows[] = {
        {"truncated header", hello + proto::make_frame(proto::type::ping, "abc").substr(0, 5), true,
         proto::error_code::truncated_frame},
        {"truncated payload", hello + proto::make_frame(proto::type::ping, "abc").substr(0, 10), true,
         proto::error_code::truncated_frame},
        {"reserved bytes", hello + reserved, false, proto::error_code::malformed_frame},
        {"status with payload", hello + proto::make_frame(proto::type::status, "x"), false,
         proto::error_code::malformed_frame},
        {"short hello", proto::make_frame(proto::type::hello, "ab", 1), false, proto::error_code::malformed_frame},
        {"oversized", hello + oversized + std::string(64 * 1024, 'o'), false, proto::error_code::frame_too_large},
        {"no hello", proto::make_frame(proto::type::ping, "x"), false, proto::error_code::hello_required},
        {"no common version", proto::make_hello(7, 9), false, proto::error_code::unsupported_version},
        {"other version", hello + proto::make_frame(proto::type::ping, "x", 2), false,
         proto::error_code::unsupported_version},
    };
    for (const row& r : rows) {
        raw_client c;
        ASSERT_TRUE(c.open()) << r.name;
        ASSERT_TRUE(c.send(r.bytes)) << r.name;
        if (r.then_end)
            shutdown(c.socket(), SD_SEND);
        proto::frame f;
        if (r.bytes.rfind(hello, 0) == 0) {
            ASSERT_EQ(c.receive(f), proto::read_result::ok) << r.name << ": the hello reply";
        }
        c.expect_error_and_close(r.expected, r.name);
        EXPECT_TRUE(bystander.alive()) << r.name;
    }
}

// The server reads a frame begun within its frame limit (10 s) and then gives up on it; the
// other connections are served meanwhile.
TEST_F(VantorServer, StallInsideAFrame_EndsThatConnectionAfterTheFrameLimit)
{
    raw_client stalled, bystander;
    ASSERT_TRUE(stalled.open() && stalled.hello());
    ASSERT_TRUE(stalled.send(proto::make_frame(proto::type::ping, "abc").substr(0, 10)));
    ASSERT_TRUE(bystander.open() && bystander.hello() && bystander.alive());
    stalled.expect_error_and_close(proto::error_code::truncated_frame, "stalled", 30.0);
    EXPECT_TRUE(bystander.alive());
}

// Beyond its connections' limit (512) a connection gets server_busy and is closed, and the
// others are served as before.
TEST_F(VantorServer, BeyondTheConnectionLimit_BusyIsAnsweredAndTheOthersGoOn)
{
    std::vector<std::unique_ptr<raw_client>> held;
    for (int i = 0; i < 512; ++i) {
        held.push_back(std::make_unique<raw_client>());
        ASSERT_TRUE(held.back()->open()) << i;
    }
    raw_client refused;
    ASSERT_TRUE(refused.open());
    refused.expect_error_and_close(proto::error_code::server_busy, "the 513th connection");
    EXPECT_TRUE(held.front()->hello() && held.front()->alive());
    EXPECT_TRUE(held.back()->hello() && held.back()->alive());
}

TEST_F(VantorServer, UnknownRequestAndShutdownWithoutTheToken_AreRefusedAndServingGoesOn)
{
    std::string token;
    ASSERT_TRUE(orvane::read_server_token(token));
    raw_client c;
    ASSERT_TRUE(c.open() && c.hello());
    ASSERT_TRUE(c.request(proto::make_frame(static_cast<proto::type>(0x42), ""), proto::type::error));
    std::string wrong = token;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    for (const std::string& attempt : {std::string(), wrong, token.substr(1)}) {
        proto::frame reply;
        ASSERT_TRUE(c.request(proto::make_frame(proto::type::shutdown, attempt), proto::type::error, &reply));
        proto::error_code code;
        std::string text;
        ASSERT_TRUE(proto::parse_error(reply.payload, code, text));
        EXPECT_EQ(code, proto::error_code::not_permitted);
    }
    EXPECT_TRUE(c.alive());
    EXPECT_EQ(server.wait(0), process::still_running);
}

#ifdef _WIN32
// The server takes the close request through a hidden top-level window, which Wine without a
// display cannot make.
bool windows_can_be_made()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "vantor server test probe";
    RegisterClassA(&wc);
    HWND window =
        CreateWindowExA(0, wc.lpszClassName, "", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (window)
        DestroyWindow(window);
    return window != nullptr;
}
#else
bool windows_can_be_made()
{
    return true;  // the close request is SIGTERM
}
#endif

TEST_F(VantorServer, CloseRequest_StopsCleanlyTellsTheClientsAndRemovesTheToken)
{
    if (!windows_can_be_made())
        GTEST_SKIP() << "no top-level window can be made here (no display)";
    raw_client c;
    ASSERT_TRUE(c.open() && c.hello());
    ASSERT_EQ(Yipc_TerminateProcess(server.pid()), 1);
    proto::frame f;
    ASSERT_EQ(c.receive(f), proto::read_result::ok);
    EXPECT_EQ(f.kind, proto::type::goodbye);
    EXPECT_EQ(c.receive(f), proto::read_result::closed);
    EXPECT_EQ(server.wait(10.0), 0);
    std::string token;
    EXPECT_FALSE(orvane::read_server_token(token)) << "the token file outlived the server";
}

// One signal per case: the module's notification folds signals that come while its callbacks
// run into that pass, so a count of several quick signals would not be fixed.
TEST_F(VantorServer, Watch_EveryWatcherGetsTheChangeAndOthersDoNot)
{
    raw_client watchers[2], other;
    for (raw_client& w : watchers) {
        ASSERT_TRUE(w.open() && w.hello());
        ASSERT_TRUE(w.request(proto::make_frame(proto::type::watch, ""), proto::type::watching));
    }
    ASSERT_TRUE(other.open() && other.hello());
    vantorSignalActiveUserChanged();
    for (raw_client& w : watchers) {
        proto::frame event;
        ASSERT_EQ(w.receive(event), proto::read_result::ok);
        ASSERT_EQ(event.kind, proto::type::user_changed);
        std::uint64_t changes = 0;
        ASSERT_TRUE(proto::parse_user_changed(event.payload, changes));
        EXPECT_EQ(changes, 1u);
        // Requests still get their replies after events.
        EXPECT_TRUE(w.alive());
    }
    EXPECT_TRUE(other.alive()) << "an event reached a connection that does not watch";
}

TEST_F(VantorServer, SecondServer_SaysSoAndExitsWhileTheFirstServes)
{
    raw_client c;
    ASSERT_TRUE(c.open() && c.hello());
    int err = -1;
    const DWORD pid = YProcess_CreateWithPipes(('"' + server_path() + '"').c_str(), 0, nullptr, &err, nullptr);
    ASSERT_NE(pid, YPROCESS_ID_NONE);
    process second;
    second.adopt(pid);
    std::string text;
    char buffer[512];
    for (int n; (n = _read(err, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    _close(err);
    EXPECT_EQ(second.wait(10.0), 1);
    EXPECT_NE(text.find("another vantor.exe serves 127.0.0.1:4137 already"), std::string::npos) << text;
    EXPECT_TRUE(c.alive());
}

}  // namespace
