// Windows Sockets: version negotiation and the start count, and the socket calls with their
// Windows numbers, sets and error codes.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(WSAStartup, NegotiatesTheVersion)
{
    struct {
        WORD requested;
        int result;
        WORD version;
    } cases[] = {
        {MAKEWORD(2, 2), 0, MAKEWORD(2, 2)}, {MAKEWORD(1, 1), 0, MAKEWORD(1, 1)},
        {MAKEWORD(2, 0), 0, MAKEWORD(2, 0)}, {MAKEWORD(3, 0), 0, MAKEWORD(2, 2)},
        {MAKEWORD(2, 9), 0, MAKEWORD(2, 2)}, {MAKEWORD(0, 1), WSAVERNOTSUPPORTED, 0},
    };
    for (const auto& c : cases) {
        WSADATA data{};
        int rc = WSAStartup(c.requested, &data);
        EXPECT_EQ(rc, c.result) << std::hex << c.requested;
        if (rc == 0) {
            EXPECT_EQ(data.wVersion, c.version) << std::hex << c.requested;
            EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
            EXPECT_EQ(WSACleanup(), 0);
        }
    }
}

// Every start is counted; the last cleanup closes the sockets still open, and calls without a
// start fail as such.
TEST(WSACleanup, CountsStarts_TheLastClosesTheSocketsStillOpen)
{
    WSADATA data;
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WSACleanup(), 0);
}

// --- the socket calls -------------------------------------------------------------------

sockaddr_in loopback(int port = 0)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

class Sockets : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override
    {
        for (SOCKET s : opened)
            closesocket(s);
        WSACleanup();
    }

    SOCKET make(int family = AF_INET)
    {
        SOCKET s = socket(family, SOCK_STREAM, 0);
        if (s != INVALID_SOCKET)
            opened.push_back(s);
        return s;
    }

    // A socket listening on a loopback port of the system's choice.
    SOCKET listening(int& port)
    {
        SOCKET s = make();
        sockaddr_in address = loopback();
        int length = sizeof address;
        if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 4) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return INVALID_SOCKET;
        EXPECT_EQ(address.sin_family, AF_INET);
        port = ntohs(address.sin_port);
        return s;
    }

    int connect_to(SOCKET s, int port)
    {
        sockaddr_in address = loopback(port);
        return connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    // A connected pair: the client's end and the server's.
    bool pair(SOCKET& client, SOCKET& server)
    {
        int port = 0;
        SOCKET l = listening(port);
        client = make();
        if (l == INVALID_SOCKET || connect_to(client, port) != 0)
            return false;
        server = accept(l, nullptr, nullptr);
        if (server == INVALID_SOCKET)
            return false;
        opened.push_back(server);
        return true;
    }

    std::vector<SOCKET> opened;
};

int last_error_of(int result)
{
    return result == SOCKET_ERROR ? WSAGetLastError() : 0;
}

TEST_F(Sockets, Failures_GiveTheirWinsockCodes)
{
    int port = 0;
    SOCKET l = listening(port);
    ASSERT_NE(l, INVALID_SOCKET);

    SOCKET refused = make();
    SOCKET unused = make();
    sockaddr_in address = loopback();
    ASSERT_EQ(bind(unused, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    int length = sizeof address;
    ASSERT_EQ(getsockname(unused, reinterpret_cast<sockaddr*>(&address), &length), 0);
    int nobody = ntohs(address.sin_port);  // bound, never listening

    SOCKET taken = make();
    address = loopback(port);
    SOCKET client, server;
    ASSERT_TRUE(pair(client, server));
    u_long on = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
    ASSERT_EQ(ioctlsocket(l, FIONBIO, &on), 0);
    SOCKET closed = socket(AF_INET, SOCK_STREAM, 0);
    closesocket(closed);
    int value = 1;
    char byte;

    struct row {
        const char* what;
        int error;
        int expected;
    } rows[] = {
        {"connect where nothing listens", last_error_of(connect_to(refused, nobody)), WSAECONNREFUSED},
        {"bind to a listening port", last_error_of(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address)),
         WSAEADDRINUSE},
        {"recv without data, non-blocking", last_error_of(recv(client, &byte, 1, 0)), WSAEWOULDBLOCK},
        {"accept without a client, non-blocking", accept(l, nullptr, nullptr) == INVALID_SOCKET ? WSAGetLastError() : 0,
         WSAEWOULDBLOCK},
        {"closesocket of a closed socket", last_error_of(closesocket(closed)), WSAENOTSOCK},
        {"socket of an unknown family", socket(12345, SOCK_STREAM, 0) == INVALID_SOCKET ? WSAGetLastError() : 0,
         WSAEAFNOSUPPORT},
        {"unknown option",
         last_error_of(setsockopt(client, SOL_SOCKET, 0x7777, reinterpret_cast<const char*>(&value), sizeof value)),
         WSAENOPROTOOPT},
        {"option without a value",
         last_error_of(setsockopt(client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&value), 0)),
         WSAEFAULT},
        {"shutdown of a listening socket", last_error_of(shutdown(l, SD_BOTH)), WSAENOTCONN},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.error, r.expected) << r.what;
}

TEST_F(Sockets, SendTowardsAPeerThatHasGone_FailsWithItsCode_WithoutSignal)
{
    SOCKET client, server;
    ASSERT_TRUE(pair(client, server));
    ASSERT_EQ(closesocket(server), 0);
    opened.pop_back();
    // The first sends may still go out; the peer answers them with a reset, after which
    // every send fails.
    int sent = 0;
    while (sent < 1000 && send(client, "x", 1, 0) == 1)
        ++sent;
    EXPECT_LT(sent, 1000);
    int error = WSAGetLastError();
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAECONNABORTED) << error;

    SOCKET other_client, other_server;
    ASSERT_TRUE(pair(other_client, other_server));
    ASSERT_EQ(shutdown(other_client, SD_SEND), 0);
    EXPECT_EQ(send(other_client, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
}

TEST_F(Sockets, Options_HaveWindowsNumbersAndValues)
{
    SOCKET s = make();
    SOCKET s6 = make(AF_INET6);
    ASSERT_NE(s, INVALID_SOCKET);
    struct row {
        SOCKET socket;
        int level, name, value;
    } rows[] = {
        {s, SOL_SOCKET, SO_KEEPALIVE, 1}, {s, SOL_SOCKET, SO_REUSEADDR, 1},   {s, SOL_SOCKET, SO_DONTROUTE, 1},
        {s, IPPROTO_TCP, TCP_NODELAY, 1}, {s6, IPPROTO_IPV6, IPV6_V6ONLY, 0}, {s6, IPPROTO_IPV6, IPV6_V6ONLY, 1},
    };
    for (const row& r : rows) {
        if (r.socket == INVALID_SOCKET)
            continue;
        EXPECT_EQ(setsockopt(r.socket, r.level, r.name, reinterpret_cast<const char*>(&r.value), sizeof r.value), 0)
            << r.name;
        int got = 0, length = sizeof got;
        EXPECT_EQ(getsockopt(r.socket, r.level, r.name, reinterpret_cast<char*>(&got), &length), 0) << r.name;
        EXPECT_EQ(got != 0, r.value != 0) << r.name;
    }

    linger lingering = {1, 1};
    ASSERT_EQ(setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lingering), sizeof lingering), 0);
    lingering = {};
    int length = sizeof lingering;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&lingering), &length), 0);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(lingering.l_onoff, 1);
    EXPECT_EQ(lingering.l_linger, 1);

    int type = 0, error = -1;
    length = sizeof type;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    length = sizeof error;
    ASSERT_EQ(getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, 0);
}

// Windows takes the limits in milliseconds, and a blocking receive that runs out of its
// limit fails with a time-out and leaves the connection usable.
TEST_F(Sockets, ReceiveTimeLimit_IsMillisecondsAndEndsInATimeOut)
{
    SOCKET client, server;
    ASSERT_TRUE(pair(client, server));
    auto set_limit = [server](DWORD ms) {
        return setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    };
    // Linux keeps the limit in its clock's ticks; half a second is a whole number of them.
    ASSERT_EQ(set_limit(500), 0);
    DWORD got = 0;
    int length = sizeof got;
    ASSERT_EQ(getsockopt(server, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&got), &length), 0);
    EXPECT_EQ(got, 500u);
    ASSERT_EQ(set_limit(20), 0);
    char byte = 0;
    EXPECT_EQ(last_error_of(recv(server, &byte, 1, 0)), WSAETIMEDOUT);
    ASSERT_EQ(send(client, "x", 1, 0), 1);
    EXPECT_EQ(recv(server, &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'x');
}

TEST_F(Sockets, Select_OnCountedSets_KeepsTheReadySockets)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(5, &set);
    FD_SET(5, &set);
    FD_SET(7, &set);
    EXPECT_EQ(set.fd_count, 2u);
    FD_CLR(5, &set);
    EXPECT_EQ(set.fd_count, 1u);
    EXPECT_FALSE(FD_ISSET(5, &set));
    EXPECT_TRUE(FD_ISSET(7, &set));

    SOCKET client, server;
    ASSERT_TRUE(pair(client, server));
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_SET(server, &readable);
    FD_ZERO(&writable);
    FD_SET(client, &writable);
    timeval none = {0, 0};
    EXPECT_EQ(select(0, &readable, &writable, nullptr, &none), 1);
    EXPECT_EQ(readable.fd_count, 0u);
    EXPECT_TRUE(FD_ISSET(client, &writable));

    ASSERT_EQ(send(client, "x", 1, 0), 1);
    FD_ZERO(&readable);
    FD_SET(client, &readable);
    FD_SET(server, &readable);
    timeval a_while = {5, 0};
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &a_while), 1);
    EXPECT_EQ(readable.fd_count, 1u);
    EXPECT_TRUE(FD_ISSET(server, &readable));

    FD_ZERO(&readable);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &none), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST_F(Sockets, GetAddrInfo_GivesWindowsAddresses)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    struct row {
        const char* host;
        int family;
        size_t length;
    } rows[] = {{"127.0.0.1", AF_INET, sizeof(sockaddr_in)}, {"::1", AF_INET6, sizeof(sockaddr_in6)}};
    for (const row& r : rows) {
        addrinfo* found = nullptr;
        ASSERT_EQ(getaddrinfo(r.host, "4321", &hints, &found), 0) << r.host;
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->ai_family, r.family);
        EXPECT_EQ(found->ai_socktype, SOCK_STREAM);
        EXPECT_EQ(found->ai_addrlen, r.length);
        EXPECT_EQ(found->ai_addr->sa_family, r.family);
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_port), 4321);
        EXPECT_EQ(found->ai_next, nullptr);
        freeaddrinfo(found);
    }
    addrinfo* found = nullptr;
    EXPECT_EQ(getaddrinfo("not an address", "1", &hints, &found), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

}  // namespace
