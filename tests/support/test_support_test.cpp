// The child-process helper that multi-process tests rely on.
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

TEST(Child, PassesArgumentsUnchanged_AndReturnsTheExitCode)
{
    std::vector<std::string> args{"3", "two words", "quote\"inside", "trailing\\", "back\\\\slashes\\\"", ""};
    vantor_test::child helper("echo_args", args);
    ASSERT_TRUE(helper.started());
    std::string line;
    for (const std::string& expected : args) {
        ASSERT_TRUE(helper.read_line(line));
        EXPECT_EQ(line, expected);
    }
    EXPECT_FALSE(helper.read_line(line));
    EXPECT_EQ(helper.wait(), 3);
}

}  // namespace
