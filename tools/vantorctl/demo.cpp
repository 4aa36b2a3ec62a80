// vantorctl demo: a short tour of what the library does, through its exported functions.
#include "commands.h"

#include <vantor/vantor.h>
#include <ysl/YIniData.h>
#include <ysl/fileops.h>
#include <ysl/ydiag.h>

#include <string>

#include <cstdio>

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
    std::printf("module: vantor.dll loaded: Windows Sockets starts %d -> %d; unloaded: %d\n", before, loaded, unloaded);
    return 0;
}

void demo_diag()
{
    std::printf("diag:   a failure that ends where it happens goes to the error log (standard error, or YERRLOG):\n");
    std::fflush(stdout);
    YErrLog("vantorctl demo: %s (%Iu bytes)", "an error-log entry", sizeof(WSADATA));
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
    demo_diag();
    rc |= demo_locations();
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
