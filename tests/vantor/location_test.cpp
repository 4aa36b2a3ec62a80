// The data locations: the getters' buffer arithmetic, the bootstrap file and its fallbacks,
// the setters' saving, the string helpers, and processes that set locations at once.
#include <vantor/vantor.h>

#include "vantor_configuration.h"

#include <test_support.h>
#include <ysl/fastfile.h>
#include <ysl/fileops.h>
#include <ysl/ydiag_capture.h>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using texts = std::vector<std::string>;

// A bootstrap file that names a configuration file of this process; both start afresh in
// every case (under Wine the machine's folder outlives the test).
class Locations : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[MAX_PATH] = "";
        ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE));
        dir = std::string(folder) + "\\Orvane\\Dravin";
        int rc = SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr);
        ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS) << rc;
        bootstrap = dir + "\\dravinInit.ini";
        config = dir + "\\vantor-test-" + std::to_string(GetCurrentProcessId()) + ".ini";
        file_remove(config.c_str());
        write(bootstrap, "[dravin]\ndravin.ini=" + config + "\n");
    }
    void TearDown() override { file_remove(config.c_str()); }

    static void write(const std::string& path, const std::string& text)
    {
        ASSERT_NE(YFastFile_WriteLinesAtOnce(path.c_str(), text.data(), unsigned(text.size()), 2), -1);
    }
    static std::string read(const std::string& path)
    {
        std::string text;
        YFastFile_ReadLinesAtOnce(path.c_str(), text);
        return text;
    }

    std::string dir, bootstrap, config;
};

TEST_F(Locations, Getters_BufferArithmetic)
{
    ASSERT_TRUE(setVantorServerLocation("abc"));
    ASSERT_TRUE(setVantorDataLocation(""));
    char buf[8] = "zzzzzzz";
    for (int size : {3, 0, -5})
        EXPECT_EQ(getVantorServerLocation(buf, size), 4) << "too small: the size needed";
    EXPECT_STREQ(buf, "zzzzzzz");
    EXPECT_EQ(getVantorServerLocation(buf, 4), 4) << "exactly n + 1";
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(getVantorDataLocation(buf, 1), 1);
    EXPECT_STREQ(buf, "");
}

TEST_F(Locations, Getter_MissingFileOrKey)
{
    char buf[8];
    YDiagCapture cap;
    EXPECT_EQ(getVantorTempDataLocation(buf, 8), -1) << "no configuration file";
    ASSERT_TRUE(setVantorServerLocation("s"));
    YDiagCapture no_key;
    EXPECT_EQ(getVantorTempDataLocation(buf, 8), -1);
    EXPECT_EQ(no_key.texts(YDIAG_ERRTRACE),
              texts{"getVantorConfigString(): iniFile(" + config + ").GetStringEntry(vantor,tempDataLocation) failed"});
}

TEST_F(Locations, Setters_KeepTheRestOfTheFile_AndRefuseALineBreakOrNoLocation)
{
    write(config, "; kept\n[other]\nx=1\n[vantor]\nserverLocation = old\n");
    ASSERT_TRUE(setVantorServerLocation("C:\\srv\\vantor.exe -x"));
    ASSERT_TRUE(setVantorDataLocation("D:\\data"));
    ASSERT_TRUE(setVantorTempDataLocation("T:\\tmp"));
    const std::string after = "; kept\n[other]\nx=1\n[vantor]\nserverLocation =C:\\srv\\vantor.exe -x\n"
                              "dataLocation=D:\\data\ntempDataLocation=T:\\tmp\n";
    EXPECT_EQ(read(config), after);
    EXPECT_FALSE(setVantorServerLocation("a\r\n[vantor]"));
    for (auto set : {setVantorServerLocation, setVantorDataLocation, setVantorTempDataLocation})
        EXPECT_FALSE(set(nullptr));
    EXPECT_EQ(read(config), after);
    std::string s, d, t;
    EXPECT_TRUE(getServerLocation(s) && getDataBaseLocation(d) && getTempDataBaseLocation(t));
    EXPECT_EQ(s + "|" + d + "|" + t, "C:\\srv\\vantor.exe -x|D:\\data|T:\\tmp");
}

TEST_F(Locations, BootstrapWithoutEntry_TheConfigurationLivesInTheBootstrapFile)
{
    write(bootstrap, "[dravin]\n");
    ASSERT_TRUE(setVantorTempDataLocation("T:\\x"));
    EXPECT_EQ(read(bootstrap), "[dravin]\n[vantor]\ntempDataLocation=T:\\x\n");
    char buf[8];
    EXPECT_EQ(getVantorTempDataLocation(buf, 8), 5);
    EXPECT_STREQ(buf, "T:\\x");
}

TEST_F(Locations, BrokenBootstrap_FailsEverything)
{
    write(bootstrap, "not an ini file\n");
    char buf[8];
    YDiagCapture cap;
    EXPECT_EQ(getVantorServerLocation(buf, 8), -1);
    EXPECT_FALSE(setVantorServerLocation("x"));
    std::string s = "keep";
    EXPECT_FALSE(getServerLocation(s) || getDataBaseLocation(s) || getTempDataBaseLocation(s));
    EXPECT_EQ(s, "keep");
    texts t = cap.texts(YDIAG_ERRTRACE);
    EXPECT_EQ(t.back(), "getTempDataBaseLocation(): getVantorTempDataLocation() failed");
    EXPECT_NE(std::find(t.begin(), t.end(), "getDravinIniFile: iniFile(" + bootstrap + ").IsOpen() failed"), t.end());
    EXPECT_NE(std::find(t.begin(), t.end(), "setVantorConfigString(): iniFile(" + bootstrap + ").IsOpen() failed"),
              t.end());
}

#ifndef _WIN32
// A bootstrap or configuration file that is a device, a pipe or absurdly large is refused
// with a report: read, it would exhaust the memory or block the caller for ever.
TEST_F(Locations, LinuxNotARegularFileOrTooLarge_IsRefused)
{
    const std::string prefix = std::getenv("WINPORT_PREFIX");
    const std::string fifo = prefix + "/config.fifo", large = prefix + "/large.ini";
    const std::string linux_bootstrap = prefix + "/drive_c/ProgramData/Orvane/Dravin/dravinInit.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(large.c_str()).close();  // then made large, sparse
    ASSERT_EQ(truncate(large.c_str(), 17 << 20), 0);
    struct {
        std::string config;  // named by the bootstrap file, or "" for a bootstrap that is the FIFO
        std::string fault;
    } cases[] = {{"/dev/zero", "/dev/zero is not a regular file"},
                 {fifo, fifo + " is not a regular file"},
                 {large, large + " is too large (17825792 bytes)"},
                 {"", bootstrap + " is not a regular file"}};
    for (const auto& c : cases) {
        if (c.config.empty()) {
            ASSERT_EQ(unlink(linux_bootstrap.c_str()), 0);
            ASSERT_EQ(mkfifo(linux_bootstrap.c_str(), 0600), 0);
        } else {
            write(bootstrap, "[dravin]\ndravin.ini=" + c.config + "\n");
        }
        YDiagCapture cap;
        char buf[8];
        EXPECT_EQ(getVantorServerLocation(buf, 8), -1) << c.config;
        EXPECT_FALSE(setVantorServerLocation("x")) << c.config;
        texts t = cap.texts(YDIAG_ERRTRACE);
        EXPECT_GE(std::count_if(t.begin(), t.end(),
                                [&](const std::string& e) { return e.find(c.fault) != std::string::npos; }),
                  2)
            << c.config << ": one report or more for each call";
    }
    unlink(linux_bootstrap.c_str());
}

// Where the configuration file may be written but its folder takes no new file, a setter
// writes the file in place. The superuser may make files in any folder, so the setter runs in
// a helper that has become another user, in a prefix of that user's own.
TEST_F(Locations, LinuxFolderThatTakesNoNewFile_TheFileIsWrittenInPlace)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs the superuser, to start a helper as another user";
    const unsigned nobody = 65534;
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / ("vantor-in-place-" + std::to_string(getpid()));
    const fs::path helper_prefix = base / "prefix", folder = base / "config", file = folder / "dravin.ini";
    fs::create_directories(helper_prefix / "drive_c/ProgramData/Orvane/Dravin");
    fs::create_directories(folder);
    for (const fs::path& p : {base, folder})
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(helper_prefix / "drive_c/ProgramData/Orvane/Dravin/dravinInit.ini")
        << "[dravin]\r\ndravin.ini=" << file.string() << "\r\n";
    std::ofstream(file) << "[vantor]\r\nserverLocation=old\r\n";
    ASSERT_EQ(chown(file.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chown(helper_prefix.c_str(), nobody, nobody), 0);
    for (const auto& entry : fs::recursive_directory_iterator(helper_prefix))
        ASSERT_EQ(chown(entry.path().c_str(), nobody, nobody), 0);
    struct stat before, after;
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    const std::string saved_prefix = std::getenv("WINPORT_PREFIX"), saved_run = std::getenv("XDG_RUNTIME_DIR");
    setenv("WINPORT_PREFIX", helper_prefix.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", helper_prefix.c_str(), 1);
    vantor_test::child setter("set_location", {"server", "1", std::to_string(nobody)});
    setenv("WINPORT_PREFIX", saved_prefix.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", saved_run.c_str(), 1);
    EXPECT_EQ(setter.wait(), 0);
    EXPECT_EQ(read(file.string()), "[vantor]\nserverLocation=server-0\n");
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "written in place";
    fs::remove_all(base);
}
#endif

// Each helper sets its own location many times while the others do the same; every process
// reads, changes and saves the whole file, so without serialisation a save would drop the
// values that another process saved in between.
TEST_F(Locations, ProcessesSettingDifferentLocationsAtOnce_AllValuesSurvive)
{
    std::vector<std::unique_ptr<vantor_test::child>> children;
    for (const char* w : {"server", "data", "temp"})
        children.push_back(std::make_unique<vantor_test::child>("set_location", std::vector<std::string>{w, "40"}));
    for (auto& c : children) {
        ASSERT_TRUE(c->started());
        EXPECT_EQ(c->wait(), 0);
    }
    char buf[3][32];
    EXPECT_EQ(getVantorServerLocation(buf[0], 32), int(sizeof "server-39"));
    EXPECT_EQ(getVantorDataLocation(buf[1], 32), int(sizeof "data-39"));
    EXPECT_EQ(getVantorTempDataLocation(buf[2], 32), int(sizeof "temp-39"));
    EXPECT_EQ(texts(buf, buf + 3), (texts{"server-39", "data-39", "temp-39"}));
}

}  // namespace
