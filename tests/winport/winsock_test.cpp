// Windows Sockets start-up: version negotiation and the start count.
#include <winport/winport.h>

#include <gtest/gtest.h>

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

TEST(WSACleanup, CountsStarts_AndFailsWhenNoneIsLeft)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

}  // namespace
