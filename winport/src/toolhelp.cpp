// Process snapshots from /proc.
#include "handles.h"
#include "proc.h"

#include <winport/winport.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <unistd.h>

namespace winport {
namespace {

class snapshot_object final : public object {
public:
    std::vector<PROCESSENTRY32> entries;
    std::size_t next = 0;
};

std::string read_small_file(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "re")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

std::string last_component(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file name of a process's executable: from its link where the caller may read it, else
// from its first argument, else (kernel threads) the kernel's short name.
std::string exe_file_name(DWORD pid, const std::string& dir, const std::string& comm)
{
    std::string path = executable_of(static_cast<pid_t>(pid));
    if (!path.empty())
        return last_component(path);
    std::string cmdline = read_small_file(dir + "/cmdline");
    std::string first = cmdline.substr(0, cmdline.find('\0'));
    return first.empty() ? comm : last_component(first);
}

// Fills an entry from /proc/<pid>/stat; false for a process that has ended (or is gone).
bool read_entry(DWORD pid, PROCESSENTRY32& e)
{
    std::string dir = "/proc/" + std::to_string(pid);
    std::string stat = read_small_file(dir + "/stat");
    std::size_t open = stat.find('(');
    std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    char state = 0;
    int ppid = 0;
    long threads = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %ld",
                    &state, &ppid, &threads) != 3)
        return false;
    if (state == 'Z' || state == 'X')
        return false;
    std::memset(&e, 0, sizeof e);
    e.dwSize = sizeof e;
    e.th32ProcessID = pid;
    e.cntThreads = static_cast<DWORD>(threads);
    e.th32ParentProcessID = static_cast<DWORD>(ppid);
    e.pcPriClassBase = 8;
    std::string name = exe_file_name(pid, dir, stat.substr(open + 1, close - open - 1));
    std::snprintf(e.szExeFile, sizeof e.szExeFile, "%s", name.c_str());
    return true;
}

bool hand_out(HANDLE h, LPPROCESSENTRY32 lppe, bool first)
{
    std::shared_ptr<snapshot_object> snap = handle_get_as<snapshot_object>(h);
    if (!snap)
        return false;
    if (!lppe || lppe->dwSize < sizeof(PROCESSENTRY32)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (first)
        snap->next = 0;
    if (snap->next >= snap->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    *lppe = snap->entries[snap->next++];
    return true;
}

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD)
{
    if (!(dwFlags & TH32CS_SNAPPROCESS)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    DIR* proc = opendir("/proc");
    if (!proc) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    std::vector<DWORD> pids;
    while (dirent* d = readdir(proc)) {
        char* end;
        unsigned long pid = std::strtoul(d->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && pid <= 0xFFFFFFFFul)
            pids.push_back(static_cast<DWORD>(pid));
    }
    closedir(proc);
    std::sort(pids.begin(), pids.end());
    auto snap = std::make_shared<snapshot_object>();
    snap->entries.reserve(pids.size());
    for (DWORD pid : pids) {
        PROCESSENTRY32 e;
        if (read_entry(pid, e))
            snap->entries.push_back(e);
    }
    HANDLE h = handle_insert(snap);
    return h ? h : INVALID_HANDLE_VALUE;
}

BOOL WINAPI Process32First(HANDLE hSnapshot, LPPROCESSENTRY32 lppe)
{
    return hand_out(hSnapshot, lppe, true) ? TRUE : FALSE;
}

BOOL WINAPI Process32Next(HANDLE hSnapshot, LPPROCESSENTRY32 lppe)
{
    return hand_out(hSnapshot, lppe, false) ? TRUE : FALSE;
}

}  // extern "C"
