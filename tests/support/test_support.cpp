#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <winport/winport.h>
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

namespace vantor_test {

#ifdef _WIN32

private_prefix::private_prefix() = default;
private_prefix::~private_prefix() = default;

std::string program_dir()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::filesystem::path(std::string(path, n)).parent_path().string();
}

std::string helper_path(const std::string& name)
{
    return program_dir() + "\\" + name + ".exe";
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
    }
}

private_prefix::~private_prefix()
{
    if (!path_.empty() && !std::getenv("VANTOR_KEEP_TEST_PREFIX")) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string program_dir()
{
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

std::string helper_path(const std::string& name)
{
    return program_dir() + "/" + name;
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

}  // namespace vantor_test
