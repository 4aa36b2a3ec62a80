#include <ysl/fileops.h>
#include <ysl/ydiag.h>
#include <ysl/yprocess_win32.h>

#include <cstdint>
#include <cstring>
#include <string>

// The last error is read before a report is made: making one may change it.

namespace {

// The priority flags a start accepts: DETACHED_PROCESS, the normal, idle, high and realtime
// classes and CREATE_NEW_PROCESS_GROUP.
constexpr DWORD accepted_prio = 0x3E8;

constexpr DWORD close_wait_ms = 10000;

void current_dir(char (&cwd)[MAX_PATH])
{
    if (!_getcwd(cwd, MAX_PATH))
        cwd[0] = '\0';
}

// Asks the process to close itself. Windows posts WM_CLOSE to its top-level windows; Linux
// processes have no windows, and their close request is the signal that winport sends.
#ifdef _WIN32
BOOL CALLBACK post_close(HWND window, LPARAM pid)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(pid))
        PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

void request_close(YPROCESS_ID pid)
{
    EnumWindows(post_close, static_cast<LPARAM>(pid));
}
#else
void request_close(YPROCESS_ID pid)
{
    winport_request_close(pid);
}
#endif

// Makes the three pipes of a start; on failure closes every descriptor and handle made so
// far, so that a failed start leaks nothing.
int create_pipes(int descriptors[6])
{
    static const char* const names[3] = {"stdout", "stderr", "stdin"};
    // The index of each pipe's read and write end in descriptors, and whether the parent keeps
    // the read end.
    static const int read_index[3] = {2, 4, 0};
    static const int write_index[3] = {3, 5, 1};
    static const bool parent_reads[3] = {true, true, false};

    for (int i = 0; i < 6; ++i)
        descriptors[i] = -1;
    HANDLE loose[2] = {nullptr, nullptr};  // ends not yet turned into descriptors
    auto fail = [&]() {
        for (HANDLE h : loose)
            if (h)
                CloseHandle(h);
        for (int i = 0; i < 6; ++i) {
            if (descriptors[i] != -1) {
                _close(descriptors[i]);
                descriptors[i] = -1;
            }
        }
        return 0;
    };
    for (int p = 0; p < 3; ++p) {
        SECURITY_ATTRIBUTES sa;
        sa.nLength = sizeof sa;
        sa.lpSecurityDescriptor = nullptr;
        sa.bInheritHandle = TRUE;
        HANDLE read_end = nullptr, write_end = nullptr;
        if (!CreatePipe(&read_end, &write_end, &sa, 0)) {
            DWORD error = GetLastError();
            YErrTrace("create_pipes(): CreatePipe() [%s] failed: %u)", names[p], static_cast<unsigned>(error));
            return fail();
        }
        loose[0] = read_end;
        loose[1] = write_end;
        HANDLE parent_end = parent_reads[p] ? read_end : write_end;
        if (!SetHandleInformation(parent_end, HANDLE_FLAG_INHERIT, 0)) {
            DWORD error = GetLastError();
            YErrTrace("create_pipes(): SetHandleInformation() [%s] failed: %u", names[p], static_cast<unsigned>(error));
            return fail();
        }
        int rd = _open_osfhandle(reinterpret_cast<std::intptr_t>(read_end), 0);
        if (rd == -1) {
            YErrTrace("create_pipes(): _open_osfhandle() [%s] failed", names[p]);
            return fail();
        }
        descriptors[read_index[p]] = rd;
        loose[0] = nullptr;
        int wr = _open_osfhandle(reinterpret_cast<std::intptr_t>(write_end), _O_APPEND);
        if (wr == -1) {
            YErrTrace("create_pipes(): _open_osfhandle() [%s] failed", names[p]);
            return fail();
        }
        descriptors[write_index[p]] = wr;
        loose[1] = nullptr;
    }
    return 1;
}

void hand_out(int fd, int* out)
{
    if (out)
        *out = fd;
    else
        _close(fd);
}

// The image path of the process equals image_path ignoring case; an empty path confirms any.
int is_image_name_correct(YPROCESS_ID pid, const char* image_path)
{
    if (!image_path || !*image_path)
        return 1;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        DWORD error = GetLastError();
        YErrLog("%s(): OpenProcess(\"%s\") failed: %lu", "is_image_name_correct", image_path,
                static_cast<unsigned long>(error));
        return 0;
    }
    int result = 0;
    char image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (!QueryFullProcessImageNameA(process, 0, image, &size)) {
        DWORD error = GetLastError();
        YErrLog("%s(): QueryFullProcessImageNameA() failed: %lu", "is_image_name_correct",
                static_cast<unsigned long>(error));
    } else if (_stricmp(image, image_path) == 0) {
        YTrace("default", 5, "%s(): found module \"%s\"", "is_image_name_correct", image);
        result = 1;
    } else {
        YTrace("default", 5, "%s(): didn't find module \"%s\"", "is_image_name_correct", image);
    }
    CloseHandle(process);
    return result;
}

// Walks a snapshot of all processes until match says yes; the identifier it stopped at, or
// YPROCESS_ID_NONE.
template <class Match>
YPROCESS_ID find_process(Match match)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return YPROCESS_ID_NONE;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    YPROCESS_ID found = YPROCESS_ID_NONE;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (match(entry)) {
            found = entry.th32ProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return found;
}

}  // namespace

YPROCESS_ID YProcess_Create(const char* cmdline, DWORD prio)
{
    if (prio & ~accepted_prio) {
        YErrTrace("YProcess_Create(): invalid prio (%08x) given for %.40s", static_cast<unsigned>(prio), cmdline);
        return YPROCESS_ID_NONE;
    }
    // CreateProcessA may write into the command line.
    std::string line = cmdline ? cmdline : "";
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, prio, nullptr, nullptr, &si, &pi)) {
        DWORD error = GetLastError();
        char cwd[MAX_PATH];
        current_dir(cwd);
        YErrLog("YProcess_Create(): failed to start %s in cwd %s: %s", cmdline, cwd, strerror(static_cast<int>(error)));
        return YPROCESS_ID_NONE;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

YPROCESS_ID YProcess_CreateWithPipes(const char* cmdline, DWORD prio, int* stdout_fd, int* stderr_fd, int* stdin_fd)
{
    if (prio & ~accepted_prio) {
        YErrTrace("YProcess_CreateWithPipes(): invalid prio (%08x) given for %.40s", static_cast<unsigned>(prio),
                  cmdline);
        return 0;
    }
    int fds[6];
    if (!create_pipes(fds)) {
        YErrTrace("YProcess_CreateWithPipes(): create_pipes() failed");
        return 0;
    }
    hand_out(fds[2], stdout_fd);
    hand_out(fds[4], stderr_fd);
    hand_out(fds[1], stdin_fd);

    std::string line = cmdline ? cmdline : "";
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = reinterpret_cast<HANDLE>(_get_osfhandle(fds[0]));
    si.hStdOutput = reinterpret_cast<HANDLE>(_get_osfhandle(fds[3]));
    si.hStdError = reinterpret_cast<HANDLE>(_get_osfhandle(fds[5]));
    PROCESS_INFORMATION pi;
    BOOL started =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, prio | CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    DWORD error = GetLastError();
    _close(fds[0]);
    _close(fds[3]);
    _close(fds[5]);
    if (!started) {
        char cwd[MAX_PATH];
        current_dir(cwd);
        YErrTrace("YProcess_CreateWithPipes(): CreateProcess(\"%s\") failed in cwd %s: %s", cmdline, cwd,
                  strerror(static_cast<int>(error)));
        return 0;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

int Yipc_TerminateProcess(YPROCESS_ID pid)
{
    if (pid == 0)
        return 1;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!process) {
        YErrTrace("Yipc_TerminateProcess(): OpenProcess() failed");
        return 0;
    }
    request_close(pid);
    int result = 1;
    if (WaitForSingleObject(process, close_wait_ms) == WAIT_OBJECT_0) {
        YTrace("default", 4, "Yipc_TerminateProcess(): Terminate process id=%d with send WM_CLOSE",
               static_cast<int>(pid));
    } else if (!TerminateProcess(process, 0)) {
        YErrLog("Yipc_TerminateProcess(): TerminateProcess() failed");
        // A process that ended meanwhile is done all the same; one that still runs is not.
        if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
            result = 0;
    } else {
        YTrace("default", 4, "Yipc_TerminateProcess(): Terminate process id=%d with TerminateProcess()",
               static_cast<int>(pid));
    }
    CloseHandle(process);
    return result;
}

int YProcess_Destroy(YPROCESS_ID pid)
{
    if (pid == 0)
        return 1;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!process) {
        YErrTrace("YProcess_Destroy(): OpenProcess() failed");
        return 0;
    }
    BOOL terminated = TerminateProcess(process, 0);
    if (!terminated) {
        DWORD error = GetLastError();
        YErrTrace("YProcess_Destroy(): failed to terminate process %d: %s", static_cast<int>(pid),
                  strerror(static_cast<int>(error)));
    }
    if (!CloseHandle(process)) {
        YErrTrace("YProcess_Destroy(): CloseHandle() failed");
        return 0;
    }
    return terminated ? 1 : 0;
}

int YProcess_GetExitStatus(YPROCESS_ID pid, int* status)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) {
        YErrTrace("YProcess_GetExitStatus(): OpenProcess() failed");
        return 0;
    }
    int result = 1;
    if (WaitForSingleObject(process, INFINITE) == WAIT_FAILED) {
        YErrTrace("YProcess_GetExitStatus(): WaitForSingleObject() failed");
        result = 0;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        YErrTrace("YProcess_GetExitStatus(): GetExitCodeProcess() failed");
        result = 0;
    } else if (code >= 0x80000000u) {
        YErrTrace("YProcess_GetExitStatus(): GetExitCodeProcess() returned %08x as exit code",
                  static_cast<unsigned>(code));
        result = 0;
    } else if (status) {
        *status = static_cast<int>(code);
    }
    if (!CloseHandle(process)) {
        YErrTrace("YProcess_GetExitStatus(): CloseHandle() failed");
        return 0;
    }
    return result;
}

int YProcess_WaitForExit(YPROCESS_ID pid, double seconds)
{
    static const char* const fn = "YProcess_WaitForExit";
    DWORD limit = seconds < 0                                             ? INFINITE
                  : seconds * 1000.0 >= static_cast<double>(INFINITE - 1) ? INFINITE - 1
                                                                          : static_cast<DWORD>(seconds * 1000.0);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process) {
        DWORD error = GetLastError();
        YErrTrace("%s(): OpenProcess() failed: %s", fn, strerror(static_cast<int>(error)));
        return 0;
    }
    int result;
    switch (WaitForSingleObject(process, limit)) {
    case WAIT_OBJECT_0:
        result = 1;
        break;
    case WAIT_TIMEOUT:
        result = -1;
        break;
    default: {
        DWORD error = GetLastError();
        YErrTrace("%s(): WaitForSingleObject() failed: %s", fn, strerror(static_cast<int>(error)));
        result = 0;
    }
    }
    if (!CloseHandle(process)) {
        DWORD error = GetLastError();
        YErrTrace("%s(): CloseHandle() failed: %s", fn, strerror(static_cast<int>(error)));
        return 0;
    }
    return result;
}

int YProcess_IsAlive(YPROCESS_ID pid)
{
    if (pid == 0)
        return 0;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED ? 1 : 0;
    int alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT ? 1 : 0;
    CloseHandle(process);
    return alive;
}

YPROCESS_ID YProcess_GetIDByName(const char* name)
{
    if (!name)
        return YPROCESS_ID_NONE;
    return find_process([name](const PROCESSENTRY32& e) { return std::strcmp(e.szExeFile, name) == 0; });
}

YPROCESS_ID YProcess_GetIDByImagePath(const char* name)
{
    if (!name || !*name)
        return 0;
    char path[MAX_PATH];
    std::strncpy(path, name, MAX_PATH - 1);
    path[MAX_PATH - 1] = '\0';
    std::size_t len = std::strlen(path);
    if (len >= 2 && path[0] == '"' && path[len - 1] == '"') {
        std::memmove(path, path + 1, len - 2);
        path[len - 2] = '\0';
    }
    const char* look_for = path;
    const char* image_path = "";
    char dir[MAX_PATH];
    if (file_dirpath(path, dir)) {
        const char* trail = file_trailpath(path);
        if (trail && *trail) {
            look_for = trail;
            image_path = path;
        } else {
            YErrLog("file_trailpath() failed, use parameter \"%s\"", name);
            look_for = name;
        }
    }
    return find_process([look_for, image_path](const PROCESSENTRY32& e) {
        return _stricmp(e.szExeFile, look_for) == 0 && is_image_name_correct(e.th32ProcessID, image_path);
    });
}

YPROCESS_ID YProcess_GetParentID(void)
{
    DWORD self = static_cast<DWORD>(_getpid());
    YPROCESS_ID parent = 0;
    find_process([self, &parent](const PROCESSENTRY32& e) {
        if (e.th32ProcessID != self)
            return false;
        parent = e.th32ParentProcessID;
        return true;
    });
    return parent;
}
