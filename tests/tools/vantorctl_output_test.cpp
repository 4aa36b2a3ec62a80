// vantorctl as a user runs it: what it prints, and what its exit status says.
#include "registry_fixture.h"
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using namespace registry_test;

// Runs vantorctl; its standard output's lines and its exit status.
struct run {
    std::vector<std::string> lines;
    int status;
};

run vantorctl(const std::vector<std::string>& args)
{
    vantor_test::child program("vantorctl", args);
    run result{{}, -1};
    if (!program.started())
        return result;
    for (std::string line; program.read_line(line);)
        result.lines.push_back(line);
    result.status = program.wait();
    return result;
}

using VantorctlRegQuery = RegistryFileTest;

// No name or string may reach the terminal as a control character or an escape sequence, nor
// pass for a line of the listing.
TEST_F(VantorctlRegQuery, ShowsControlCharactersEscaped)
{
    std::string k = key();
    const struct {
        std::string name, data, shown;
    } values[] = {
        {"1 esc\x1b[2J", "red\x1b[31m\a", "    1 esc\\x1b[2J\tREG_SZ\tred\\x1b[31m\\x07"},
        {"2 lines", "a\r\nb\tc\x7f", "    2 lines\tREG_SZ\ta\\r\\nb\\tc\\x7f"},
        {"3 c1",
         "\xc2\x9b"
         "1m \xc3\xbc C:\\x",
         "    3 c1\tREG_SZ\t\\xc2\\x9b1m \xc3\xbc C:\\x"},
        {"4 line\nbreak", "", "    4 line\\nbreak\tREG_SZ\t"},
    };
    std::vector<std::string> expected = {"HKCU\\" + k};
    for (const auto& v : values) {
        put_raw(cu, k, v.name.c_str(), REG_SZ, v.data.c_str(), static_cast<DWORD>(v.data.size() + 1));
        expected.push_back(v.shown);
    }
    put_raw(cu, key("sub\x1b]0;title\a"));
    expected.push_back("    sub\\x1b]0;title\\x07\\");

    run listing = vantorctl({"reg", "query", "HKCU\\" + k});
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.lines, expected);
    run one = vantorctl({"reg", "query", "HKCU\\" + k, "2 lines"});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.lines, std::vector<std::string>{"a\\r\\nb\\tc\\x7f"});
}

// What reg set writes, query shows; export, delete and import bring the tree back as it was.
TEST_F(VantorctlRegQuery, SetQueryExportDeleteImport_RoundTrip)
{
    using texts = std::vector<std::string>;
    const std::string k = "HKCU\\" + key();
    const texts listing = {k, "    Count\tREG_DWORD\t31", "    Sub\\"};
    EXPECT_EQ(vantorctl({"reg", "set", k, "Count", "dword", "31"}).status, 0);
    EXPECT_EQ(vantorctl({"reg", "set", k + "\\Sub", "Name", "sz", "a b"}).status, 0);
    EXPECT_EQ(vantorctl({"reg", "query", k}).lines, listing);
    EXPECT_EQ(vantorctl({"reg", "export", k, file}).status, 0);
    for (const std::string& gone : {k + "\\Sub", k})
        EXPECT_EQ(vantorctl({"reg", "delete", gone}).status, 0) << gone;
    EXPECT_NE(vantorctl({"reg", "query", k}).status, 0);
    EXPECT_EQ(vantorctl({"reg", "import", file}).status, 0);
    EXPECT_EQ(vantorctl({"reg", "query", k}).lines, listing);
    run one = vantorctl({"reg", "query", k + "\\Sub", "Name"});
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.lines, texts{"a b"});
}

#ifndef _WIN32
// In the suite's own prefix (under Wine the machine's bootstrap file is shared with other
// suites), once an install has made the bootstrap file, which then holds the locations itself.
TEST(VantorctlLocation, LinuxSetThenGet_GivesTheValue)
{
    const std::filesystem::path dravin =
        std::filesystem::path(std::getenv("WINPORT_PREFIX")) / "drive_c/ProgramData/Orvane/Dravin";
    std::filesystem::create_directories(dravin);
    std::ofstream(dravin / "dravinInit.ini") << "[dravin]\n";
    EXPECT_EQ(vantorctl({"location", "get", "data"}).status, 1) << "not set yet";
    EXPECT_EQ(vantorctl({"location", "set", "data", "D:\\measured data"}).status, 0);
    run got = vantorctl({"location", "get", "data"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.lines, std::vector<std::string>{"D:\\measured data"});
}
#endif

// A name that holds another kind of object keeps the event from being made.
TEST(VantorctlUserSignal, ExitStatusSaysWhetherTheEventCouldBeMade)
{
    HANDLE squatter = CreateMutexA(nullptr, FALSE, "ORVANE_DRAVIN_USER_CHANGED_EVENT");
    ASSERT_NE(squatter, nullptr);
    EXPECT_EQ(vantorctl({"user", "signal"}).status, 1);
    CloseHandle(squatter);
    EXPECT_EQ(vantorctl({"user", "signal"}).status, 0);
}

}  // namespace
