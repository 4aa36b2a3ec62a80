// The mapping between the paths the library uses and Linux paths.
#include "path.h"

#include "handles.h"
#include "prefix.h"

#include <winport/winport.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace winport {

namespace {

bool has_drive(const char* path)
{
    return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

// $PREFIX/drive_c, made on first use so that a fresh prefix has its drive C:.
const std::string& drive_c_dir()
{
    static std::once_flag once;
    static std::string dir;
    std::call_once(once, [] {
        std::string d = prefix_path("drive_c");
        if (!d.empty() && make_private_dir(d))
            dir = d;
    });
    return dir;
}

std::string slashes(const char* path)
{
    std::string s(path);
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return s;
}

// Resolves "." and ".." and repeated separators of an absolute Linux path, without looking
// at the disk (as Windows resolves a full path); ".." at the root stays at the root.
std::string normalise(const std::string& absolute)
{
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < absolute.size()) {
        std::size_t j = absolute.find('/', i);
        if (j == std::string::npos)
            j = absolute.size();
        std::string part = absolute.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    if (out.empty())
        out = "/";
    if (absolute.size() > 1 && absolute.back() == '/' && out != "/")
        out += '/';
    return out;
}

std::string to_backslashes(std::string s)
{
    for (char& c : s)
        if (c == '/')
            c = '\\';
    return s;
}

// A path below a drive's root as Windows resolves it: "." and ".." are taken lexically, and
// ".." at the drive's root stays at the root, so that no spelling of a path leaves the drive.
std::string under_root(const std::string& root, const std::string& rest)
{
    return root + normalise("/" + rest);
}

// Whether an absolute Linux path lies in drive C; `rest` is then the part below its root.
bool in_drive_c(const std::string& absolute, std::string& rest)
{
    const std::string& drive = drive_c_dir();
    if (drive.empty() || absolute.compare(0, drive.size(), drive) != 0 ||
        (absolute.size() != drive.size() && absolute[drive.size()] != '/'))
        return false;
    rest = absolute.substr(drive.size());
    return true;
}

bool has_dot_dot(const std::string& path)
{
    for (std::size_t i = 0; (i = path.find("..", i)) != std::string::npos; i += 2)
        if ((i == 0 || path[i - 1] == '/') && (i + 2 == path.size() || path[i + 2] == '/'))
            return true;
    return false;
}

// A relative path climbing from a working directory in drive C stops at the drive's root as
// it does on Windows; any other relative path is left to the system.
bool drive_c_relative(const std::string& relative, std::string& out)
{
    char cwd[4096];
    std::string rest;
    if (!has_dot_dot(relative) || !getcwd(cwd, sizeof cwd) || !in_drive_c(cwd, rest))
        return false;
    out = under_root(drive_c_dir(), rest + "/" + relative);
    return true;
}

}  // namespace

bool unix_path(const char* path, std::string& out)
{
    if (!path || !*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!has_drive(path)) {
        out = slashes(path);
        std::string resolved;
        if (out[0] != '/' && drive_c_relative(out, resolved))
            out = resolved;
        return true;
    }
    char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    std::string root;
    if (letter == 'c') {
        root = drive_c_dir();
        if (root.empty()) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
    } else {
        root = prefix_path(std::string("dosdevices/") + letter + ":");
        struct stat st;
        if (root.empty() || stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
    }
    // "C:name" is relative to the drive's current directory on Windows; a drive here has
    // only its root.
    out = under_root(root, slashes(path + 2));
    return true;
}

std::string windows_view(const std::string& absolute)
{
    std::string rest;
    if (in_drive_c(absolute, rest))
        return "C:" + (rest.empty() ? std::string("\\") : to_backslashes(rest));
    return to_backslashes(absolute);
}

bool full_path(const char* relative, std::string& full)
{
    if (has_drive(relative)) {
        // Resolved inside the drive, so that ".." never climbs above its root.
        std::string rest = slashes(relative + 2);
        full = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(relative[0])))) + ":" +
               to_backslashes(normalise("/" + rest));
    } else {
        std::string unix = slashes(relative);
        if (unix[0] != '/' && !drive_c_relative(unix, unix)) {
            char cwd[4096];
            if (!getcwd(cwd, sizeof cwd))
                return false;
            unix = std::string(cwd) + "/" + unix;
        }
        full = windows_view(normalise(unix));
    }
    return true;
}

DWORD error_from_path_errno(int err, const std::string& unix)
{
    if (err == ENOENT) {
        std::size_t slash = unix.find_last_of('/', unix.size() > 1 ? unix.size() - 2 : 0);
        if (slash != std::string::npos && slash > 0) {
            std::string dir = unix.substr(0, slash);
            struct stat st;
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    return static_cast<DWORD>(error_from_errno(err));
}

}  // namespace winport
