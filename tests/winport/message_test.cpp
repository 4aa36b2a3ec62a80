// System message texts, and the message box of Linux. The texts are Windows' own; Wine has
// texts of its own, so under Wine only the codes and flags are compared.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

std::string system_text(DWORD code, DWORD flags = 0)
{
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | flags, nullptr, code, 0,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = n ? std::string(text, n) : std::string();
    LocalFree(text);
    return result;
}

#ifdef _WIN32
constexpr bool exact_texts = false;
#else
constexpr bool exact_texts = true;
#endif

// With the widest line asked for, the line end becomes a space.
TEST(FormatMessage, GivesTheSystemTextsWithTheirLineEnd_OrASpaceAtMaxWidth)
{
    struct row {
        DWORD code;
        const char* text;
    };
    const row rows[] = {
        {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_MORE_DATA, "More data is available.\r\n"},
        {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
        {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
        {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
        {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it.\r\n"},
    };
    for (const row& r : rows) {
        std::string text = system_text(r.code, FORMAT_MESSAGE_IGNORE_INSERTS);
        std::string end = text.substr(text.size() < 2 ? 0 : text.size() - 2);
        EXPECT_EQ(exact_texts ? text : end, exact_texts ? r.text : "\r\n") << r.code;
    }
    std::string text = system_text(ERROR_ACCESS_DENIED, FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(exact_texts ? text : text.substr(text.size() - 1), exact_texts ? "Access is denied. " : " ");
}

TEST(FormatMessage, Failures_SayWhy)
{
    char buf[64];
    auto format = [&](DWORD code, DWORD size) {
        return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, size,
                              nullptr);
    };
    EXPECT_EQ(format(ERROR_ACCESS_DENIED, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    DWORD n = format(ERROR_ACCESS_DENIED, sizeof buf);
    EXPECT_GT(n, 0u);
    EXPECT_EQ(n, static_cast<DWORD>(std::string(buf).size()));
    EXPECT_EQ(format(0x2345678, sizeof buf), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

#ifndef _WIN32

std::string last_caption, last_text;
UINT last_type = 0;

int answer_no(HWND, const char* text, const char* caption, UINT type)
{
    last_text = text;
    last_caption = caption;
    last_type = type;
    return IDNO;
}

TEST(LinuxMessageBox, Handler_TakesTheBox_AndNullRestoresTheDefault)
{
    EXPECT_EQ(winport_set_message_box_handler(answer_no), nullptr);
    EXPECT_EQ(MessageBoxA(nullptr, "the text", "the caption", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(last_text, "the text");
    EXPECT_EQ(last_caption, "the caption");
    EXPECT_EQ(last_type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(winport_set_message_box_handler(nullptr), answer_no);
}

// Runs fn with standard error going to a file, and gives what it wrote there.
template <class F>
std::string captured_stderr(F fn)
{
    FILE* file = std::tmpfile();
    int saved = dup(STDERR_FILENO);
    dup2(fileno(file), STDERR_FILENO);
    fn();
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string out;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        out += static_cast<char>(c);
    std::fclose(file);
    return out;
}

TEST(LinuxMessageBox, Default_WritesOneRecordToStandardError_AndAnswersTheDefaultButton)
{
    int ok = 0, yes = 0, no = 0;
    std::string out = captured_stderr([&] {
        ok = MessageBoxA(nullptr, "Access is denied.\r\n", "Registry access error", MB_OK | MB_ICONEXCLAMATION);
        yes = MessageBoxA(nullptr, "q", "c", MB_YESNO);
        no = MessageBoxA(nullptr, "q", "c", MB_YESNO | MB_DEFBUTTON2);
    });
    EXPECT_EQ(out, "Registry access error: Access is denied.\r\n\nc: q\nc: q\n");
    EXPECT_EQ(ok, IDOK);
    EXPECT_EQ(yes, IDYES);
    EXPECT_EQ(no, IDNO);
}

#endif

}  // namespace
