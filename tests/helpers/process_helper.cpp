// The other side of the process and wait-set tests. One mode per run:
//   echo                 copies standard input to standard output, writes "to stderr" to
//                        standard error, exits 0
//   exit N               exits with N
//   hang                 prints "ready" and runs until it is ended
//   quiet                runs until it is ended, touching none of its standard streams
//   wait-stdin N         exits with N once standard input ends
//   parent               prints YProcess_GetParentID()
//   close-on-request N   prints "ready" and exits with N on the close request (Windows: a
//                        top-level window that closes on WM_CLOSE; "no-window" and exit 99
//                        where none can be made)
//   ignore-close         prints "ready" and runs on through the close request
//   notify PID           prints YIntSockSel_Notify(PID)
//   watch PID            opens the process, prints "opened", waits for its end, prints its
//                        exit code
//   fds                  prints its open descriptors (Linux)
//   as-user UID PID      drops to the user and prints YProcess_IsAlive(PID) (Linux, as root)
#include <ysl/yintsocksel_win32.h>
#include <ysl/yprocess_win32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32
#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

void say(const char* text)
{
    std::printf("%s\n", text);
    std::fflush(stdout);
}

[[noreturn]] void run_on()
{
    for (;;)
        Sleep(INFINITE);
}

#ifdef _WIN32
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_DESTROY) {
        PostQuitMessage(static_cast<int>(GetWindowLongPtrA(window, GWLP_USERDATA)));
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

int close_on_request(int code)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "process_helper";
    HWND window = RegisterClassA(&wc) ? CreateWindowA("process_helper", "process_helper", WS_OVERLAPPEDWINDOW, 0, 0,
                                                      100, 100, nullptr, nullptr, wc.hInstance, nullptr)
                                      : nullptr;
    if (!window) {
        say("no-window");
        return 99;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, code);
    say("ready");
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}
#else
int close_code = 0;

void on_close_request(int)
{
    _exit(close_code);
}

int close_on_request(int code)
{
    close_code = code;
    signal(SIGTERM, on_close_request);
    say("ready");
    run_on();
}
#endif

int watch(DWORD pid)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (!process)
        return 2;
    say("opened");
    DWORD code = 0;
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code))
        return 3;
    std::printf("%lu\n", static_cast<unsigned long>(code));
    CloseHandle(process);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    int number = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "echo") {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0)
            std::fwrite(buf, 1, n, stdout);
        std::fputs("to stderr\n", stderr);
        return 0;
    }
    if (mode == "exit")
        return number;
    if (mode == "hang") {
        say("ready");
        run_on();
    }
    if (mode == "quiet")
        run_on();
    if (mode == "wait-stdin") {
        while (std::fgetc(stdin) != EOF) {
        }
        return number;
    }
    if (mode == "parent") {
        std::printf("%lu\n", static_cast<unsigned long>(YProcess_GetParentID()));
        return 0;
    }
    if (mode == "close-on-request")
        return close_on_request(number);
    if (mode == "ignore-close") {
#ifndef _WIN32
        signal(SIGTERM, SIG_IGN);
#endif
        say("ready");
        run_on();
    }
    if (mode == "notify") {
        std::printf("%d\n", YIntSockSel_Notify(static_cast<DWORD>(number)));
        return 0;
    }
    if (mode == "watch")
        return watch(static_cast<DWORD>(number));
#ifndef _WIN32
    if (mode == "fds") {
        DIR* d = opendir("/proc/self/fd");
        std::string list;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(d))
                list += std::string(list.empty() ? "" : " ") + e->d_name;
        }
        closedir(d);
        say(list.c_str());
        return 0;
    }
    if (mode == "as-user" && argc > 3) {
        if (setgid(static_cast<gid_t>(number)) != 0 || setuid(static_cast<uid_t>(number)) != 0)
            return 2;
        std::printf("%d\n", YProcess_IsAlive(static_cast<DWORD>(std::atoi(argv[3]))));
        return 0;
    }
#endif
    return 64;
}
