#include "token.h"

#include <winport/winport.h>
#include <ysl/ydiag.h>

#ifdef _WIN32
#include <aclapi.h>
#endif

#include <random>

bool make_token(std::string& token)
{
    static const char digits[] = "0123456789abcdef";
    token.clear();
    try {
        // Both targets' run-times draw this from the system's cryptographic source
        // (getrandom on Linux, rand_s on Windows).
        std::random_device source;
        for (int i = 0; i < 8; ++i) {
            const unsigned word = source();
            for (int shift = 28; shift >= 0; shift -= 4)
                token += digits[(word >> shift) & 0xF];
        }
    } catch (const std::exception& e) {
        YErrLog("make_token(): no random source: %s", e.what());
        token.clear();
        return false;
    }
    return true;
}

bool tokens_equal(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

namespace {

std::string directory_of(const std::string& path)
{
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

#ifdef _WIN32
// Windows decides access by the file's ACL: the new file gets a protected one with a single
// entry for the calling user, so nothing inherited from the folder lets others in.
bool create_private_file(const std::string& dir, std::string& path)
{
    path = dir + "\\vantor.token.new";
    // CREATE_NEW applies the ACL; an existing file would keep whatever ACL it has.
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        YErrLog("create_private_file(): DeleteFileA(%s) failed: %lu", path.c_str(), GetLastError());
        return false;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        YErrLog("create_private_file(): OpenProcessToken() failed: %lu", GetLastError());
        return false;
    }
    union {
        TOKEN_USER user;
        char room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } who;
    DWORD size = 0;
    const BOOL have_user = GetTokenInformation(token, TokenUser, &who, sizeof who, &size);
    const DWORD user_error = GetLastError();
    CloseHandle(token);
    if (!have_user) {
        YErrLog("create_private_file(): GetTokenInformation() failed: %lu", user_error);
        return false;
    }
    EXPLICIT_ACCESS_A entry = {};
    entry.grfAccessPermissions = GENERIC_ALL;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
    entry.Trustee.ptstrName = static_cast<LPSTR>(who.user.User.Sid);
    PACL acl = nullptr;
    const DWORD acl_error = SetEntriesInAclA(1, &entry, nullptr, &acl);
    if (acl_error != ERROR_SUCCESS) {
        YErrLog("create_private_file(): SetEntriesInAcl() failed: %lu", acl_error);
        return false;
    }
    SECURITY_DESCRIPTOR sd;
    bool ok = InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) &&
              SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    if (!ok) {
        YErrLog("create_private_file(): building the security descriptor failed: %lu", GetLastError());
    } else {
        SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ok = file != INVALID_HANDLE_VALUE;
        if (!ok)
            YErrLog("create_private_file(): CreateFileA(%s) failed: %lu", path.c_str(), GetLastError());
        else
            CloseHandle(file);
    }
    LocalFree(acl);
    return ok;
}
#else
// Linux has no ACLs; GetTempFileNameA creates its new file with mode 0600 under a name no
// other process holds.
bool create_private_file(const std::string& dir, std::string& path)
{
    char name[MAX_PATH];
    if (GetTempFileNameA(dir.c_str(), "vtk", 0, name) == 0) {
        YErrLog("create_private_file(): GetTempFileNameA(%s) failed: %lu", dir.c_str(),
                static_cast<unsigned long>(GetLastError()));
        return false;
    }
    path = name;
    return true;
}
#endif

}  // namespace

bool write_private_file(const std::string& path, const std::string& data)
{
    const std::string dir = directory_of(path);
    const int made = SHCreateDirectoryExA(nullptr, dir.c_str(), nullptr);
    if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) {
        YErrLog("write_private_file(): SHCreateDirectoryExA(%s) failed: %d", dir.c_str(), made);
        return false;
    }
    std::string fresh;
    if (!create_private_file(dir, fresh))
        return false;
    HANDLE file =
        CreateFileA(fresh.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    if (!ok) {
        YErrLog("write_private_file(): CreateFileA(%s) failed: %lu", fresh.c_str(),
                static_cast<unsigned long>(GetLastError()));
    } else {
        DWORD written = 0;
        ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
             written == data.size() && FlushFileBuffers(file);
        if (!ok)
            YErrLog("write_private_file(): writing %s failed: %lu", fresh.c_str(),
                    static_cast<unsigned long>(GetLastError()));
        CloseHandle(file);
    }
    if (ok && !MoveFileExA(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        YErrLog("write_private_file(): MoveFileExA(%s, %s) failed: %lu", fresh.c_str(), path.c_str(),
                static_cast<unsigned long>(GetLastError()));
        ok = false;
    }
    if (!ok)
        DeleteFileA(fresh.c_str());
    return ok;
}
