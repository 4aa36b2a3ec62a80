// vantorctl demo: a short tour of what the library does, through its exported functions.
#include "commands.h"

#include <vantor/vantor.h>
#include <ysl/YIniData.h>
#include <ysl/fileops.h>
#include <ysl/ydiag.h>

#include <string>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

// Windows Sockets starts outstanding in this process, found by cleaning them up one by one;
// they are given back at once.
int outstanding_socket_starts()
{
    int n = 0;
    while (WSACleanup() == 0)
        ++n;
    for (int i = 0; i < n; ++i) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    return n;
}

// Loads and unloads the module by name, as an application that loads it on demand does;
// what the module does at load and unload shows in the Windows Sockets starts it holds.
// Linked with this program, the module is in the process already and the load by name finds it.
int demo_module()
{
    int before = outstanding_socket_starts();
    HMODULE module = LoadLibraryA("vantor.dll");
    if (!module) {
        std::printf("module: vantor.dll could not be loaded (error %lu)\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    int loaded = outstanding_socket_starts();
    FreeLibrary(module);
    int unloaded = outstanding_socket_starts();
    if (before > 0 && loaded == before && unloaded == before)
        std::printf("module: vantor.dll came loaded with this program and holds its %d Windows Sockets starts; "
                    "loading it again by name only added a reference, and freeing it dropped that reference\n",
                    before);
    else
        std::printf("module: loading vantor.dll by name made %d Windows Sockets starts (%d -> %d); "
                    "freeing it left %d\n",
                    loaded - before, before, loaded, unloaded);
    return 0;
}

// An active-user change signalled by this process reaches the watcher thread of every
// process that registered a callback, this one included; here, this one.
struct user_change_seen {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD thread = 0;
};

void on_user_change(void* context)
{
    auto* seen = static_cast<user_change_seen*>(context);
    seen->thread = GetCurrentThreadId();
    SetEvent(seen->event);
}

int demo_user_change()
{
    user_change_seen seen;
    vantorRegisterActiveUserChangedCallback(&on_user_change, &seen);
    vantorSignalActiveUserChanged();
    DWORD r = WaitForSingleObject(seen.event, 10000);
    vantorUnregisterActiveUserChangedCallback(&on_user_change, &seen);
    CloseHandle(seen.event);
    if (r != WAIT_OBJECT_0) {
        std::printf("user:   the active-user change did not reach the watcher\n");
        return 1;
    }
    std::printf("user:   active-user change signalled by thread %lu, seen by the watcher thread %lu\n",
                static_cast<unsigned long>(GetCurrentThreadId()), static_cast<unsigned long>(seen.thread));
    return 0;
}

// Starts this program again as `vantorctl user watch --count 1 --timeout 10`, without a
// shell, its output going to ours, and gives its exit code once it ends (-1 if it could not
// be started).
int run_watcher_process(void (*while_it_runs)())
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self)
        return -1;
    std::string line = "\"" + std::string(self) + "\" user watch --count 1 --timeout 10";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return -1;
    CloseHandle(pi.hThread);
    while_it_runs();
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

// The signal is given while this process holds the event (it keeps it until it ends), so the
// watcher in the other process sees it even if it starts waiting only afterwards.
int demo_user_change_across_processes()
{
    std::printf("user:   another process watches; this one signals. The other one prints:\n");
    std::fflush(stdout);
    int rc = run_watcher_process([] { vantorSignalActiveUserChanged(); });
    if (rc != 0) {
        std::printf("user:   the watching process did not see the change (exit code %d)\n", rc);
        return 1;
    }
    return 0;
}

void demo_diag()
{
    std::printf("diag:   a failure that ends where it happens goes to the error log (standard error, or YERRLOG):\n");
    std::fflush(stdout);
    YErrLog("vantorctl demo: %s (%Iu bytes)", "an error-log entry", sizeof(WSADATA));
}

// Writes a small tree through the typed writers, reads it back, exports it to a REGEDIT4 file
// and removes it again.
int demo_registry()
{
    const HKEY root = HKEY_CURRENT_USER;
    const char* key = "Software\\Orvane\\vantorctl demo";
    const std::string settings = std::string(key) + "\\Settings";
    bool ok = setreg_string(root, key, "Name", "demo") && setreg_long(root, key, "Count", 31) &&
              setreg_double(root, key, "Ratio", 0.75) && setreg_qword(root, key, "Serial", 0x0123456789abcdefULL) &&
              setreg_string(root, settings.c_str(), "Mode", "fast");
    if (!ok) {
        std::printf("registry: HKCU\\%s could not be written\n", key);
        return 1;
    }
    std::printf("registry: wrote HKCU\\%s and its subkey Settings\n", key);
    bool found = false;
    long count = getreg_long(root, key, "Count", -1, &found);
    std::printf("registry: read back Name=\"%s\" Count=%ld (found %s) Ratio=%g Serial=0x%llx Mode=\"%s\" "
                "Missing=%ld (the default)\n",
                getreg_string(root, key, "Name", ""), count, found ? "yes" : "no", getreg_double(root, key, "Ratio", 0),
                static_cast<unsigned long long>(getreg_qword(root, key, "Serial", 0)),
                getreg_string(root, settings.c_str(), "Mode", ""), getreg_long(root, key, "Missing", -1));

    std::error_code ec;
    std::string file = (std::filesystem::temp_directory_path(ec) /
                        ("vantorctl-demo-" + std::to_string(GetCurrentProcessId()) + ".reg"))
                           .string();
    int rc = 0;
    if (SaveRegToFile(root, key, file.c_str(), false)) {
        std::printf("registry: exported to a REGEDIT4 file:\n");
        if (std::FILE* in = _fsopen(file.c_str(), "rt", _SH_DENYNO)) {
            char line[512];
            while (std::fgets(line, sizeof line, in))
                std::printf("    %s", line);
            std::fclose(in);
        }
        std::remove(file.c_str());
    } else {
        std::printf("registry: %s could not be written\n", file.c_str());
        rc = 1;
    }
    setreg_delete_section(root, settings.c_str());
    setreg_delete_section(root, key);
    return rc;
}

// The suite's configuration: a bootstrap file in the common application-data folder that names
// the configuration file, which holds the three locations. Both are made when missing.
int demo_locations()
{
    char base[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(nullptr, base, CSIDL_COMMON_APPDATA, FALSE)) {
        std::printf("locations: no common application-data folder\n");
        return 1;
    }
    const std::string dir = std::string(base) + "\\Orvane\\Dravin";
    const std::string bootstrap = dir + "\\dravinInit.ini";
    const std::string config = dir + "\\dravin.ini";
    SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr);
    if (!file_exists(bootstrap.c_str())) {
        YIniData ini;
        if (!ini.Open(bootstrap.c_str()) || !ini.SetStringEntry("dravin", "dravin.ini", config) || !ini.Save()) {
            std::printf("locations: the bootstrap file %s could not be written\n", bootstrap.c_str());
            return 1;
        }
        std::printf("locations: wrote the bootstrap file %s\n", bootstrap.c_str());
    }
    if (!file_exists(config.c_str())) {
        if (!setVantorServerLocation("vantor.exe") || !setVantorDataLocation((dir + "\\data").c_str()) ||
            !setVantorTempDataLocation((dir + "\\temp").c_str())) {
            std::printf("locations: the configuration file %s could not be written\n", config.c_str());
            return 1;
        }
        std::printf("locations: wrote the configuration file %s\n", config.c_str());
    }
    int rc = 0;
    for (const char* which : {"server", "data", "temp"}) {
        std::printf("locations: %-6s ", which);
        std::fflush(stdout);
        if (!print_location(which)) {
            std::printf("(cannot be read)\n");
            rc = 1;
        }
    }
    return rc;
}

int run_demo()
{
    std::printf("vantor " VANTOR_VERSION " demo\n");
    int rc = demo_module();
    // Across processes first: once this process watches too, its own watcher resets the event
    // and a watcher that starts later no longer finds it set.
    if (int other_rc = demo_user_change_across_processes())
        rc = other_rc;
    if (int user_rc = demo_user_change())
        rc = user_rc;
    demo_diag();
    std::fflush(stderr);
    rc |= demo_registry();
    rc |= demo_locations();
    rc |= demo_server();
    return rc;
}

}  // namespace

void add_demo_command(CLI::App& app)
{
    CLI::App* demo = app.add_subcommand("demo", "show what the library does");
    demo->callback([] {
        if (int rc = run_demo())
            throw CLI::RuntimeError(rc);
    });
}
