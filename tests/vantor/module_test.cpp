// Loading and unloading the module, without calling it.
#include <winport/winport.h>

#include "test_support.h"

#include <gtest/gtest.h>

namespace {

// How many Windows Sockets starts are outstanding, found by cleaning them up; the starts are
// given back afterwards.
int outstanding_socket_starts()
{
    int n = 0;
    while (WSACleanup() == 0)
        ++n;
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSADATA data;
    for (int i = 0; i < n; ++i)
        WSAStartup(MAKEWORD(2, 2), &data);
    return n;
}

TEST(Module, LoadStartsSocketsTwice_TheLastUnloadStopsThem_AndLeavesNoThread)
{
    int threads_before = vantor_test::thread_count();
    ASSERT_EQ(outstanding_socket_starts(), 0);
    HMODULE module = LoadLibraryA("vantor.dll");
    ASSERT_NE(module, nullptr) << "error " << GetLastError();
    EXPECT_EQ(LoadLibraryA("vantor.dll"), module);
    EXPECT_EQ(outstanding_socket_starts(), 2);
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(outstanding_socket_starts(), 2) << "still referenced";
    ASSERT_TRUE(FreeLibrary(module));
    EXPECT_EQ(outstanding_socket_starts(), 0);
    EXPECT_EQ(vantor_test::thread_count(), threads_before);
}

}  // namespace
