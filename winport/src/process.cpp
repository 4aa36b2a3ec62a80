// Processes: starting them without a shell, their handles, exit codes and ends.
#include "fd_handle.h"
#include "handles.h"
#include "named.h"
#include "path.h"
#include "prefix.h"
#include "proc.h"

#include <winport/winport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern char** environ;

namespace winport {
namespace {

// --- command lines ------------------------------------------------------------------------

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The words of a command line as Windows splits it (CommandLineToArgvW): the program name
// ends at the next blank or, when quoted, at the next quote, without escapes; in the
// arguments 2n backslashes before a quote are n backslashes and the quote opens or closes a
// quoted part, 2n+1 are n backslashes and a literal quote, other backslashes are literal,
// and a quote right after the closing one of a quoted part is literal.
std::vector<std::string> split_command_line(const char* line)
{
    std::vector<std::string> words;
    const char* s = line;
    std::string word;
    if (*s == '"') {
        for (++s; *s && *s != '"'; ++s)
            word += *s;
        if (*s)
            ++s;
    } else {
        for (; *s && !is_blank(*s); ++s)
            word += *s;
    }
    words.push_back(word);
    while (is_blank(*s))
        ++s;
    if (!*s)
        return words;

    word.clear();
    int quotes = 0;  // odd: inside a quoted part
    std::size_t backslashes = 0;
    while (*s) {
        if (is_blank(*s) && quotes == 0) {
            words.push_back(word);
            word.clear();
            backslashes = 0;
            while (is_blank(*s))
                ++s;
            if (!*s)
                return words;
            continue;
        }
        if (*s == '\\') {
            word += '\\';
            ++backslashes;
            ++s;
            continue;
        }
        if (*s != '"') {
            word += *s++;
            backslashes = 0;
            continue;
        }
        if (backslashes % 2 == 0) {
            word.erase(word.size() - backslashes / 2);
            ++quotes;
        } else {
            word.erase(word.size() - backslashes / 2 - 1);
            word += '"';
        }
        ++s;
        backslashes = 0;
        for (; *s == '"'; ++s) {
            if (++quotes == 3) {
                word += '"';
                quotes = 0;
            }
        }
        if (quotes == 2)
            quotes = 0;
    }
    words.push_back(word);
    return words;
}

// --- finding the program ------------------------------------------------------------------

bool has_directory(const std::string& name)
{
    return name.find_first_of("\\/") != std::string::npos || (name.size() >= 2 && name[1] == ':');
}

bool has_extension(const std::string& name)
{
    std::size_t last = name.find_last_of("\\/");
    std::size_t dot = name.rfind('.');
    return dot != std::string::npos && (last == std::string::npos || dot > last);
}

// Looks at one candidate: true when it is a program that may be run. A file that exists but
// may not be run is remembered as ERROR_ACCESS_DENIED.
bool runnable(const std::string& unix, DWORD& error)
{
    struct stat st;
    if (stat(unix.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
        return false;
    if (access(unix.c_str(), X_OK) != 0) {
        error = ERROR_ACCESS_DENIED;
        return false;
    }
    return true;
}

std::string executable_dir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The Linux path of the program a command line names, or false with the last error set.
bool find_program(const std::string& name, std::string& found)
{
    DWORD error = ERROR_FILE_NOT_FOUND;
    std::vector<std::string> names{name};
    if (!has_extension(name))
        names.push_back(name + ".exe");
    if (has_directory(name)) {
        for (const std::string& n : names) {
            std::string unix;
            if (!unix_path(n.c_str(), unix))
                return false;
            if (runnable(unix, error)) {
                found = unix;
                return true;
            }
        }
        // A missing directory is a missing file too, as Windows reports it here.
        SetLastError(error);
        return false;
    }
    std::vector<std::string> dirs{executable_dir(), "."};
    if (const char* path = std::getenv("PATH")) {
        for (const char* p = path;;) {
            const char* colon = std::strchr(p, ':');
            std::string dir(p, colon ? static_cast<std::size_t>(colon - p) : std::strlen(p));
            if (!dir.empty())
                dirs.push_back(dir);
            if (!colon)
                break;
            p = colon + 1;
        }
    }
    for (const std::string& dir : dirs) {
        for (const std::string& n : names) {
            std::string unix = dir + "/" + n;
            if (runnable(unix, error)) {
                found = unix;
                return true;
            }
        }
    }
    SetLastError(error);
    return false;
}

// The program of a command line without an application name. An unquoted name may hold
// blanks: the line's successively longer parts that end at a blank are tried in turn, and
// the first that names a program is it. As under Wine, that name is the child's first word
// then, as if it had been quoted, and the rest of the line its arguments. False with the
// last error of the first try.
bool find_unquoted_program(const char* line, std::vector<std::string>& words, std::string& found)
{
    if (find_program(words[0], found) || *line == '"')
        return !found.empty();
    DWORD error = GetLastError();
    for (const char* end = line + words[0].size(); *end;) {
        while (is_blank(*end))
            ++end;
        while (*end && !is_blank(*end))
            ++end;
        std::string name(line, end);
        if (find_program(name, found)) {
            words = split_command_line((std::string("x") + end).c_str());
            words[0] = name;
            return true;
        }
    }
    SetLastError(error);
    return false;
}

// --- exit codes shared by the processes of the prefix --------------------------------------

constexpr std::uint32_t record_foreign = 0;  // not started by a winport of this prefix
constexpr std::uint32_t record_running = 1;
constexpr std::uint32_t record_ended = 2;

constexpr std::uint64_t terminate_asked = std::uint64_t{1} << 32;
constexpr DWORD signal_end = 0x80000000u;

// The state page of a started process: written by the process that started (and reaps) it,
// read by every process that holds a handle to it.
struct exit_record {
    std::uint32_t kind;
    std::atomic<std::uint32_t> state;
    std::atomic<std::uint32_t> code;
    std::atomic<std::int32_t> reaper;
    std::atomic<std::uint64_t> terminate;  // terminate_asked | code, once TerminateProcess asked
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free,
              "the record is shared between processes");

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected, long milliseconds)
{
    timespec ts{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT, expected, &ts, nullptr, 0);
}

void futex_wake_all(std::atomic<std::uint32_t>* word)
{
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

int pidfd_open(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// The start time of a process (clock ticks after boot), which tells it from a later process
// with the same identifier; 0 when it cannot be read.
unsigned long long start_time_of(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    // The system gives the whole line, well under the buffer, in one read.
    char buf[1024];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf - 1)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    // The name in parentheses may hold anything, so the fields are counted after its end.
    const char* p = std::strrchr(buf, ')');
    if (!p)
        return 0;
    unsigned long long start = 0;
    // Fields 3 to 22; the start time is the 22nd.
    if (std::sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                    &start) != 1)
        return 0;
    return start;
}

// One process as this process knows it; shared by all its handles here.
class process_state {
public:
    process_state(pid_t pid, int pidfd, bool child, unsigned long long start)
        : pid_(pid), pidfd_(pidfd), child_(child), start_(start)
    {
    }
    ~process_state();

    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_; }

    // Attaches the shared record, or keeps the record private when it cannot be shared.
    void attach(std::unique_ptr<named_file> file)
    {
        file_ = std::move(file);
        record_ = file_ ? static_cast<exit_record*>(file_->page()) : &own_;
        if (child_) {
            record_->reaper.store(static_cast<std::int32_t>(getpid()));
            record_->state.store(record_running);
        }
    }

    // Whether the identifier still names this process: it has not been reaped (a child of
    // this process), or it still runs.
    bool owns_identifier() const { return child_ ? record_->state.load() != record_ended : !ended(); }

    bool ended() const
    {
        pollfd p{pidfd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

    // Takes the ended child's exit status from the system, once; with every later call a no-op.
    void reap()
    {
        std::lock_guard<std::mutex> guard(reap_lock_);
        if (!child_ || record_->state.load() == record_ended)
            return;
        siginfo_t info{};
        int rc;
        while ((rc = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED)) != 0 &&
               errno == EINTR) {
        }
        DWORD code;
        std::uint64_t asked = record_->terminate.load();
        if (rc != 0)
            code = signal_end;  // reaped by someone else's waitpid(): nothing is known
        else if (info.si_code == CLD_EXITED)
            code = static_cast<DWORD>(info.si_status);
        else if (asked & terminate_asked)
            code = static_cast<DWORD>(asked);
        else
            code = signal_end + static_cast<DWORD>(info.si_status);
        record_->code.store(code);
        record_->state.store(record_ended);
        futex_wake_all(&record_->state);
    }

    // STILL_ACTIVE while it runs; false with the last error set when the code is not known.
    bool exit_code(DWORD& code)
    {
        for (;;) {
            if (record_->state.load() == record_ended) {
                code = record_->code.load();
                return true;
            }
            if (!ended()) {
                code = STILL_ACTIVE;
                return true;
            }
            if (child_) {
                reap();
                continue;
            }
            pid_t reaper = record_->reaper.load();
            if (record_->state.load() == record_foreign || reaper <= 0 || (kill(reaper, 0) != 0 && errno == ESRCH)) {
                SetLastError(ERROR_NOT_SUPPORTED);
                return false;
            }
            // The process that started it writes the code as soon as it has reaped it; the
            // limit only lets the loop notice when that process itself is gone.
            futex_wait(&record_->state, record_running, 100);
        }
    }

    // False with the last error set when the process may not be signalled. A process that
    // has ended already keeps its exit code, and the call succeeds, as under Wine.
    bool terminate(UINT code)
    {
        if (ended())
            return true;
        std::uint64_t none = 0;
        record_->terminate.compare_exchange_strong(none, terminate_asked | code);
        if (syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0) != 0 && errno != ESRCH) {
            SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
            return false;
        }
        return true;
    }

private:
    pid_t pid_;
    int pidfd_;
    bool child_;
    unsigned long long start_;
    std::mutex reap_lock_;
    std::unique_ptr<named_file> file_;
    exit_record own_{};
    exit_record* record_ = &own_;
};

using state_ptr = std::shared_ptr<process_state>;

std::string record_name(pid_t pid, unsigned long long start)
{
    return "winport process " + std::to_string(pid) + " " + std::to_string(start);
}

// The processes this process knows, so that every handle to one process shares its state.
// Recursive: the last reference to a state may go while the lock is held.
std::recursive_mutex& known_lock()
{
    static auto* m = new std::recursive_mutex;
    return *m;
}

std::map<std::pair<pid_t, unsigned long long>, std::weak_ptr<process_state>>& known()
{
    static auto* k = new std::map<std::pair<pid_t, unsigned long long>, std::weak_ptr<process_state>>;
    return *k;
}

state_ptr make_state(pid_t pid, int pidfd, bool child, unsigned long long start)
{
    std::lock_guard<std::recursive_mutex> guard(known_lock());
    auto key = std::make_pair(pid, start);
    auto it = known().find(key);
    if (it != known().end()) {
        if (state_ptr existing = it->second.lock()) {
            close(pidfd);
            return existing;
        }
    }
    auto state = std::make_shared<process_state>(pid, pidfd, child, start);
    named_open_result record =
        named_open(record_name(pid, start).c_str(), named_kind::process, sizeof(exit_record),
                   [](void* page) { static_cast<exit_record*>(page)->state.store(record_foreign); });
    state->attach(std::move(record.file));
    known()[key] = state;
    return state;
}

process_state::~process_state()
{
    {
        std::lock_guard<std::recursive_mutex> guard(known_lock());
        auto it = known().find(std::make_pair(pid_, start_));
        if (it != known().end() && it->second.expired())
            known().erase(it);
    }
    close(pidfd_);
}

// A process of this identifier that a handle here still holds, or null.
state_ptr held_state(pid_t pid)
{
    std::lock_guard<std::recursive_mutex> guard(known_lock());
    for (auto it = known().lower_bound(std::make_pair(pid, 0ull)); it != known().end() && it->first.first == pid;) {
        if (state_ptr state = it->second.lock())
            return state;
        it = known().erase(it);
    }
    return nullptr;
}

// Reaps the children that this process started as soon as they end, so that none is left a
// zombie whether or not anybody asks for its exit code. One thread, started with the first
// child and kept for the life of the process.
class reaper {
public:
    void add(const state_ptr& child)
    {
        std::lock_guard<std::mutex> guard(lock_);
        children_.push_back(child);
        if (wake_ < 0) {
            wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            // Signals go to the threads of the application, never to this one.
            sigset_t all, old;
            sigfillset(&all);
            pthread_sigmask(SIG_SETMASK, &all, &old);
            std::thread([this] { run(); }).detach();
            pthread_sigmask(SIG_SETMASK, &old, nullptr);
        }
        std::uint64_t one = 1;
        if (write(wake_, &one, sizeof one) < 0) {
            // The counter is already non-zero: the thread wakes anyway.
        }
    }

private:
    void run()
    {
        std::vector<pollfd> fds;
        std::vector<state_ptr> watched;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                watched = children_;
                fds.assign(1, pollfd{wake_, POLLIN, 0});
            }
            for (const state_ptr& c : watched)
                fds.push_back(pollfd{c->pidfd(), POLLIN, 0});
            if (poll(fds.data(), fds.size(), -1) < 0)
                continue;
            if (fds[0].revents) {
                std::uint64_t n;
                if (read(wake_, &n, sizeof n) < 0) {
                    // Another round took it.
                }
            }
            std::vector<state_ptr> ended;
            for (std::size_t i = 0; i < watched.size(); ++i) {
                if (fds[i + 1].revents) {
                    watched[i]->reap();
                    ended.push_back(watched[i]);
                }
            }
            if (!ended.empty()) {
                std::lock_guard<std::mutex> guard(lock_);
                for (const state_ptr& e : ended)
                    children_.erase(std::find(children_.begin(), children_.end(), e));
            }
        }
    }

    std::mutex lock_;
    std::vector<state_ptr> children_;
    int wake_ = -1;
};

reaper& the_reaper()
{
    static auto* r = new reaper;
    return *r;
}

class process_handle final : public object {
public:
    process_handle(state_ptr state, DWORD access) : state_(std::move(state)), access_(access) {}
    int wait_fd() const override { return access_ & SYNCHRONIZE ? state_->pidfd() : -1; }
    DWORD wait_alone(DWORD) override
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return WAIT_FAILED;
    }
    const state_ptr& state() const { return state_; }
    bool allows(DWORD rights) const { return (access_ & rights) != 0; }

private:
    state_ptr state_;
    DWORD access_;
};

// The main thread of a started process: a handle that only closes.
class thread_stub final : public object {};

// The process behind a handle if the handle has one of the rights; null with the last error
// set otherwise.
std::shared_ptr<process_handle> process_for(HANDLE h, DWORD rights)
{
    std::shared_ptr<process_handle> p = handle_get_as<process_handle>(h);
    if (p && !p->allows(rights)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return p;
}

DWORD error_from_spawn(int err)
{
    switch (err) {
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case E2BIG:
        return ERROR_INVALID_PARAMETER;
    default:
        return static_cast<DWORD>(error_from_errno(err));
    }
}

// Windows priority classes as nice values; 0 leaves the inherited one.
bool nice_of(DWORD flags, int& nice)
{
    struct step {
        DWORD flag;
        int nice;
    };
    static const step steps[] = {
        {IDLE_PRIORITY_CLASS, 19},  {BELOW_NORMAL_PRIORITY_CLASS, 10}, {ABOVE_NORMAL_PRIORITY_CLASS, -5},
        {HIGH_PRIORITY_CLASS, -10}, {REALTIME_PRIORITY_CLASS, -20},
    };
    for (const step& s : steps) {
        if (flags & s.flag) {
            nice = s.nice;
            return true;
        }
    }
    return false;
}

// The environment block of CreateProcessA ("A=1\0B=2\0\0") as an array for exec.
std::vector<char*> environment_of(LPVOID block)
{
    std::vector<char*> env;
    if (!block) {
        for (char** e = environ; *e; ++e)
            env.push_back(*e);
    } else {
        for (char* p = static_cast<char*>(block); *p; p += std::strlen(p) + 1)
            env.push_back(p);
    }
    env.push_back(nullptr);
    return env;
}

struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    spawn_setup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
    }
    ~spawn_setup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
};

// Gives the child the standard descriptor `target` from a handle, or /dev/null without one
// (also for a handle that is not a pipe or file, where Windows would pass on a useless one).
bool give_std(spawn_setup& setup, HANDLE h, int target)
{
    int fd = (h && h != INVALID_HANDLE_VALUE) ? fd_of_handle(h) : -1;
    if (fd >= 0 && fd != target)
        return posix_spawn_file_actions_adddup2(&setup.actions, fd, target) == 0;
    if (fd == target)
        return true;
    return posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY,
                                            0) == 0;
}

}  // namespace

std::string executable_of(pid_t pid)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
    char target[PATH_MAX];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return std::string();
    std::string path(target, static_cast<std::size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.erase(path.size() - deleted.size());
    return path;
}

}  // namespace winport

using namespace winport;

extern "C" {

BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                           BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
{
    if (!lpStartupInfo || !lpProcessInformation || (!lpApplicationName && !lpCommandLine)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> words = split_command_line(lpCommandLine ? lpCommandLine : lpApplicationName);
    std::string program;
    if (lpApplicationName) {
        DWORD error = ERROR_FILE_NOT_FOUND;
        if (!unix_path(lpApplicationName, program))
            return FALSE;
        if (!runnable(program, error)) {
            SetLastError(error);
            return FALSE;
        }
    } else if (!find_unquoted_program(lpCommandLine, words, program)) {
        return FALSE;
    }
    std::string directory;
    if (lpCurrentDirectory && !unix_path(lpCurrentDirectory, directory))
        return FALSE;

    spawn_setup setup;
    short spawn_flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attr, &none);
    posix_spawnattr_setsigdefault(&setup.attr, &all);
    bool detached = dwCreationFlags & DETACHED_PROCESS;
    if (detached) {
        spawn_flags |= POSIX_SPAWN_SETSID;  // a session is a process group too
    } else if (dwCreationFlags & CREATE_NEW_PROCESS_GROUP) {
        spawn_flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&setup.attr, 0);
    }
    posix_spawnattr_setflags(&setup.attr, spawn_flags);

    bool ok = true;
    if (bInheritHandles && (lpStartupInfo->dwFlags & STARTF_USESTDHANDLES)) {
        ok = give_std(setup, lpStartupInfo->hStdInput, 0) && give_std(setup, lpStartupInfo->hStdOutput, 1) &&
             give_std(setup, lpStartupInfo->hStdError, 2);
    } else if (detached) {
        ok = give_std(setup, nullptr, 0) && give_std(setup, nullptr, 1) && give_std(setup, nullptr, 2);
    }
    // Windows hands a child only the handles it is told of; here nothing beyond the three
    // standard descriptors crosses.
    ok = ok && posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3) == 0;
    if (!directory.empty())
        ok = ok && posix_spawn_file_actions_addchdir_np(&setup.actions, directory.c_str()) == 0;
    if (!ok) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::vector<char*> env = environment_of(lpEnvironment);
    pid_t pid;
    int err = posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), env.data());
    if (err != 0) {
        SetLastError(error_from_spawn(err));
        return FALSE;
    }
    // Nobody else reaps the child, so its identifier names it until the pidfd holds it.
    int pidfd = pidfd_open(pid);
    if (pidfd < 0) {
        DWORD error = static_cast<DWORD>(error_from_errno(errno));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        SetLastError(error);
        return FALSE;
    }
    int nice;
    if (nice_of(dwCreationFlags, nice)) {
        // Raising a priority needs a privilege; without it the child keeps the caller's.
        setpriority(PRIO_PROCESS, static_cast<id_t>(pid), nice);
    }
    state_ptr state = make_state(pid, pidfd, true, start_time_of(pid));
    the_reaper().add(state);

    HANDLE process = handle_insert(std::make_shared<process_handle>(state, PROCESS_ALL_ACCESS));
    HANDLE thread = process ? handle_insert(std::make_shared<thread_stub>()) : nullptr;
    if (!thread) {
        if (process)
            handle_remove(process);
        // The child runs; without a handle to give back the call still fails, as it would
        // on Windows, but the process is not left behind.
        state->terminate(1);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    lpProcessInformation->hProcess = process;
    lpProcessInformation->hThread = thread;
    lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
    lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId)
{
    if (dwProcessId == 0 || dwProcessId > static_cast<DWORD>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    pid_t pid = static_cast<pid_t>(dwProcessId);
    // An ended process stays known while a handle of this process holds it, as Windows keeps
    // its identifier (handles in other processes are not seen here).
    auto gone = [&](DWORD error) -> HANDLE {
        if (state_ptr held = held_state(pid))
            return handle_insert(std::make_shared<process_handle>(held, dwDesiredAccess));
        SetLastError(error);
        return nullptr;
    };
    // Only the right to end a process is checked here: every user may watch every process.
    auto refused = [&] {
        if (!(dwDesiredAccess & PROCESS_TERMINATE) || kill(pid, 0) == 0 || errno != EPERM)
            return false;
        SetLastError(ERROR_ACCESS_DENIED);
        return true;
    };
    // A process that a handle here holds keeps its state while the identifier names it.
    if (state_ptr held = held_state(pid); held && held->owns_identifier())
        return refused() ? nullptr : handle_insert(std::make_shared<process_handle>(held, dwDesiredAccess));
    int pidfd = pidfd_open(pid);
    if (pidfd < 0)
        return gone(errno == ESRCH ? ERROR_INVALID_PARAMETER : static_cast<DWORD>(error_from_errno(errno)));
    if (refused()) {
        close(pidfd);
        return nullptr;
    }
    // A handle that may only wait needs neither the exit code nor a state shared with the
    // other handles: its pidfd is all of it.
    if (!(dwDesiredAccess & (PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)))
        return handle_insert(
            std::make_shared<process_handle>(std::make_shared<process_state>(pid, pidfd, false, 0), dwDesiredAccess));
    // A process not yet reaped still has its entry. One without it was reaped, possibly
    // after the pidfd was opened (by this process's own reaper, just now): it is gone as if
    // pidfd_open had not found it, and a handle here may still hold it.
    unsigned long long start = start_time_of(pid);
    if (start == 0) {
        close(pidfd);
        return gone(ERROR_INVALID_PARAMETER);
    }
    state_ptr state = make_state(pid, pidfd, false, start);
    return handle_insert(std::make_shared<process_handle>(state, dwDesiredAccess));
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    std::shared_ptr<process_handle> p = process_for(hProcess, PROCESS_TERMINATE);
    return p && p->state()->terminate(uExitCode) ? TRUE : FALSE;
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
{
    std::shared_ptr<process_handle> p =
        process_for(hProcess, PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION);
    if (!p)
        return FALSE;
    DWORD code;
    if (!p->state()->exit_code(code))
        return FALSE;
    if (lpExitCode)
        *lpExitCode = code;
    return TRUE;
}

DWORD WINAPI GetProcessId(HANDLE Process)
{
    std::shared_ptr<process_handle> p = handle_get_as<process_handle>(Process);
    return p ? static_cast<DWORD>(p->state()->pid()) : 0;
}

BOOL WINAPI QueryFullProcessImageNameA(HANDLE hProcess, DWORD, LPSTR lpExeName, LPDWORD lpdwSize)
{
    std::shared_ptr<process_handle> p =
        process_for(hProcess, PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION);
    if (!p)
        return FALSE;
    if (!lpExeName || !lpdwSize) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string path = executable_of(p->state()->pid());
    if (path.empty()) {
        SetLastError(errno == ENOENT ? ERROR_INVALID_HANDLE : static_cast<DWORD>(error_from_errno(errno)));
        return FALSE;
    }
    std::string view = windows_view(path);
    if (view.size() + 1 > *lpdwSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(lpExeName, view.c_str(), view.size() + 1);
    *lpdwSize = static_cast<DWORD>(view.size());
    return TRUE;
}

BOOL WINAPI winport_request_close(DWORD dwProcessId)
{
    if (dwProcessId == 0 || dwProcessId > static_cast<DWORD>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (kill(static_cast<pid_t>(dwProcessId), SIGTERM) != 0) {
        SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

int _getpid(void)
{
    return static_cast<int>(getpid());
}

}  // extern "C"
