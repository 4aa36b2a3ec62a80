#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <winport/winport.h>

namespace vantor_test {

// Helpers start through the same process services on both targets, so that the suites
// exercise them on Linux as the library does.
namespace {

// The command line of a Windows program: every argument quoted the way the C run-time splits
// it again.
std::string quoted_line(const std::string& program, const std::vector<std::string>& args)
{
    std::string line;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    for (const std::string& a : all) {
        if (!line.empty())
            line += ' ';
        line += '"';
        std::size_t backslashes = 0;
        for (char c : a) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

// A program gathered from suites that start no other program (they would have said so with
// add_dependencies) is told by its environment; a start there means the suite did not say so,
// and would break the time a run under an emulator has.
bool may_start(const std::string& name)
{
    if (!std::getenv("VANTOR_TEST_NO_PROCESSES"))
        return true;
    std::fprintf(stderr,
                 "%s not started: this program runs only suites that start no other program; a suite "
                 "that does must add_dependencies() on it\n",
                 name.c_str());
    return false;
}

}  // namespace

child::child(const std::string& name, const std::vector<std::string>& args)
{
    if (may_start(name)) {
        std::string program = helper_path(name);
        start(program.c_str(), quoted_line(program, args));
    }
}

child::child(const command_line& line)
{
    if (may_start(line.text))
        start(nullptr, line.text);
}

void child::start(const char* program, std::string line)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr, in_read = nullptr, in_write = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 0))
        return;
    if (!CreatePipe(&in_read, &in_write, &sa, 0)) {
        CloseHandle(read_end);
        CloseHandle(write_end);
        return;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = write_end;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    out_ = read_end;
    in_ = in_write;
    if (CreateProcessA(program, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        started_ = true;
    }
    DWORD error = GetLastError();
    CloseHandle(write_end);
    CloseHandle(in_read);
    SetLastError(error);
}

void child::close_stdin()
{
    if (in_)
        CloseHandle(in_);
    in_ = nullptr;
}

child::~child()
{
    if (started_ && !ended_)
        kill();
    if (process_)
        CloseHandle(process_);
    if (out_)
        CloseHandle(out_);
    close_stdin();
}

bool child::read_line(std::string& line)
{
    for (;;) {
        std::size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            line = pending_.substr(0, nl);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            pending_.erase(0, nl + 1);
            return true;
        }
        char buf[512];
        DWORD got = 0;
        if (!out_ || !ReadFile(out_, buf, sizeof buf, &got, nullptr) || got == 0)
            return false;
        pending_.append(buf, got);
    }
}

std::string child::next_line()
{
    std::string line;
    return read_line(line) ? line : "(ended)";
}

std::string child::last_line()
{
    std::string line, last;
    while (read_line(line))
        last = line;
    return last;
}

int child::wait()
{
    if (!started_)
        return -1;
    if (!ended_) {
        WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        exit_code_ = GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
        ended_ = true;
    }
    return exit_code_;
}

void child::kill()
{
    if (started_ && !ended_) {
        TerminateProcess(process_, 137);
        wait();
    }
}

#ifdef _WIN32

private_prefix::private_prefix() = default;
private_prefix::~private_prefix() = default;

std::string program_path()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

int thread_count()
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++n;
    CloseHandle(snap);
    return n;
}

#else

private_prefix::private_prefix()
{
    std::string base = std::filesystem::temp_directory_path().string() + "/vantor-test-XXXXXX";
    if (char* dir = mkdtemp(&base[0])) {
        path_ = dir;
        setenv("WINPORT_PREFIX", path_.c_str(), 1);
        // Named kernel objects then live inside the prefix too, and go with it.
        setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
}

private_prefix::~private_prefix()
{
    if (!path_.empty() && !std::getenv("VANTOR_KEEP_TEST_PREFIX")) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string program_path()
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

int thread_count()
{
    int n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

#endif

std::string program_dir()
{
    return std::filesystem::path(program_path()).parent_path().string();
}

std::string helper_path(const std::string& name)
{
    return (std::filesystem::path(program_dir()) / name).string() +
           std::filesystem::path(program_path()).extension().string();
}

}  // namespace vantor_test
