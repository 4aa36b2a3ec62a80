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

// A helper started with a pipe on its standard input and output.
struct started {
    // With `whole`, args is the whole command line.
    explicit started(const std::string& args, bool whole = false)
    {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE in_read = nullptr, out_write = nullptr;
        CreatePipe(&in_read, &in, &sa, 0);
        CreatePipe(&out, &out_write, &sa, 0);
        SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_read;
        si.hStdOutput = out_write;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::string line = whole ? args : "\"" + vantor_test::helper_path("process_helper") + "\" " + args;
        ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
        CloseHandle(in_read);
        CloseHandle(out_write);
        if (ok)
            CloseHandle(pi.hThread);
    }
    ~started()
    {
        if (ok && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(pi.hProcess, 1);
        if (ok)
            CloseHandle(pi.hProcess);
        close_stdin();
        CloseHandle(out);
    }
    void close_stdin()
    {
        if (in)
            CloseHandle(in);
        in = nullptr;
    }
    std::string line()
    {
        std::string text;
        char c;
        DWORD got;
        while (ReadFile(out, &c, 1, &got, nullptr) && got == 1 && c != '\n')
            if (c != '\r')
                text += c;
        return text;
    }
    BOOL ok = FALSE;
    PROCESS_INFORMATION pi{};
    HANDLE in = nullptr, out = nullptr;
};

std::string own_executable()
{
#ifdef _WIN32
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
#else
    return std::filesystem::read_symlink("/proc/self/exe").string();
#endif
}

TEST(Process, ExitCode_StillActiveWhileRunning_ThenTheTerminationCode)
{
    started p("hang");
    ASSERT_TRUE(p.ok);
    ASSERT_EQ(p.line(), "ready");
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(p.pi.hProcess, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(GetProcessId(p.pi.hProcess), p.pi.dwProcessId);
    ASSERT_TRUE(TerminateProcess(p.pi.hProcess, 42));
    EXPECT_EQ(WaitForSingleObject(p.pi.hProcess, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(p.pi.hProcess, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(TerminateProcess(p.pi.hProcess, 43));
    ASSERT_TRUE(GetExitCodeProcess(p.pi.hProcess, &code));
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
        started target("wait-stdin 3");
        ASSERT_TRUE(target.ok);
        vantor_test::child watcher("process_helper", {"watch", std::to_string(target.pi.dwProcessId)});
        std::string line;
        ASSERT_TRUE(watcher.read_line(line));
        ASSERT_EQ(line, "opened");
        if (r.terminate)
            TerminateProcess(target.pi.hProcess, r.code);
        else
            target.close_stdin();
        ASSERT_TRUE(watcher.read_line(line));
        EXPECT_EQ(line, std::to_string(r.code)) << r.how;
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
TEST(Process, CreateProcess_UnquotedNameWithBlanks_TheShortestPartThatNamesAProgramRuns)
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("vt sp " + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir);
    for (const char* name : {"prog name.exe", "pre.exe", "pre fix.exe"})
        fs::copy_file(vantor_test::helper_path("echo_args"), dir / name, fs::copy_options::overwrite_existing);
    struct row {
        const char* line;
        const char* output;  // the arguments as echo_args prints them; null: not started
    } rows[] = {
        {"prog name.exe 0 \"q r\"", "0\nq r\n"},
        {"prog name 0", "0\n"},
        {"pre fix.exe 0", "fix.exe\n0\n"},
        {"no such 0", nullptr},
    };
    for (const row& r : rows) {
        started s((dir / r.line).string(), true);
        ASSERT_EQ(s.ok != FALSE, r.output != nullptr) << r.line;
        if (!s.ok) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << r.line;
            continue;
        }
        std::string text;
        char c;
        DWORD got;
        while (ReadFile(s.out, &c, 1, &got, nullptr) && got == 1)
            if (c != '\r')
                text += c;
        EXPECT_EQ(text, r.output) << r.line;
        WaitForSingleObject(s.pi.hProcess, INFINITE);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

TEST(Process, CreateProcess_MissingProgramOrDirectory_IsAFileNotFound)
{
    for (const char* missing : {"no_such_program_anywhere", "C:\\no_such_dir_here\\program.exe"}) {
        std::string line = missing;
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        EXPECT_FALSE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << missing;
    }
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
    EXPECT_EQ(name, std::filesystem::path(own_executable()).filename().string());
    EXPECT_GT(name.size(), 15u) << "longer than the kernel's short name";
}

#ifndef _WIN32
TEST(Process, LinuxSnapshot_InAscendingOrder_WithoutEndedProcesses)
{
    started ended("exit 0");
    ASSERT_TRUE(ended.ok);
    ASSERT_EQ(WaitForSingleObject(ended.pi.hProcess, INFINITE), WAIT_OBJECT_0);
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 e;
    e.dwSize = sizeof e;
    DWORD last = 0;
    for (BOOL more = Process32First(snap, &e); more; more = Process32Next(snap, &e)) {
        EXPECT_GT(e.th32ProcessID, last);
        EXPECT_NE(e.th32ProcessID, ended.pi.dwProcessId);
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
    char* expected = _fullpath(nullptr, own_executable().c_str(), MAX_PATH);
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
    started p("fds");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.line(), "0 1 2");
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
    const std::vector<std::function<void(SOCKET, HANDLE, HANDLE, started&)>> signal = {
        [&client](SOCKET listener, HANDLE, HANDLE, started&) { client = vantor_test::tcp_connect(listener); },
        [](SOCKET, HANDLE named, HANDLE, started&) { SetEvent(named); },
        [](SOCKET, HANDLE, HANDLE release, started&) { SetEvent(release); },
        [](SOCKET, HANDLE, HANDLE, started& p) { p.close_stdin(); },
    };
    for (DWORD which = 0; which < signal.size(); ++which) {
        SOCKET listener = vantor_test::tcp_listener();
        WSAEVENT socket_event = WSACreateEvent();
        ASSERT_EQ(WSAEventSelect(listener, socket_event, FD_ACCEPT), 0);
        std::string name = "vantor-mixed-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(which);
        HANDLE named = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, wait_for_event, release, 0, nullptr));
        started p("wait-stdin 0");
        ASSERT_TRUE(p.ok);
        HANDLE all[4] = {socket_event, named, thread, p.pi.hProcess};
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
