// Pipes: the exact-count transfers, the socket transfers of any length, and the TCP client and
// server pipes over loopback, with the reports each failure gives.
#include <ysl/ydiag_capture.h>
#include <ysl/ytcpclientpipe.h>
#include <ysl/ytcpserverpipe.h>

#include "ypipe_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

using texts = std::vector<std::string>;

// The IPv4 fallback is a trace line of level 1: traces are switched on before the first
// report reads the setting.
const bool traces_on = [] {
#ifdef _WIN32
    return _putenv_s("YTRACE", "default:1") == 0;
#else
    return setenv("YTRACE", "default:1", 1) == 0;
#endif
}();

#ifdef _WIN32
using select_timeout = timeval*;
#else
using select_timeout = const timeval*;
#endif

// Puts the system's calls back when a case that stood in for some of them ends.
struct system_calls_restored {
    ~system_calls_restored() { ypipe_system = ypipe_real_system(); }
};

// --- a pipe whose Read and Write results a case scripts -----------------------------------

std::vector<double> pauses;

int record_pause(double seconds)
{
    pauses.push_back(seconds);
    return 0;
}

class scripted_pipe : public YGenericPipe {
public:
    explicit scripted_pipe(std::vector<int> results) : results_(std::move(results)) {}
    int Read(void* buffer, size_t length, double timeout) override { return next(buffer, length, timeout); }
    int Write(const void*, size_t length, double timeout) override { return next(nullptr, length, timeout); }
    int calls = 0;

private:
    int next(void* buffer, size_t length, double timeout)
    {
        EXPECT_LT(timeout, 0.0);
        int r = calls < static_cast<int>(results_.size()) ? results_[static_cast<size_t>(calls)] : 1;
        ++calls;
        if (r > static_cast<int>(length))
            r = static_cast<int>(length);
        if (buffer && r > 0)
            std::memset(buffer, 'x', static_cast<size_t>(r));
        return r;
    }
    std::vector<int> results_;
};

TEST(YGenericPipe, CompleteTransfers_CallUntilTheCountIsReached_PausingAfterZeroResults)
{
    system_calls_restored restore;
    ypipe_system.pause = record_pause;
    struct row {
        size_t length;
        std::vector<int> results;
        int calls;
        std::vector<double> pauses;
    } rows[] = {
        {0, {}, 0, {}},
        {10, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 10, {}},
        {3, {0, 0, 0, 1, 0, 2}, 6, {0.001, 0.002, 0.004, 0.001}},
        {1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 10, {0.001, 0.002, 0.004, 0.008, 0.016, 0.032, 0.064, 0.128, 0.128}},
    };
    for (const row& r : rows) {
        for (bool reading : {true, false}) {
            scripted_pipe pipe(r.results);
            pauses.clear();
            char buffer[16] = {};
            bool done = reading ? pipe.ReadComplete(buffer, r.length) : pipe.WriteComplete(buffer, r.length);
            EXPECT_TRUE(done) << r.length;
            EXPECT_EQ(pipe.calls, r.calls) << r.length;
            EXPECT_EQ(pauses, r.pauses) << r.length;
        }
    }
}

TEST(YGenericPipe, CompleteTransfers_StopAtAFailure_WithWhatWasMoved)
{
    system_calls_restored restore;
    ypipe_system.pause = record_pause;
    char buffer[10];
    {
        scripted_pipe pipe({3, -1});
        YDiagCapture capture;
        EXPECT_FALSE(pipe.ReadComplete(buffer, sizeof buffer));
        EXPECT_EQ(capture.texts(), texts{"YGenericPipeReader::ReadComplete(): Read(..,7) failed (total_read=3)"});
    }
    {
        scripted_pipe pipe({0, 4, -1});
        YDiagCapture capture;
        EXPECT_FALSE(pipe.WriteComplete(buffer, sizeof buffer));
        EXPECT_EQ(capture.texts(), texts{"YGenericPipeWriter::WriteComplete(): Write(..,6) failed (total_written=4)"});
    }
}

// --- transfers of any length -----------------------------------------------------------

struct piece {
    size_t offset;
    int length;
};
std::vector<piece> pieces;
const char* piece_base;
std::vector<int> piece_results;

int take_piece(const char* buffer, int length)
{
    pieces.push_back({static_cast<size_t>(buffer - piece_base), length});
    int r = pieces.size() <= piece_results.size() ? piece_results[pieces.size() - 1] : length;
    return r == -2 ? length : r;
}

int WSAAPI fake_recv(SOCKET, char* buffer, int length, int)
{
    return take_piece(buffer, length);
}
int WSAAPI fake_send(SOCKET, const char* buffer, int length, int)
{
    return take_piece(buffer, length);
}
int WSAAPI fake_recvfrom(SOCKET, char* buffer, int length, int, sockaddr*, int*)
{
    return take_piece(buffer, length);
}
int WSAAPI fake_sendto(SOCKET, const char* buffer, int length, int, const sockaddr*, int)
{
    return take_piece(buffer, length);
}

TEST(SockTransfers, LengthsAboveTheIntRange_GoInPiecesOfAtMost2147483647Bytes)
{
    system_calls_restored restore;
    ypipe_system.recv = fake_recv;
    ypipe_system.send = fake_send;
    ypipe_system.recvfrom = fake_recvfrom;
    ypipe_system.sendto = fake_sendto;
    const size_t big = size_t(1) << 31;  // -2: the piece moves all it was asked
    struct row {
        size_t length;
        std::vector<int> results;
        std::int64_t total;
        std::vector<size_t> lengths;
    } rows[] = {
        {5, {3}, 3, {5}},
        {2147483647, {-1}, -1, {2147483647}},
        {big, {}, std::int64_t(big), {2147483647, 1}},
        {big + 100, {-2, 7}, std::int64_t(2147483647) + 7, {2147483647, 101}},
        {big + 100, {1000}, 1000, {2147483647}},
        {big + 100, {-2, -1}, -1, {2147483647, 101}},
    };
    // The buffer is never touched: the stand-ins only record where each piece would go.
    static char base[1];
    piece_base = base;
    for (const row& r : rows) {
        for (int call = 0; call < 4; ++call) {
            pieces.clear();
            piece_results = r.results;
            std::int64_t total = call == 0   ? sock_recv(1, base, r.length)
                                 : call == 1 ? sock_send(1, base, r.length)
                                 : call == 2 ? sock_recvfrom(1, base, r.length, 0, nullptr, nullptr)
                                             : sock_sendto(1, base, r.length, 0, nullptr, 0);
            EXPECT_EQ(total, r.total) << r.length << " call " << call;
            ASSERT_EQ(pieces.size(), r.lengths.size()) << r.length << " call " << call;
            size_t offset = 0;
            for (size_t i = 0; i < pieces.size(); ++i) {
                EXPECT_EQ(pieces[i].length, static_cast<int>(r.lengths[i]));
                EXPECT_EQ(pieces[i].offset, offset);
                offset += r.lengths[i];
            }
        }
    }
}

TEST(SockStrerror, GivesTheRunTimesTextBelow10000_AndTheCodeAbove_PerThread)
{
    EXPECT_STREQ(sock_strerror(2), std::strerror(2));
    const char* mine = sock_strerror(10054);
    EXPECT_STREQ(mine, "WSAError: 10054");
    std::thread([] { EXPECT_STREQ(sock_strerror(10061), "WSAError: 10061"); }).join();
    EXPECT_STREQ(mine, "WSAError: 10054");
}

// --- TCP pipes over loopback ----------------------------------------------------------

class ServerSocket : public YTCPServerPipeSocket {
public:
    SOCKET socket() const { return m_socket; }
    int port() const
    {
        sockaddr_storage address{};
        int length = sizeof address;
        if (getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR)
            return -1;
        // The port has the same place in both families' addresses.
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
};

class ClientPipe : public YTCPClientPipe {
public:
    SOCKET socket() const { return m_socket; }
};

// A port on which nothing listens: one that a socket held without listening.
int closed_port()
{
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    closesocket(s);
    return port;
}

class TcpPipes : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override
    {
        server.Close();
        WSACleanup();
    }

    // A listening socket on a port of the system's choice.
    void listen(bool blocking = true)
    {
        ASSERT_TRUE(server.Open(0, blocking));
        port = server.port();
        ASSERT_GT(port, 0);
    }

    // A connected client and the server's end of it.
    template <class Pipe = YTCPServerPipe>
    Pipe* connect(ClientPipe& client, const char* host = "127.0.0.1")
    {
        if (!client.Open(host, port, true))
            return nullptr;
        if constexpr (std::is_same_v<Pipe, YTCPServerPipeReader>)
            return server.AcceptReader(true);
        else if constexpr (std::is_same_v<Pipe, YTCPServerPipeWriter>)
            return server.AcceptWriter(true);
        else
            return server.Accept(true);
    }

    ServerSocket server;
    int port = -1;
};

TEST_F(TcpPipes, OneListeningSocket_TakesIPv6AndIPv4Clients)
{
    listen();
    for (const char* host : {"::1", "127.0.0.1", "localhost"}) {
        ClientPipe client;
        std::unique_ptr<YTCPServerPipe> accepted(connect(client, host));
        ASSERT_TRUE(accepted) << host;
        char byte = 'q';
        EXPECT_EQ(client.Write(&byte, 1, -1.0), 1);
        byte = 0;
        EXPECT_EQ(accepted->Read(&byte, 1, 5.0), 1);
        EXPECT_EQ(byte, 'q');
        EXPECT_EQ(accepted->Write("r", 1, 5.0), 1);
        EXPECT_EQ(client.Read(&byte, 1, -1.0), 1);
        EXPECT_EQ(byte, 'r');
    }
}

SOCKET WSAAPI socket_without_ipv6(int af, int type, int protocol)
{
    if (af == AF_INET6) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    return ypipe_real_system().socket(af, type, protocol);
}

TEST_F(TcpPipes, WithoutIPv6_TheServerFallsBackToIPv4_AndSaysSo)
{
    system_calls_restored restore;
    ypipe_system.socket = socket_without_ipv6;
    {
        YDiagCapture capture;
        listen();
        EXPECT_TRUE(traces_on);
        EXPECT_EQ(capture.texts(YDIAG_TRACE), texts{"YTCPServerPipeSocket::Open(): falling back to IPv4"});
    }
    ClientPipe client;
    std::unique_ptr<YTCPServerPipe> accepted(connect(client));
    EXPECT_TRUE(accepted);
}

TEST_F(TcpPipes, ConnectWhereNothingListens_FailsAndHoldsNoSocket)
{
    int nobody = closed_port();
    ASSERT_GT(nobody, 0);
    ClientPipe client;
    YDiagCapture capture;
    EXPECT_FALSE(client.Open("127.0.0.1", nobody, true));
    EXPECT_EQ(capture.texts(), texts{"YTCPClientPipeHelper::Open(): connect() failed: WSAError: 10061"});
    EXPECT_EQ(client.socket(), INVALID_SOCKET);
}

TEST_F(TcpPipes, ReadAfterThePeerClosed_FailsWithTheConnectionResetMessage)
{
    listen();
    {
        ClientPipe client;
        std::unique_ptr<YTCPServerPipe> accepted(connect(client));
        ASSERT_TRUE(accepted);
        accepted->Close();
        YDiagCapture capture;
        char byte;
        EXPECT_EQ(client.Read(&byte, 1, -1.0), -1);
        EXPECT_FALSE(client.ReadComplete(&byte, 1));
        EXPECT_EQ(capture.texts(), (texts{"YTCPClientPipe::Read(): read() returned 0 => connection reset by peer",
                                          "YTCPClientPipe::Read(): read() returned 0 => connection reset by peer",
                                          "YGenericPipeReader::ReadComplete(): Read(..,1) failed (total_read=0)"}));
    }
    {
        ClientPipe client;
        std::unique_ptr<YTCPServerPipeReader> accepted(connect<YTCPServerPipeReader>(client));
        ASSERT_TRUE(accepted);
        client.Close();
        YDiagCapture capture;
        char byte;
        EXPECT_EQ(accepted->Read(&byte, 1, 5.0), -1);
        EXPECT_EQ(capture.texts(),
                  texts{"YTCPServerPipeReader::Read(): read() returned 0 => connection reset by peer"});
    }
}

TEST_F(TcpPipes, NonBlockingAcceptWithoutAPendingClient_GivesNullSilently)
{
    listen(false);
    YDiagCapture capture;
    EXPECT_EQ(server.Accept(false), nullptr);
    EXPECT_EQ(server.AcceptReader(false), nullptr);
    EXPECT_TRUE(capture.texts().empty());
}

TEST_F(TcpPipes, NeverOpened_TransfersAndAcceptsFailWithTheirReports)
{
    char byte = 0;
    YDiagCapture capture;
    ClientPipe client;
    EXPECT_EQ(client.Read(&byte, 1, -1.0), -1);
    EXPECT_EQ(client.Write(&byte, 1, -1.0), -1);
    YTCPServerPipe pipe;
    EXPECT_EQ(pipe.Read(&byte, 1, -1.0), -1);
    EXPECT_EQ(pipe.Write(&byte, 1, -1.0), -1);
    EXPECT_EQ(server.Accept(true), nullptr);
    EXPECT_EQ(server.AcceptReader(true), nullptr);
    EXPECT_EQ(server.AcceptWriter(true), nullptr);
    EXPECT_EQ(capture.texts(),
              (texts{"YTCPClientPipe::Read(): socket is not open", "YTCPServerPipeSocket::Accept(): no open socket",
                     "YTCPServerPipeSocket::AcceptReader(): no open socket",
                     "YTCPServerPipeSocket::AcceptWriter(): no open socket"}));
}

// An address that no interface has, then the loopback address.
int WSAAPI unbindable_then_loopback(const char*, const char* service, const ADDRINFOA* hints, PADDRINFOA* result)
{
    addrinfo numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    addrinfo* first = nullptr;
    addrinfo* second = nullptr;
    int rc = ypipe_real_system().getaddrinfo("192.0.2.1", service, &numeric, &first);
    if (rc != 0)
        return rc;
    rc = ypipe_real_system().getaddrinfo("127.0.0.1", service, &numeric, &second);
    if (rc != 0) {
        freeaddrinfo(first);
        return rc;
    }
    addrinfo* last = first;
    while (last->ai_next)
        last = last->ai_next;
    last->ai_next = second;
    *result = first;
    return 0;
}

int WSAAPI unbindable_only(const char*, const char* service, const ADDRINFOA* hints, PADDRINFOA* result)
{
    addrinfo numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    return ypipe_real_system().getaddrinfo("192.0.2.1", service, &numeric, result);
}

TEST_F(TcpPipes, OpenOnAHost_ListensOnTheFirstAddressThatBinds_ForgettingEarlierFailures)
{
    system_calls_restored restore;
    const char* bind_failure = "YTCPServerPipeSocket::Open(): bind() failed: WSAError: 10049";
    struct row {
        decltype(ypipe_system.getaddrinfo) lookup;
        bool listens;
        texts kept;
    } rows[] = {
        {unbindable_then_loopback, true, {}},
        {unbindable_only, false, {bind_failure}},
    };
    for (const row& r : rows) {
        ypipe_system.getaddrinfo = r.lookup;
        ServerSocket socket;
        YDiagCapture capture;
        YErrTrace_BeginContext();
        EXPECT_EQ(socket.Open("somehost", 0, true), r.listens);
        YErrTrace_DumpContextToYErrLog("kept");
        YErrTrace_EndContext();
        EXPECT_EQ(capture.texts(YDIAG_DUMPED), r.kept);
        EXPECT_EQ(socket.socket() != INVALID_SOCKET, r.listens);
    }
}

TEST_F(TcpPipes, OpenAgain_ClosesTheSocketOpenedBefore)
{
    listen();
    // The port is still taken unless the first socket was closed.
    YDiagCapture capture;
    EXPECT_TRUE(server.Open(port, true));
    EXPECT_TRUE(capture.texts().empty());
    ClientPipe client;
    std::unique_ptr<YTCPServerPipe> accepted(connect(client));
    EXPECT_TRUE(accepted);
}

int WSAAPI no_such_host(const char*, const char*, const ADDRINFOA*, PADDRINFOA*)
{
    return WSAHOST_NOT_FOUND;
}

TEST_F(TcpPipes, UnknownHost_ReportsTheSystemsTextOnOneLine)
{
    system_calls_restored restore;
    ypipe_system.getaddrinfo = no_such_host;
    ClientPipe client;
    ServerSocket socket;
    YDiagCapture capture;
    EXPECT_FALSE(client.Open("nohost", 7, true));
    EXPECT_FALSE(socket.Open("nohost", 7, true));
    texts reports = capture.texts();
    ASSERT_EQ(reports.size(), 2u);
    const std::string prefixes[] = {"YTCPClientPipeHelper::Open(): getaddrinfo(nohost, 7) failed: ",
                                    "YTCPServerPipeSocket::Open(): getaddrinfo() failed: "};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(reports[i].rfind(prefixes[i], 0), 0u) << reports[i];
        EXPECT_EQ(reports[i].find_first_of("\r\n"), std::string::npos) << reports[i];
#ifndef _WIN32
        // Wine's message table has texts of its own.
        EXPECT_EQ(reports[i].substr(prefixes[i].size()), "No such host is known. ");
#endif
    }
}

TEST_F(TcpPipes, CloseTwice_TheSecondDoesNothing)
{
    listen();
    ClientPipe client;
    std::unique_ptr<YTCPServerPipe> accepted(connect(client));
    ASSERT_TRUE(accepted);
    client.Close();
    accepted->Close();
    server.Close();
    YDiagCapture capture;
    client.Close();
    accepted->Close();
    server.Close();
    EXPECT_TRUE(capture.texts().empty());
    EXPECT_EQ(client.socket(), INVALID_SOCKET);
    EXPECT_EQ(server.socket(), INVALID_SOCKET);
}

std::vector<std::pair<long, long>> select_limits;

int WSAAPI record_select_limit(int, fd_set*, fd_set*, fd_set*, select_timeout timeout)
{
    select_limits.push_back({static_cast<long>(timeout->tv_sec), static_cast<long>(timeout->tv_usec)});
    return 0;
}

TEST_F(TcpPipes, TimeLimits_ZeroPollsAtOnce_SecondsSplitIntoWholeAndMicroseconds)
{
    listen();
    ClientPipe client;
    std::unique_ptr<YTCPServerPipe> accepted(connect(client));
    ASSERT_TRUE(accepted);
    char byte;
    EXPECT_EQ(client.Read(&byte, 1, 0.0), 0);
    EXPECT_EQ(accepted->Read(&byte, 1, 0.0), 0);

    system_calls_restored restore;
    ypipe_system.select = record_select_limit;
    select_limits.clear();
    EXPECT_EQ(client.Read(&byte, 1, 2.5), 0);
    EXPECT_EQ(accepted->Write(&byte, 1, 0.25), 0);
    EXPECT_EQ(select_limits, (std::vector<std::pair<long, long>>{{2, 500000}, {0, 250000}}));
}

TEST_F(TcpPipes, CompleteTransfers_Move64MiBInOddPieces_Intact)
{
    listen();
    ClientPipe client;
    std::unique_ptr<YTCPServerPipe> accepted(connect(client));
    ASSERT_TRUE(accepted);
    const size_t total = size_t(64) << 20;
    std::string sent(total, '\0'), received(total, '\0');
    for (size_t i = 0; i < total; ++i)
        sent[i] = static_cast<char>((i * 131) ^ (i >> 13));
    // Each side moves the stream in pieces of its own sizes, in turn; how far it came.
    auto move = [total](std::vector<size_t> sizes, auto&& complete) {
        size_t at = 0;
        for (size_t k = 0; at < total; ++k) {
            size_t n = std::min(sizes[k % sizes.size()], total - at);
            if (!complete(at, n))
                break;
            at += n;
        }
        return at;
    };
    std::thread writer([&] {
        move({1, 4093, 65537, 3, 1048573, 77777},
             [&](size_t at, size_t n) { return client.WriteComplete(&sent[at], n); });
    });
    size_t read =
        move({7, 999983, 2, 131071, 5}, [&](size_t at, size_t n) { return accepted->ReadComplete(&received[at], n); });
    writer.join();
    EXPECT_EQ(read, total);
    EXPECT_TRUE(received == sent) << "the stream arrived changed";
}

#ifndef _WIN32
TEST_F(TcpPipes, LinuxDescriptorsAbove1023_ReadAndWriteWithTimeLimits)
{
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1200) {
        if (limit.rlim_max < 1200)
            GTEST_SKIP() << "the process may not open 1200 files";
        limit.rlim_cur = 1200;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    std::vector<int> files;
    for (int i = 0; i < 1100; ++i)
        files.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    listen();
    ClientPipe client;
    std::unique_ptr<YTCPServerPipe> accepted(connect(client));
    ASSERT_TRUE(accepted);
    EXPECT_GT(client.socket(), 1023);
    char byte = 0;
    EXPECT_EQ(accepted->Read(&byte, 1, 0.0), 0);
    EXPECT_EQ(client.Write("z", 1, 5.0), 1);
    EXPECT_EQ(accepted->Read(&byte, 1, 5.0), 1);
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(accepted->Write("y", 1, 5.0), 1);
    EXPECT_EQ(client.Read(&byte, 1, 5.0), 1);
    EXPECT_EQ(byte, 'y');
    for (int fd : files)
        close(fd);
}
#endif

}  // namespace
