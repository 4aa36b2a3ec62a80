// vantorctl demo: a short tour of what the library does, through its exported functions.
#include "commands.h"

#include <vantor/vantor.h>
#include <ysl/ydiag.h>

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

int run_demo()
{
    std::printf("vantor " VANTOR_VERSION " demo\n");
    int rc = demo_module();
    demo_diag();
    std::fflush(stderr);
    rc |= demo_registry();
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
