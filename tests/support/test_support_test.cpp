// The child-process helper that multi-process tests rely on.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>

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

// The guard of the programs gathered from suites that start no other program.
TEST(Child, NotStarted_WhereTheProgramRunsOnlySuitesThatStartNone)
{
#ifdef _WIN32
    _putenv_s("VANTOR_TEST_NO_PROCESSES", "1");
#else
    setenv("VANTOR_TEST_NO_PROCESSES", "1", 1);
#endif
    vantor_test::child helper("echo_args", {"0"});
#ifdef _WIN32
    _putenv_s("VANTOR_TEST_NO_PROCESSES", "");
#else
    unsetenv("VANTOR_TEST_NO_PROCESSES");
#endif
    EXPECT_FALSE(helper.started());
}

}  // namespace
