// Where records go: the file named by YERRLOG, with traces chosen by YTRACE. The variables
// are read once, at the first report, so this program sets them before anything reports.
#include <ysl/ydiag.h>
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string log_path;

std::string log_text()
{
    std::ifstream in(log_path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Sink, ErrorLogAndChosenTraces_ReachTheFile)
{
    YErrLog("first %s", "record");
    YTrace("default", 5, "trace at level %d", 5);
    YTrace("default", 6, "too detailed");
    YTrace("net", 1, "channel net at %d", 1);
    YTrace("net", 2, "above the channel's level");
    YTrace("io", 1, "channel not chosen");
    YErrTrace("kept in the context, not written");

    std::string text = log_text();
    EXPECT_NE(text.find(" error "), std::string::npos) << text;
    EXPECT_NE(text.find("ydiag_sink_test.cpp("), std::string::npos) << text;
    EXPECT_NE(text.find("): first record\n"), std::string::npos) << text;
    EXPECT_NE(text.find("default:5 "), std::string::npos) << text;
    EXPECT_NE(text.find("trace at level 5"), std::string::npos) << text;
    EXPECT_NE(text.find("channel net at 1"), std::string::npos) << text;
    EXPECT_EQ(text.find("too detailed"), std::string::npos) << text;
    EXPECT_EQ(text.find("above the channel's level"), std::string::npos) << text;
    EXPECT_EQ(text.find("channel not chosen"), std::string::npos) << text;
    EXPECT_EQ(text.find("not written"), std::string::npos) << text;
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    log_path = ::testing::TempDir() + "ydiag-sink-" + std::to_string(GetCurrentProcessId()) + ".log";
    std::remove(log_path.c_str());
#ifdef _WIN32
    _putenv_s("YERRLOG", log_path.c_str());
    _putenv_s("YTRACE", "default:5,net:1");
#else
    setenv("YERRLOG", log_path.c_str(), 1);
    setenv("YTRACE", "default:5,net:1", 1);
#endif
    int rc = RUN_ALL_TESTS();
    std::remove(log_path.c_str());
    return rc;
}
