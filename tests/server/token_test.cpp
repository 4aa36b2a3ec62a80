// The server's token and its file: random, compared without early exit, and written so that
// only the server's user can read it, also over a file that others could read.
#include "token.h"

#include <test_support.h>
#include <ysl/fastfile.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#ifdef _WIN32
#include <aclapi.h>
#include <sddl.h>
#endif

namespace {

class TokenFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[MAX_PATH] = "";
        ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE));
        // A folder that does not exist yet in a fresh prefix; under Wine it stays for the next run.
        path = std::string(folder) + "\\vantor-token-test\\sub\\token-" + std::to_string(GetCurrentProcessId());
    }
    void TearDown() override { DeleteFileA(path.c_str()); }
    std::string read() const
    {
        std::string text;
        EXPECT_GE(YFastFile_ReadAtOnce(path.c_str(), text), 0);
        return text;
    }
    std::string path;
};

#ifdef _WIN32
// Every entry of the DACL allows the calling user and nobody else. Wine builds the DACL from
// the file's modes, without a protection flag, and names a file of the Unix user root as Local
// System's; so only the entries are compared, and Local System (which may read every file
// anyway) counts as no one else.
void expect_owner_only(const std::string& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                    nullptr, &sd),
              ERROR_SUCCESS);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    union {
        TOKEN_USER user;
        char room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } me;
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, &me, sizeof me, &size));
    CloseHandle(token);
    ASSERT_NE(dacl, nullptr) << "no DACL lets everyone in";
    EXPECT_GE(dacl->AceCount, 1);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        char* text = nullptr;
        ConvertSidToStringSidA(sid, &text);
        EXPECT_TRUE(EqualSid(sid, me.user.User.Sid) || IsWellKnownSid(sid, WinLocalSystemSid))
            << "entry " << i << " allows " << (text ? text : "?");
        LocalFree(text);
    }
    LocalFree(sd);
}
#else
void expect_owner_only(const std::string& path)
{
    struct _stat64 st;
    ASSERT_EQ(_stat64(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600);
}
#endif

TEST_F(TokenFile, Write_CreatesFoldersAndAPrivateFile_AlsoOverAFileOthersCouldRead)
{
    ASSERT_TRUE(write_private_file(path, "first"));
    EXPECT_EQ(read(), "first");
    expect_owner_only(path);
    // An old file made with the default permissions must not lend them to the new token.
    ASSERT_TRUE(DeleteFileA(path.c_str()));
    ASSERT_NE(YFastFile_WriteAtOnce(path.c_str(), "old", 3, 0), -1);
#ifndef _WIN32
    struct _stat64 st;
    ASSERT_EQ(_stat64(path.c_str(), &st), 0);
    ASSERT_NE(st.st_mode & 0077, 0) << "the old file should be readable by others";
#endif
    ASSERT_TRUE(write_private_file(path, "second"));
    EXPECT_EQ(read(), "second");
    expect_owner_only(path);
}

TEST(Token, RandomHexOf64Digits)
{
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) {
        std::string token;
        ASSERT_TRUE(make_token(token));
        EXPECT_EQ(token.size(), 64u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 8u);
}

TEST(Token, Equal)
{
    struct row {
        const char *a, *b;
        bool equal;
    } rows[] = {{"abc", "abc", true}, {"abc", "abd", false}, {"abc", "ab", false}, {"", "", true}, {"", "a", false}};
    for (const row& r : rows)
        EXPECT_EQ(tokens_equal(r.a, r.b), r.equal) << r.a << " / " << r.b;
}

}  // namespace
