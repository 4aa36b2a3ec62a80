// VantorConnection: finding the server, starting it, waiting for its signal, and its
// failures; every case holds the server port, and no server outlives it.
#include "server_test_support.h"

#include <vantor/VantorConnection.h>
#include <vantor/server_client.h>

#include <test_support.h>
#include <yintsocksel_internal.h>
#include <ysl/ydiag_capture.h>
#include <ysl/yprocess_win32.h>
#include <ysl/ytcpserverpipe.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

using namespace server_test;
namespace proto = orvane::protocol;

namespace {

bool contains(const std::vector<std::string>& texts, const std::string& wanted)
{
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.find(wanted) != std::string::npos; });
}

// The server behind a connection, adopted by its process id from its status.
bool adopt_server(VantorConnection& c, server_process& server)
{
    orvane::ServerSession session(c);
    proto::status_info info;
    return session.hello() && session.status(info) && server.adopt(info.process_id);
}

// A helper that runs without listening, ended by the test through its event.
class idle {
public:
    idle(const std::string& helper, const char* event_name)
        : event_(CreateEventA(nullptr, TRUE, FALSE, event_name)), child_(helper, {event_name})
    {
        std::string line;
        EXPECT_TRUE(child_.started() && child_.read_line(line) && line == "ready") << helper;
    }
    ~idle()
    {
        SetEvent(event_);
        child_.wait();
        CloseHandle(event_);
    }

private:
    HANDLE event_;
    vantor_test::child child_;
};

class VantorConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(port_listens()) << "a server runs already"; }
    void TearDown() override { EXPECT_FALSE(port_listens()) << "the case left a server behind"; }
};

TEST_F(VantorConnectionTest, ServerListening_ConnectsAtTheFirstOpenAndStartsNothing)
{
    YTCPServerPipeSocket listener;
    ASSERT_TRUE(listener.Open("127.0.0.1", VANTOR_PORT, true));
    configure_server_location(program_path("idle_process").c_str());
    YDiagCapture capture;
    VantorConnection c;
    std::unique_ptr<YTCPServerPipe> accepted(listener.Accept(true));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(c.write("x", 1), 1);
    char got = 0;
    EXPECT_EQ(accepted->Read(&got, 1, 5.0), 1);
    EXPECT_EQ(got, 'x');
    EXPECT_TRUE(capture.texts().empty()) << capture.texts().front();
    EXPECT_EQ(YProcess_GetIDByImagePath(program_path("idle_process").c_str()), YPROCESS_ID_NONE);
}

TEST_F(VantorConnectionTest, NoServer_StartsItWaitsForItsSignalAndConnects)
{
    configure_server_location(server_path().c_str());
    YDiagCapture capture;
    VantorConnection c;
    server_process server;
    ASSERT_TRUE(adopt_server(c, server));
    EXPECT_NE(server.pid(), GetCurrentProcessId());
    EXPECT_TRUE(capture.texts(YDIAG_ERRLOG).empty()) << capture.texts(YDIAG_ERRLOG).front();
    EXPECT_EQ(server.stop(), 0);
}

// Without a wait set (its notify event's name taken by a mutex here) no signal can come: the
// connection is tried every 50 ms until the server listens.
TEST_F(VantorConnectionTest, NoWaitSet_PollsUntilTheServerListens)
{
    configure_server_location(server_path().c_str());
    const std::string name = "YIntSockSel_" + std::to_string(GetCurrentProcessId());
    HANDLE squatter = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(squatter, nullptr);
    YDiagCapture capture;
    {
        VantorConnection c;
        server_process server;
        EXPECT_TRUE(adopt_server(c, server));
        EXPECT_TRUE(contains(capture.texts(YDIAG_ERRLOG), "YIntSockSel_Create(0) == NULL"))
            << ::testing::PrintToString(capture.texts());
        if (server.pid()) {
            EXPECT_EQ(server.stop(), 0);
        }
    }
    CloseHandle(squatter);
}

TEST_F(VantorConnectionTest, VantorExeRunsButDoesNotListen_FailsAndStartsNothing)
{
#ifdef _WIN32
    idle not_listening("idle\\vantor", "vantor-test-idle-server");
#else
    idle not_listening("idle/vantor.exe", "vantor-test-idle-server");
#endif
    configure_server_location(server_path().c_str());
    YDiagCapture capture;
    VantorConnection c;
    EXPECT_LT(c.write("x", 1), 0);
    EXPECT_TRUE(contains(capture.texts(), "runs but refuses connections")) << ::testing::PrintToString(capture.texts());
    EXPECT_TRUE(contains(capture.texts(), "VantorConnection(): establishConnection() failed"));
    EXPECT_FALSE(port_listens()) << "a server was started";
}

TEST_F(VantorConnectionTest, NoServerLocation_FailsAtOnceWithoutTakingTheMutex)
{
    configure_server_location(nullptr);
    // Another thread holds the mutex for the whole case: a connection that took it would wait.
    std::atomic<bool> held{false}, done{false};
    std::thread holder([&] {
        YMUTEX m = YMutex_Create("VantorMutex");
        YMutex_Lock(m);
        held = true;
        while (!done)
            std::this_thread::yield();
        YMutex_Release(m);
        YMutex_Destroy(m);
    });
    while (!held)
        std::this_thread::yield();
    YDiagCapture capture;
    {
        VantorConnection c;
        EXPECT_FALSE(c.ensureConnected());
    }
    done = true;
    holder.join();
    const auto dumped = capture.texts(YDIAG_DUMPED);
    EXPECT_EQ(std::count(dumped.begin(), dumped.end(), "establishConnection(): getVantorServerLocation() == false"), 1)
        << ::testing::PrintToString(capture.texts());
    const auto traced = capture.texts(YDIAG_ERRTRACE);
    EXPECT_TRUE(contains(traced, "establishConnection(): getVantorServerLocation() == false"));
}

TEST_F(VantorConnectionTest, ServerNeverSignals_FailsWithTheTimeOutReport)
{
    const char event[] = "vantor-test-silent-server";
    HANDLE end = CreateEventA(nullptr, TRUE, FALSE, event);
    configure_server_location((program_path("idle_process") + " " + event).c_str());
    const unsigned before = yintsocksel_set_wait_limit(300);
    YDiagCapture capture;
    bool connected;
    {
        VantorConnection c;
        connected = c.write("x", 1) >= 0;
    }
    yintsocksel_set_wait_limit(before);
    SetEvent(end);
    const DWORD silent = YProcess_GetIDByImagePath(program_path("idle_process").c_str());
    if (silent)
        YProcess_WaitForExit(silent, 10.0);
    CloseHandle(end);
    EXPECT_FALSE(connected);
    EXPECT_TRUE(contains(capture.texts(YDIAG_DUMPED),
                         "establishConnection(): YIntSockSel_Wait(intss_fd_set, 10000) reached timeout"))
        << ::testing::PrintToString(capture.texts());
}

TEST_F(VantorConnectionTest, ReadFailure_EnsureConnectedReconnectsToARestartedServer)
{
    configure_server_location(server_path().c_str());
    VantorConnection c;
    server_process first;
    ASSERT_TRUE(adopt_server(c, first));
    EXPECT_EQ(first.stop(), 0);
    // The server says goodbye before it closes; the read after that fails.
    char rest[64];
    int n = 0;
    for (int reads = 0; reads < 16 && n >= 0; ++reads)
        n = c.read(rest, sizeof rest);
    ASSERT_LT(n, 0);
    ASSERT_TRUE(c.ensureConnected());
    server_process second;
    ASSERT_TRUE(adopt_server(c, second));
    EXPECT_NE(second.pid(), first.pid());
    EXPECT_EQ(second.stop(), 0);
}

// "C:\Program Files\..." without quotes would start "C:\Program.exe"; the decoy is a program
// that never signals, so a connection made at all shows that the real server started.
TEST_F(VantorConnectionTest, LocationWithSpaces_StartsThatFileAndNotADecoy)
{
    namespace fs = std::filesystem;
#ifdef _WIN32
    const fs::path drive_c = "C:\\";
#else
    const fs::path drive_c = fs::path(std::getenv("WINPORT_PREFIX")) / "drive_c";
#endif
    const fs::path dir = drive_c / "Program Files" / "Orvane Test";
    fs::create_directories(dir);
    const fs::path bin = vantor_test::program_dir();
    fs::copy_file(bin / "vantor.exe", dir / "vantor.exe", fs::copy_options::overwrite_existing);
#ifdef _WIN32
    // Windows finds a program's DLLs beside it.
    for (const auto& entry : fs::directory_iterator(bin))
        if (entry.path().extension() == ".dll")
            fs::copy_file(entry.path(), dir / entry.path().filename(), fs::copy_options::overwrite_existing);
#endif
    fs::copy_file(vantor_test::helper_path("idle_process"), drive_c / "Program.exe",
                  fs::copy_options::overwrite_existing);
    configure_server_location("C:\\Program Files\\Orvane Test\\vantor.exe");
    const unsigned before = yintsocksel_set_wait_limit(5000);
    {
        VantorConnection c;
        server_process server;
        EXPECT_TRUE(adopt_server(c, server));
        EXPECT_EQ(YProcess_GetIDByName("Program.exe"), YPROCESS_ID_NONE) << "the decoy ran";
        if (server.pid()) {
            EXPECT_EQ(server.stop(), 0);
        }
    }
    yintsocksel_set_wait_limit(before);
    if (DWORD decoy = YProcess_GetIDByName("Program.exe"))
        YProcess_Destroy(decoy);
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::remove(drive_c / "Program.exe", ec);
}

void set_environment(const char* name, const char* value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

TEST_F(VantorConnectionTest, TwoProcessesAtOnce_StartExactlyOneServer)
{
    configure_server_location(server_path().c_str());
    // The clients and the servers they start write their error logs here: a second server
    // would say that it found the port served.
    const std::string log =
        vantor_test::program_dir() + "/connection-race-" + std::to_string(GetCurrentProcessId()) + ".log";
    std::remove(log.c_str());
    set_environment("YERRLOG", log.c_str());
    const char go_name[] = "vantor-test-connection-go";
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, go_name);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ResetEvent(go);
        vantor_test::child a("connection_client", {go_name}), b("connection_client", {go_name});
        std::string line_a, line_b;
        ASSERT_TRUE(a.read_line(line_a) && line_a == "ready");
        ASSERT_TRUE(b.read_line(line_b) && line_b == "ready");
        SetEvent(go);
        ASSERT_TRUE(a.read_line(line_a));
        ASSERT_TRUE(b.read_line(line_b));
        EXPECT_EQ(a.wait(), 0);
        EXPECT_EQ(b.wait(), 0);
        server_process server;
        ASSERT_EQ(line_a.rfind("pid ", 0), 0u) << line_a;
        ASSERT_TRUE(server.adopt(std::strtoul(line_a.c_str() + 4, nullptr, 10)));
        EXPECT_EQ(line_a, line_b) << "both must reach the one server";
        // Its starter has ended, and with it what the system kept of its exit status.
        ASSERT_NE(server.stop(), process::still_running);
    }
    CloseHandle(go);
    set_environment("YERRLOG", nullptr);
    std::ifstream in(log);
    std::string text, line;
    // Without a display (Wine) the servers say that the close request cannot reach them.
    while (std::getline(in, line))
        if (line.find("close_request_listener") == std::string::npos &&
            line.find("close request cannot reach") == std::string::npos)
            text += line + "\n";
    in.close();
    std::remove(log.c_str());
    EXPECT_EQ(text, "") << "nothing may fail, and no second server may start";
}

}  // namespace
