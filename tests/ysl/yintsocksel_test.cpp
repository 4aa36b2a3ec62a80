// The wait set: sockets and the process's notify event in one wait.
#include <ysl/ydiag_capture.h>
#include <ysl/yintsocksel_win32.h>
#include <ysl/yprocess_win32.h>

#include "../../ysl/yipc/src/yintsocksel_internal.h"
#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using vantor_test::tcp_accept;
using vantor_test::tcp_close;
using vantor_test::tcp_connect;
using vantor_test::tcp_listener;
using vantor_test::tcp_recv;
using vantor_test::tcp_send;

struct set_deleter {
    void operator()(YIntSockSel* s) const { YIntSockSel_Destroy(s); }
};
using set_ptr = std::unique_ptr<YIntSockSel, set_deleter>;

// Sockets that close with the test.
struct sockets {
    ~sockets()
    {
        for (SOCKET s : all)
            tcp_close(s);
    }
    SOCKET keep(SOCKET s)
    {
        all.push_back(s);
        return s;
    }
    std::vector<SOCKET> all;
};

// Cases that expect nothing to happen wait this long instead of 10 s.
class WaitSet : public ::testing::Test {
protected:
    void SetUp() override { old_limit_ = yintsocksel_set_wait_limit(200); }
    void TearDown() override { yintsocksel_set_wait_limit(old_limit_); }
    unsigned old_limit_ = 0;
};

int add_one(YIntSockSel* set, SOCKET s, int mode)
{
    return YIntSockSel_Add(set, &s, &mode, 1);
}

TEST_F(WaitSet, Add_63SocketsFit_TheNextIsRefused)
{
    sockets s;
    std::vector<SOCKET> many;
    for (int i = 0; i < 64; ++i)
        many.push_back(s.keep(tcp_listener()));
    ASSERT_EQ(many.back() == INVALID_SOCKET, false);
    std::vector<int> modes(64, 1);
    set_ptr set(YIntSockSel_Create());
    ASSERT_TRUE(set);
    EXPECT_EQ(YIntSockSel_Add(set.get(), many.data(), modes.data(), 63), 1);
    YDiagCapture cap;
    EXPECT_EQ(add_one(set.get(), many[63], 1), 0);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              std::vector<std::string>{"YIntSockSel_Add(): maximum number of wait objects reached: 65 > 64"});
    // Taking one out makes room for exactly one.
    YIntSockSel_Remove(set.get(), &many[0], 1);
    EXPECT_EQ(add_one(set.get(), many[63], 1), 1);
    EXPECT_EQ(YIntSockSel_Wait(set.get()), -3);
}

TEST_F(WaitSet, Add_UnknownMode_IsRefused_AndAddsNoneOfTheCall)
{
    sockets s;
    SOCKET l1 = s.keep(tcp_listener()), l2 = s.keep(tcp_listener());
    for (int bad : {0, 4}) {
        set_ptr set(YIntSockSel_Create());
        SOCKET both[2] = {l1, l2};
        int modes[2] = {1, bad};
        YDiagCapture cap;
        EXPECT_EQ(YIntSockSel_Add(set.get(), both, modes, 2), 0);
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                  std::vector<std::string>{"YIntSockSel_Add(): unknown mode " + std::to_string(bad)});
        // l1 did not join: a client waiting on it wakes nobody.
        s.keep(tcp_connect(l1));
        EXPECT_EQ(YIntSockSel_Wait(set.get()), -3);
        tcp_close(tcp_accept(l1));
        // The count did not change: 63 more still fit.
        std::vector<SOCKET> many(63, l2);
        std::vector<int> ones(63, 1);
        EXPECT_EQ(YIntSockSel_Add(set.get(), many.data(), ones.data(), 63), 1) << bad;
    }
}

// A notification sent before the wait is kept for it, and taken by one wait only; a ready
// socket goes first.
TEST_F(WaitSet, Wait_NotificationSentBefore_IsKeptBehindAReadySocket_ThenTaken)
{
    sockets s;
    SOCKET listener = s.keep(tcp_listener());
    set_ptr set(YIntSockSel_Create());
    ASSERT_EQ(add_one(set.get(), listener, 1), 1);
    s.keep(tcp_connect(listener));
    ASSERT_EQ(YIntSockSel_Notify(static_cast<DWORD>(_getpid())), 1);
    EXPECT_EQ(YIntSockSel_Wait(set.get()), static_cast<int>(listener));
    YIntSockSel_Remove(set.get(), &listener, 1);
    EXPECT_EQ(YIntSockSel_Wait(set.get()), -2) << "the notification is still pending";
    EXPECT_EQ(YIntSockSel_Wait(set.get()), -3);
}

TEST(WaitSetAcrossProcesses, Notify_FromAnotherProcess_WakesTheWaiter)
{
    set_ptr set(YIntSockSel_Create());
    ASSERT_TRUE(set);
    vantor_test::child notifier("process_helper", {"notify", std::to_string(_getpid())});
    ASSERT_TRUE(notifier.started());
    EXPECT_EQ(YIntSockSel_Wait(set.get()), -2);
    std::string line;
    EXPECT_TRUE(notifier.read_line(line));
    EXPECT_EQ(line, "1");
}

TEST(WaitSetNotify, ProcessThatDoesNotRun_GivesZeroAndReportsNothing)
{
    YDiagCapture cap;
    EXPECT_EQ(YIntSockSel_Notify(0), 0);
    EXPECT_EQ(YIntSockSel_Notify(0x7FFFFFF0), 0) << "beyond every identifier in use";
    EXPECT_TRUE(cap.records().empty());
}

// Which socket a wait reports after each way of making one ready.
TEST_F(WaitSet, Wait_ReportsTheSocketReadyForItsMode)
{
    enum end { listener, client, accepted, nobody };
    struct row {
        const char* what;
        int mode;
        bool connect, accept;
        end sends, watched;
        bool ready;
    } rows[] = {
        {"listener with a client waiting (FD_ACCEPT)", 1, true, false, nobody, listener, true},
        {"listener without a client", 1, false, false, nobody, listener, false},
        {"connected client (FD_WRITE after the connect)", 2, true, true, nobody, client, true},
        {"accepted socket with data to read (FD_READ)", 1, true, true, client, accepted, true},
        {"accepted socket, nothing sent", 1, true, true, nobody, accepted, false},
        {"both modes, data to read", 3, true, true, accepted, client, true},
    };
    for (const row& r : rows) {
        sockets s;
        SOCKET ends[3] = {s.keep(tcp_listener()), INVALID_SOCKET, INVALID_SOCKET};
        if (r.connect)
            ends[client] = s.keep(tcp_connect(ends[listener]));
        if (r.accept)
            ends[accepted] = s.keep(tcp_accept(ends[listener]));
        if (r.sends != nobody) {
            ASSERT_TRUE(tcp_send(ends[r.sends], "x", 1)) << r.what;
        }
        set_ptr set(YIntSockSel_Create());
        ASSERT_EQ(add_one(set.get(), ends[r.watched], r.mode), 1) << r.what;
        EXPECT_EQ(YIntSockSel_Wait(set.get()), r.ready ? static_cast<int>(ends[r.watched]) : -3) << r.what;
    }
}

TEST_F(WaitSet, Wait_WriteReadinessIsReportedOnce_DataOnlyUntilRead)
{
    sockets s;
    SOCKET listener = s.keep(tcp_listener());
    SOCKET client = s.keep(tcp_connect(listener));
    SOCKET server = s.keep(tcp_accept(listener));
    {
        set_ptr set(YIntSockSel_Create());
        ASSERT_EQ(add_one(set.get(), client, 2), 1);
        EXPECT_EQ(YIntSockSel_Wait(set.get()), static_cast<int>(client));
        EXPECT_EQ(YIntSockSel_Wait(set.get()), -3) << "FD_WRITE comes once after the connect";
    }
    set_ptr set(YIntSockSel_Create());
    ASSERT_EQ(add_one(set.get(), server, 1), 1);
    // One byte, which cannot arrive in two parts: a second part would signal again on Windows,
    // where an event stays set until it is reset, even once the data are gone.
    ASSERT_TRUE(tcp_send(client, "x", 1));
    EXPECT_EQ(YIntSockSel_Wait(set.get()), static_cast<int>(server));
    char buf[8];
    EXPECT_EQ(tcp_recv(server, buf, sizeof buf), 1);
    EXPECT_EQ(YIntSockSel_Wait(set.get()), -3) << "everything was read";
}

TEST_F(WaitSet, Remove_TakesEveryEntryOfTheSocketOut)
{
    sockets s;
    SOCKET listener = s.keep(tcp_listener());
    SOCKET other = s.keep(tcp_listener());
    set_ptr set(YIntSockSel_Create());
    SOCKET three[3] = {listener, other, listener};
    int modes[3] = {1, 1, 1};
    ASSERT_EQ(YIntSockSel_Add(set.get(), three, modes, 3), 1);
    s.keep(tcp_connect(listener));
    YIntSockSel_Remove(set.get(), &listener, 1);
    EXPECT_EQ(YIntSockSel_Wait(set.get()), -3);
    s.keep(tcp_connect(other));
    EXPECT_EQ(YIntSockSel_Wait(set.get()), static_cast<int>(other)) << "the one behind moved up";
}

}  // namespace
