// Processes and waits on them: exit codes seen from every handle, snapshots, image names,
// what a child inherits, and one wait over every kind of waitable handle.
#include <winport/winport.h>

#include "loopback.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#endif

namespace {

using vantor_test::child;

TEST(Process, ExitCode_StillActiveWhileRunning_ThenTheTerminationCode)
{
    child p("process_helper", {"hang"});
    ASSERT_EQ(p.next_line(), "ready");
    HANDLE h = p.process();
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    ASSERT_TRUE(TerminateProcess(h, 42));
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(TerminateProcess(h, 43));
    ASSERT_TRUE(GetExitCodeProcess(h, &code));
    EXPECT_EQ(code, 42u) << "an ended process keeps its code";
}

TEST(Process, ExitCode_ReadableInAnotherProcess_ThroughAHandleOpenedBeforeTheEnd)
{
    struct row {
        const char* how;
        bool terminate;
        DWORD code;
    } rows[] = {{"terminated", true, 42}, {"ended by itself", false, 3}};
    for (const row& r : rows) {
        child target("process_helper", {"wait-stdin", "3"});
        ASSERT_TRUE(target.started());
        child watcher("process_helper", {"watch", std::to_string(GetProcessId(target.process()))});
        ASSERT_EQ(watcher.next_line(), "opened");
        if (r.terminate)
            TerminateProcess(target.process(), r.code);
        else
            target.close_stdin();
        EXPECT_EQ(watcher.next_line(), std::to_string(r.code)) << r.how;
        EXPECT_EQ(watcher.wait(), 0);
    }
}

TEST(Process, OpenProcess_NoSuchProcess_IsAnInvalidParameter)
{
    for (DWORD pid : {0u, 0x7FFFFFF0u}) {
        SetLastError(0);
        EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, pid), nullptr) << pid;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << pid;
    }
}

// Writing to a pipe whose reading end is closed fails, through the handle and through the
// run-time, and does not end the writer (on Linux, SIGPIPE would).
TEST(Process, WriteToAPipeWithoutReader_FailsWithNoData)
{
    for (bool runtime : {false, true}) {
        HANDLE r = nullptr, w = nullptr;
        ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
        CloseHandle(r);
        SetLastError(0);
        if (runtime) {
            int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(w), 0);
            errno = 0;
            EXPECT_EQ(_write(fd, "x", 1), -1);
            EXPECT_EQ(errno, EINVAL);
            _close(fd);
        } else {
            DWORD written = 1;
            EXPECT_FALSE(WriteFile(w, "x", 1, &written, nullptr));
            EXPECT_EQ(written, 0u);
            CloseHandle(w);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA)) << (runtime ? "_write" : "WriteFile");
    }
}

// An unquoted program name may hold blanks: the parts of the line up to each blank are tried,
// shortest first, and the first that names a program runs, with the rest as its arguments.
// Where none does, or the program or its directory is missing, the start fails as such.
TEST(Process, CreateProcess_UnquotedNameWithBlanks_TheShortestPartThatNamesAProgramRuns_ElseFileNotFound)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("vt sp " + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir);
    const fs::path helper = vantor_test::helper_path("echo_args");
    for (const char* name : {"prog name.exe", "pre.exe", "pre fix.exe"})
        fs::copy_file(helper, dir / name, fs::copy_options::overwrite_existing);
    // Where the helper loads the compiler's run-time from its own folder (the 32-bit build).
    for (const fs::directory_entry& e : fs::directory_iterator(helper.parent_path()))
        if (e.path().extension() == ".dll")
            fs::copy_file(e.path(), dir / e.path().filename(), fs::copy_options::overwrite_existing);
    const std::string in_dir = (dir / "").string();
    struct row {
        std::string line;
        const char* output;  // the arguments as echo_args prints them; null: not started
    } rows[] = {
        {in_dir + "prog name.exe 0 \"q r\"", "0\nq r\n"},
        {in_dir + "prog name 0", "0\n"},
        {in_dir + "pre fix.exe 0", "fix.exe\n0\n"},
        {in_dir + "no such 0", nullptr},
        {"no_such_program_anywhere", nullptr},
        {"C:\\no_such_dir_here\\program.exe", nullptr},
    };
    for (const row& r : rows) {
        child p(vantor_test::command_line{r.line});
        ASSERT_EQ(p.started(), r.output != nullptr) << r.line;
        if (!p.started()) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << r.line;
            continue;
        }
        std::string text, line;
        while (p.read_line(line))
            text += line + "\n";
        EXPECT_EQ(text, r.output) << r.line;
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(Process, Snapshot_ListsThisProcessWithTheFullFileNameOfItsExecutable)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snap, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 e;
    e.dwSize = sizeof e;
    std::string name;
    int count = 0;
    for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e), ++count)
        if (e.th32ProcessID == GetCurrentProcessId())
            name = e.szExeFile;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    CloseHandle(snap);
    EXPECT_GT(count, 1);
    EXPECT_EQ(name, std::filesystem::path(vantor_test::program_path()).filename().string());
    EXPECT_GT(name.size(), 15u) << "longer than the kernel's short name";
}

#ifndef _WIN32
TEST(Process, LinuxSnapshot_InAscendingOrder_WithoutEndedProcesses)
{
    child ended("process_helper", {"exit", "0"});
    ASSERT_EQ(ended.wait(), 0);
    const DWORD ended_id = GetProcessId(ended.process());
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e;
    e.dwSize = sizeof e;
    DWORD last = 0;
    for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e)) {
        EXPECT_GT(e.th32ProcessID, last);
        EXPECT_NE(e.th32ProcessID, ended_id);
        last = e.th32ProcessID;
    }
    CloseHandle(snap);
}
#endif

TEST(Process, QueryFullProcessImageName_GivesTheWindowsPathOfTheExecutable)
{
    HANDLE self = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    char name[MAX_PATH];
    DWORD size = MAX_PATH;
    ASSERT_TRUE(QueryFullProcessImageNameA(self, 0, name, &size));
    char* expected = _fullpath(nullptr, vantor_test::program_path().c_str(), MAX_PATH);
    EXPECT_STREQ(name, expected);
    EXPECT_EQ(size, std::strlen(expected));
    size = 4;
    EXPECT_FALSE(QueryFullProcessImageNameA(self, 0, name, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::free(expected);
    CloseHandle(self);
}

#ifndef _WIN32
TEST(Process, LinuxCreateProcess_ChildGetsTheStandardDescriptorsOnly)
{
    // An inheritable pipe that the child is not told of.
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    ASSERT_TRUE(CreatePipe(&r, &w, &sa, 0));
    child p("process_helper", {"fds"});
    EXPECT_EQ(p.next_line(), "0 1 2");
    CloseHandle(r);
    CloseHandle(w);
}
#endif

unsigned WINAPI wait_for_event(void* event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

TEST(Process, WaitForMultipleObjects_SocketEventNamedEventThreadAndProcess_TheSignalledOneWins)
{
    SOCKET client = INVALID_SOCKET;
    const std::vector<std::function<void(SOCKET, HANDLE, HANDLE, child&)>> signal = {
        [&client](SOCKET listener, HANDLE, HANDLE, child&) { client = vantor_test::tcp_connect(listener); },
        [](SOCKET, HANDLE named, HANDLE, child&) { SetEvent(named); },
        [](SOCKET, HANDLE, HANDLE release, child&) { SetEvent(release); },
        [](SOCKET, HANDLE, HANDLE, child& p) { p.close_stdin(); },
    };
    for (DWORD which = 0; which < signal.size(); ++which) {
        SOCKET listener = vantor_test::tcp_listener();
        WSAEVENT socket_event = WSACreateEvent();
        ASSERT_EQ(WSAEventSelect(listener, socket_event, FD_ACCEPT), 0);
        std::string name = "vantor-mixed-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(which);
        HANDLE named = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, wait_for_event, release, 0, nullptr));
        child p("process_helper", {"wait-stdin", "0"});
        ASSERT_TRUE(p.started());
        HANDLE all[4] = {socket_event, named, thread, p.process()};
        EXPECT_EQ(WaitForMultipleObjects(4, all, FALSE, 200), static_cast<DWORD>(WAIT_TIMEOUT));
        signal[which](listener, named, release, p);
        EXPECT_EQ(WaitForMultipleObjects(4, all, FALSE, INFINITE), WAIT_OBJECT_0 + which);
        SetEvent(release);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(release);
        CloseHandle(named);
        WSACloseEvent(socket_event);
        vantor_test::tcp_close(listener);
        vantor_test::tcp_close(client);
        client = INVALID_SOCKET;
    }
}

}  // namespace
