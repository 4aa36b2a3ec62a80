// The error trace's contexts, dumps and formats, seen through the capture.
#include <ysl/ydiag.h>
#include <ysl/ydiag_capture.h>
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace {

using texts = std::vector<std::string>;

// Each case starts on a fresh context of its own and leaves the thread's base context empty.
class ErrTrace : public ::testing::Test {
protected:
    void SetUp() override { YErrTrace_BeginContext(); }
    void TearDown() override
    {
        YErrTrace_ClearContext();
        YErrTrace_EndContext();
    }
    // What a dump of the innermost context writes, without its message.
    texts dumped()
    {
        YDiagCapture capture;
        YErrTrace_DumpContextToYErrLog("dump");
        return capture.texts(YDIAG_DUMPED);
    }
};

TEST_F(ErrTrace, EndedContext_PassesItsEntriesOn_AClearedOneDropsThem)
{
    YErrTrace("outer");
    YErrTrace_BeginContext();
    YErrTrace("dropped");
    YErrTrace_ClearContext();
    YErrTrace("inner 1");
    YErrTrace_BeginContext();
    YErrTrace("inner 2");
    YErrTrace_EndContext();
    YErrTrace_EndContext();
    EXPECT_EQ(dumped(), (texts{"outer", "inner 1", "inner 2"}));
}

// An entry goes to the trace alone, a log record out at once; a dump writes its message and
// then the entries with their own locations, once.
TEST_F(ErrTrace, RecordsCarryTheirKindAndLocation_ADumpWritesTheEntriesOnce)
{
    YDiagCapture capture;
    const int line = __LINE__ + 1;
    YErrTrace("failed: %d", 5);
    YErrLog("close failed: %u", 6u);
    YErrTrace_DumpContextToYErrLog("giving up on %s", "x.ini");
    std::vector<YDiagRecord> records = capture.records();
    const struct {
        int kind;
        int line;
        const char* text;
    } expected[] = {{YDIAG_ERRTRACE, line, "failed: 5"},
                    {YDIAG_ERRLOG, line + 1, "close failed: 6"},
                    {YDIAG_ERRLOG, line + 2, "giving up on x.ini"},
                    {YDIAG_DUMPED, line, "failed: 5"}};
    ASSERT_EQ(records.size(), 4u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].kind, expected[i].kind) << i;
        EXPECT_EQ(records[i].file, __FILE__) << i;
        EXPECT_EQ(records[i].line, expected[i].line) << i;
        EXPECT_EQ(records[i].text, expected[i].text) << i;
    }
    EXPECT_EQ(dumped(), texts{});
}

TEST_F(ErrTrace, ThreadThatNeverClears_KeepsABoundedContext)
{
    for (int i = 0; i < 100000; ++i)
        YErrTrace("entry %d", i);
    texts d = dumped();
    ASSERT_LE(d.size(), 300u);
    // The newest entries are kept, and the loss is said.
    EXPECT_EQ(d.back(), "entry 99999");
    EXPECT_NE(d.front().find("dropped"), std::string::npos);
}

TEST_F(ErrTrace, ContextsBegunWithoutEnd_AreBoundedAndStillBalance)
{
    for (int i = 0; i < 10000; ++i)
        YErrTrace_BeginContext();
    YErrTrace("deep");
    for (int i = 0; i < 10000; ++i)
        YErrTrace_EndContext();
    // Back in the fixture's context, the entry made deep down has arrived.
    EXPECT_EQ(dumped(), texts{"deep"});
}

TEST_F(ErrTrace, ContextsAreKeptPerThread)
{
    YErrTrace("main thread");
    std::thread([] {
        YErrTrace("other thread");
        YErrTrace_ClearContext();
    }).join();
    EXPECT_EQ(dumped(), texts{"main thread"});
}

TEST(ErrLog, WindowsSizeFormats_AndLongMessages)
{
    YDiagCapture capture;
    std::size_t big = static_cast<std::size_t>(-1);
    std::ptrdiff_t negative = -12;
    long long wide = -1234567890123LL;
    YErrLog("%Iu|%Id|%5Iu|%I64d|%I32d|100%%|%s", big, negative, std::size_t{42}, wide, 7, "end");
    std::string long_text(5000, 'x');
    YErrLog("%s", long_text.c_str());
    EXPECT_EQ(capture.texts(), (texts{std::to_string(big) + "|-12|   42|-1234567890123|7|100%|end", long_text}));
}

TEST(ErrLog, ReportsLeaveTheLastErrorAsTheyFoundIt)
{
    // The error is read for the message after the location call has run.
    YDiagCapture capture;
    SetLastError(1234);
    YErrTrace("failed: %u", static_cast<unsigned>(GetLastError()));
    YErrLog("failed: %u", static_cast<unsigned>(GetLastError()));
    YErrTrace_BeginContext();
    YErrTrace_ClearContext();
    YErrTrace_EndContext();
    YTrace("default", 1, "traced");
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(capture.texts(YDIAG_ERRTRACE), texts{"failed: 1234"});
    EXPECT_EQ(capture.texts(YDIAG_ERRLOG), texts{"failed: 1234"});
    YErrTrace_ClearContext();
}

TEST(ErrLog, NullFormat_IsIgnored)
{
    YDiagCapture capture;
    _YErrLog_Location(0, __FILE__, __LINE__);
    _YErrLog_Add(nullptr);
    _YErrTrace_Add(nullptr);
    _YErrTrace_DumpContextToYErrLog(nullptr);
    _YTrace_Always(nullptr);
    EXPECT_EQ(capture.records().size(), 0u);
}

TEST(ErrLog, CaptureSeesEveryThread)
{
    YDiagCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i)
                YErrLog("thread %d entry %d", t, i);
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(capture.records(YDIAG_ERRLOG).size(), 400u);
}

}  // namespace
