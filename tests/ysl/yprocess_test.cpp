// Processes by identifier: starting with and without pipes, exit codes, waits, lookups and
// ends, against a helper program of tests/helpers.
#include <ysl/ydiag_capture.h>
#include <ysl/yprocess_win32.h>

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

std::string helper_line(const std::string& program, const std::string& args)
{
    return "\"" + vantor_test::helper_path(program) + "\" " + args;
}

std::string helper_line(const std::string& args)
{
    return helper_line("process_helper", args);
}

// A helper started with its three pipes; whatever still runs at the end is terminated.
struct piped {
    explicit piped(const std::string& cmdline, DWORD prio = 0)
    {
        pid = YProcess_CreateWithPipes(cmdline.c_str(), prio, &out, &err, &in);
    }
    ~piped()
    {
        for (int fd : {out, err, in})
            if (fd != -1)
                _close(fd);
        if (pid && YProcess_IsAlive(pid))
            YProcess_Destroy(pid);
    }
    std::string line()
    {
        std::string text;
        char c;
        while (_read(out, &c, 1) == 1 && c != '\n')
            if (c != '\r')
                text += c;
        return text;
    }
    void close_stdin()
    {
        _close(in);
        in = -1;
    }
    YPROCESS_ID pid = 0;
    int out = -1, err = -1, in = -1;
};

// The lines a descriptor gives up to its end, without their line ends.
std::vector<std::string> lines_of(int fd)
{
    std::vector<std::string> lines;
    std::string line;
    for (char c; _read(fd, &c, 1) == 1;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    return lines;
}

// A handle that keeps the process (and its exit code) known after its end, as a caller that
// watches it would hold one: without one, a process that has ended is gone, and calls that
// name it by its identifier fail.
struct held {
    explicit held(YPROCESS_ID pid)
        : h(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid))
    {
    }
    ~held()
    {
        if (h)
            CloseHandle(h);
    }
    DWORD exit_code()
    {
        WaitForSingleObject(h, INFINITE);
        DWORD code = 0xDEADBEEF;
        GetExitCodeProcess(h, &code);
        return code;
    }
    HANDLE h;
};

std::string cwd()
{
    char buf[MAX_PATH];
    return _getcwd(buf, MAX_PATH) ? buf : "";
}

#ifndef _WIN32
// The pipe ends this process holds.
int pipe_descriptors()
{
    int n = 0;
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        n += std::filesystem::read_symlink(e.path(), ec).string().rfind("pipe:", 0) == 0;
    return n;
}
#endif

// --- starting ------------------------------------------------------------------------------

TEST(YProcess, CreateWithPipes_ChildReadsStdin_WritesStdoutAndStderr)
{
    piped p(helper_line("echo"));
    ASSERT_NE(p.pid, 0u);
    held process(p.pid);
    const char text[] = "first line\nsecond\n";
    ASSERT_EQ(_write(p.in, text, sizeof text - 1), static_cast<int>(sizeof text - 1));
    p.close_stdin();
    EXPECT_EQ(lines_of(p.out), (std::vector<std::string>{"first line", "second"}));
    EXPECT_EQ(lines_of(p.err), std::vector<std::string>{"to stderr"});
    int status = -1;
    EXPECT_EQ(YProcess_GetExitStatus(p.pid, &status), 1);
    EXPECT_EQ(status, 0);
}

// Destroy ends a running program at once, with the code 0.
TEST(YProcess, CreateWithPipes_NullOutParameters_StartsAndKeepsNoPipeEnd_DestroyEndsIt)
{
#ifndef _WIN32
    int before = pipe_descriptors();
#endif
    YPROCESS_ID pid = YProcess_CreateWithPipes(helper_line("quiet").c_str(), 0, nullptr, nullptr, nullptr);
    ASSERT_NE(pid, 0u);
    held process(pid);
#ifndef _WIN32
    EXPECT_EQ(pipe_descriptors(), before);
#endif
    YDiagCapture cap;
    EXPECT_EQ(YProcess_IsAlive(pid), 1);
    EXPECT_EQ(YProcess_Destroy(pid), 1);
    EXPECT_EQ(process.exit_code(), 0u);
    EXPECT_TRUE(cap.records().empty());
}

TEST(YProcess, PriorityFlags_OutsideTheAcceptedSet_AreRefusedWithTheCommandLine)
{
    std::string line = helper_line("exit 0");
    struct row {
        bool pipes;
        DWORD prio;
        const char* function;
    } rows[] = {
        {false, BELOW_NORMAL_PRIORITY_CLASS, "YProcess_Create"},
        {false, ABOVE_NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS, "YProcess_Create"},
        {true, BELOW_NORMAL_PRIORITY_CLASS, "YProcess_CreateWithPipes"},
        {true, CREATE_NO_WINDOW, "YProcess_CreateWithPipes"},
    };
    for (const row& r : rows) {
        YDiagCapture cap;
        YPROCESS_ID pid = r.pipes ? YProcess_CreateWithPipes(line.c_str(), r.prio, nullptr, nullptr, nullptr)
                                  : YProcess_Create(line.c_str(), r.prio);
        EXPECT_EQ(pid, 0u) << r.prio;
        char expected[160];
        std::snprintf(expected, sizeof expected, "%s(): invalid prio (%08x) given for %.40s", r.function,
                      static_cast<unsigned>(r.prio), line.c_str());
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), std::vector<std::string>{expected});
    }
}

TEST(YProcess, CommandLine_ReachesTheChildSplitAsWindowsSplitsIt)
{
    struct row {
        const char* args;
        std::vector<std::string> argv;
    } rows[] = {
        {"0 a  b\tc", {"0", "a", "b", "c"}},        {"0 \"a b\" c", {"0", "a b", "c"}},
        {"0 a\\b c\\\\d", {"0", "a\\b", "c\\\\d"}}, {"0 a\\\"b", {"0", "a\"b"}},
        {"0 a\\\\\"b c\"", {"0", "a\\b c"}},        {"0 a\\\\\\\"b", {"0", "a\\\"b"}},
        {"0 \"a\\\\\" x", {"0", "a\\", "x"}},       {"0 \"\" x", {"0", "", "x"}},
        {"0 ab\"c d\"ef", {"0", "abc def"}},        {"0 \"trailing \\\"quote\\\"\"", {"0", "trailing \"quote\""}},
    };
    for (const row& r : rows) {
        piped p(helper_line("echo_args", r.args));
        ASSERT_NE(p.pid, 0u) << r.args;
        EXPECT_EQ(lines_of(p.out), r.argv) << r.args;
    }
}

TEST(YProcess, CommandLine_ShellCharacters_AreArgumentsOfTheNamedProgramOnly)
{
    std::string marker =
        (std::filesystem::temp_directory_path() / ("vantor-shell-" + std::to_string(_getpid()))).string();
    std::string args = "0 ; touch " + marker + " && $(touch " + marker + ") | cat > " + marker + " `touch` " + marker;
    piped p(helper_line("echo_args", args));
    ASSERT_NE(p.pid, 0u);
    EXPECT_EQ(lines_of(p.out), (std::vector<std::string>{"0", ";", "touch", marker, "&&", "$(touch", marker + ")", "|",
                                                         "cat", ">", marker, "`touch`", marker}));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(YProcess, Create_MissingProgram_ReportsTheDirectoryAndCause)
{
    YDiagCapture cap;
    EXPECT_EQ(YProcess_Create("no_such_program_here --flag", HIGH_PRIORITY_CLASS), YPROCESS_ID_NONE);
    EXPECT_EQ(cap.texts(YDIAG_ERRLOG), std::vector<std::string>{"YProcess_Create(): failed to start "
                                                                "no_such_program_here --flag in cwd " +
                                                                cwd() + ": " + std::strerror(ERROR_FILE_NOT_FOUND)});
}

#ifndef _WIN32
TEST(YProcess, LinuxCreateWithPipes_PipeFailsHalfway_ClosesWhatItMade)
{
    // The sanitizers check types through a pipe of their own the first time they meet them; a
    // start beforehand lets them meet every type while descriptors are still to be had. The
    // helper runs on to the end of the test: once it ended, its descriptors here would be
    // closed by the reaper thread at a moment of its own.
    piped warm_up(helper_line("wait-stdin 0"));
    // Descriptors are numbered from the lowest free one, and the limit bounds their numbers:
    // with every number below the highest in use taken, a limit two above leaves room for
    // exactly the first pipe.
    std::vector<int> open;
    for (auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        open.push_back(std::atoi(e.path().filename().c_str()));
    int highest = *std::max_element(open.begin(), open.end());
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;) {
        if (fd > highest) {
            close(fd);
            break;
        }
        filler.push_back(fd);
    }
    int before = pipe_descriptors();
    rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit tight = old;
    tight.rlim_cur = static_cast<rlim_t>(highest + 3);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    YDiagCapture cap;
    YPROCESS_ID pid = YProcess_CreateWithPipes(helper_line("exit 0").c_str(), 0, nullptr, nullptr, nullptr);
    setrlimit(RLIMIT_NOFILE, &old);
    int after = pipe_descriptors();
    for (int fd : filler)
        close(fd);
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (std::vector<std::string>{"create_pipes(): CreatePipe() [stderr] failed: 4)",
                                        "YProcess_CreateWithPipes(): create_pipes() failed"}));
    EXPECT_EQ(after, before);
}
#endif

// --- exit codes and waits ------------------------------------------------------------------

// Every accepted priority starts the program; the status is the code it ended with.
TEST(YProcess, PriorityFlags_InTheAcceptedSet_Start_GetExitStatusGivesTheCode)
{
    const std::pair<DWORD, int> rows[] = {{0u, 0}, {0x20u, 3}, {0x80u, 255}, {0x200u, 7}, {0x40u, 1}};
    for (const auto& [prio, code] : rows) {
        YDiagCapture cap;
        piped p(helper_line("wait-stdin " + std::to_string(code)), prio);
        ASSERT_NE(p.pid, 0u) << prio;
        held process(p.pid);
        p.close_stdin();
        int status = -1;
        EXPECT_EQ(YProcess_GetExitStatus(p.pid, &status), 1) << prio;
        EXPECT_EQ(status, code);
        EXPECT_TRUE(cap.records().empty());
    }
}

TEST(YProcess, GetExitStatus_AfterTerminateProcess_GivesTheTerminationCode)
{
    piped p(helper_line("hang"));
    ASSERT_EQ(p.line(), "ready");
    held process(p.pid);
    ASSERT_TRUE(TerminateProcess(process.h, 42));
    int status = -1;
    EXPECT_EQ(YProcess_GetExitStatus(p.pid, &status), 1);
    EXPECT_EQ(status, 42);
}

#ifndef _WIN32
TEST(YProcess, LinuxGetExitStatus_KilledBySignal_IsReportedAsAnAbnormalEnd)
{
    piped p(helper_line("hang"));
    ASSERT_EQ(p.line(), "ready");
    held process(p.pid);
    ASSERT_EQ(kill(static_cast<pid_t>(p.pid), SIGKILL), 0);
    YDiagCapture cap;
    int status = -1;
    EXPECT_EQ(YProcess_GetExitStatus(p.pid, &status), 0);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(
        cap.texts(YDIAG_ERRTRACE),
        std::vector<std::string>{"YProcess_GetExitStatus(): GetExitCodeProcess() returned 80000009 as exit code"});
}
#endif

TEST(YProcess, WaitForExit_LimitOnARunningProcess_GivesMinusOne_NoLimitWaitsForTheEnd)
{
    piped p(helper_line("wait-stdin 0"));
    ASSERT_NE(p.pid, 0u);
    held process(p.pid);
    EXPECT_EQ(YProcess_IsAlive(0), 0);
    EXPECT_EQ(YProcess_IsAlive(static_cast<YPROCESS_ID>(_getpid())), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(YProcess_WaitForExit(p.pid, 0.5), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_TRUE(YProcess_IsAlive(p.pid));
    p.close_stdin();
    EXPECT_EQ(YProcess_WaitForExit(p.pid, -1.0), 1);
    EXPECT_FALSE(YProcess_IsAlive(p.pid));
}

#ifndef _WIN32
bool is_zombie(YPROCESS_ID pid)
{
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return false;
    char buf[512] = {};
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const char* close = std::strrchr(buf, ')');
    return n > 0 && close && close[1] == ' ' && close[2] == 'Z';
}

TEST(YProcess, LinuxShortLivedChildren_NobodyAsks_NoZombieIsLeft)
{
    std::vector<YPROCESS_ID> pids;
    for (int i = 0; i < 50; ++i) {
        YPROCESS_ID pid = YProcess_Create(helper_line("exit 0").c_str(), 0);
        ASSERT_NE(pid, 0u);
        pids.push_back(pid);
    }
    // The children are reaped by a thread of winport that tells nobody; so this looks, for as
    // long as 50 helpers could take to end many times over.
    auto zombies = [&] {
        int n = 0;
        for (YPROCESS_ID pid : pids)
            n += is_zombie(pid) || YProcess_IsAlive(pid);
        return n;
    };
    int left = zombies();
    for (int i = 0; i < 10000 && left != 0; ++i) {
        Sleep(1);
        left = zombies();
    }
    EXPECT_EQ(left, 0);
}
#endif

// --- lookups -------------------------------------------------------------------------------

// A copy of the helper under a name no other test uses, beside the original (so that it finds
// the same libraries).
class NamedHelper : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string original = vantor_test::helper_path("process_helper");
        std::string ext = std::filesystem::path(original).extension().string();
        name_ = "pH_" + std::to_string(_getpid()) + ext;
        path_ = (std::filesystem::path(original).parent_path() / name_).string();
        std::filesystem::copy_file(original, path_, std::filesystem::copy_options::overwrite_existing);
        helper_ = std::make_unique<piped>("\"" + path_ + "\" hang");
        ASSERT_EQ(helper_->line(), "ready");
    }
    void TearDown() override
    {
        helper_.reset();
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    static std::string upper(std::string s)
    {
        for (char& c : s)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    }
    std::string windows_path() const
    {
        char* full = _fullpath(nullptr, path_.c_str(), MAX_PATH);
        std::string s = full ? full : "";
        std::free(full);
        return s;
    }
    std::string name_, path_;
    std::unique_ptr<piped> helper_;
};

TEST_F(NamedHelper, GetIDByName_FindsTheExactName_AndNoOtherLetterCase)
{
    EXPECT_EQ(YProcess_GetIDByName(name_.c_str()), helper_->pid);
    EXPECT_EQ(YProcess_GetIDByName(upper(name_).c_str()), YPROCESS_ID_NONE);
    EXPECT_EQ(YProcess_GetIDByName(path_.c_str()), YPROCESS_ID_NONE) << "a name, not a path";
}

TEST_F(NamedHelper, GetIDByImagePath_IgnoresLetterCase_AndConfirmsAQuotedFullPath)
{
    YDiagCapture cap;
    EXPECT_EQ(YProcess_GetIDByImagePath(upper(name_).c_str()), helper_->pid);
    EXPECT_EQ(YProcess_GetIDByImagePath(("\"" + upper(windows_path()) + "\"").c_str()), helper_->pid);
    EXPECT_EQ(YProcess_GetIDByImagePath(windows_path().c_str()), helper_->pid);
    std::string elsewhere = windows_path();
    elsewhere.insert(elsewhere.rfind('\\'), "\\elsewhere");
    EXPECT_EQ(YProcess_GetIDByImagePath(elsewhere.c_str()), 0u);
    EXPECT_EQ(YProcess_GetIDByImagePath(""), 0u);
    EXPECT_TRUE(cap.records(YDIAG_ERRTRACE).empty());
    EXPECT_TRUE(cap.records(YDIAG_ERRLOG).empty());
}

TEST(YProcess, GetParentID_InAHelper_IsTheProcessThatStartedIt)
{
    piped p(helper_line("parent"));
    ASSERT_NE(p.pid, 0u);
    EXPECT_EQ(p.line(), std::to_string(_getpid()));
}

#ifndef _WIN32
TEST(YProcess, LinuxIsAlive_AProcessOfAnotherUser_IsAlive)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a helper as another user";
    piped p(helper_line("as-user 65534 " + std::to_string(_getpid())));
    EXPECT_EQ(p.line(), "1");
}
#endif

// --- ending --------------------------------------------------------------------------------

TEST(YProcess, TerminateAndDestroy_PidZero_DoNothing)
{
    YDiagCapture cap;
    EXPECT_EQ(Yipc_TerminateProcess(0), 1);
    EXPECT_EQ(YProcess_Destroy(0), 1);
    EXPECT_TRUE(cap.records().empty());
}

TEST(YProcess, TerminateProcess_HelperThatHonoursTheCloseRequest_EndsPolitely)
{
    piped p(helper_line("close-on-request 5"));
    std::string ready = p.line();
    if (ready == "no-window")
        GTEST_SKIP() << "no top-level window can be made here (no display)";
    ASSERT_EQ(ready, "ready");
    held process(p.pid);
    YDiagCapture cap;
    EXPECT_EQ(Yipc_TerminateProcess(p.pid), 1);
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Yipc_TerminateProcess(): Terminate process id=" +
                                                    std::to_string(p.pid) + " with send WM_CLOSE"});
    EXPECT_EQ(process.exit_code(), 5u) << "ended by itself, not terminated";
}

TEST(YProcess, TerminateProcess_HelperThatIgnoresTheCloseRequest_IsTerminatedAfterTheWait)
{
    piped p(helper_line("ignore-close"));
    ASSERT_EQ(p.line(), "ready");
    held process(p.pid);
    YDiagCapture cap;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Yipc_TerminateProcess(p.pid), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10000));
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Yipc_TerminateProcess(): Terminate process id=" +
                                                    std::to_string(p.pid) + " with TerminateProcess()"});
    EXPECT_EQ(process.exit_code(), 0u);
}

}  // namespace

int main(int argc, char** argv)
{
    vantor_test::private_prefix prefix;
    // The steps of ending a process are traced on the channel "default".
#ifdef _WIN32
    _putenv_s("YTRACE", "default:5");
#else
    setenv("YTRACE", "default:5", 1);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
