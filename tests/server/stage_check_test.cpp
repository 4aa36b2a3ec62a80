// Runs after every case on the server port: none may have left a listener on it or a
// vantor.exe of this build running.
#include "server_test_support.h"

#include <test_support.h>
#include <ysl/yprocess_win32.h>

#include <gtest/gtest.h>

TEST(ServerStage, NothingListensAndNoServerOfThisBuildRuns)
{
    EXPECT_FALSE(server_test::port_listens());
    EXPECT_EQ(YProcess_GetIDByImagePath(server_test::server_path().c_str()), YPROCESS_ID_NONE);
    EXPECT_EQ(YProcess_GetIDByImagePath(server_test::build_program("idle\\vantor.exe").c_str()), YPROCESS_ID_NONE);
}
