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

TEST_F(ErrTrace, ClearedContext_DropsItsEntries)
{
    YErrTrace("outer");
    YErrTrace_BeginContext();
    YErrTrace("inner");
    YErrTrace_ClearContext();
    YErrTrace_EndContext();
    EXPECT_EQ(dumped(), texts{"outer"});
}

TEST_F(ErrTrace, EndedContext_PassesItsEntriesToTheEnclosingOne)
{
    YErrTrace("outer");
    YErrTrace_BeginContext();
    YErrTrace("inner 1");
    YErrTrace_BeginContext();
    YErrTrace("inner 2");
    YErrTrace_EndContext();
    YErrTrace_EndContext();
    EXPECT_EQ(dumped(), (texts{"outer", "inner 1", "inner 2"}));
}

TEST_F(ErrTrace, Dump_WritesMessageThenEntriesWithTheirLocations_Once)
{
    int line = __LINE__ + 1;
    YErrTrace("failed: %d", 5);
    YDiagCapture capture;
    int dump_line = __LINE__ + 1;
    YErrTrace_DumpContextToYErrLog("giving up on %s", "x.ini");
    std::vector<YDiagRecord> records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, YDIAG_ERRLOG);
    EXPECT_EQ(records[0].text, "giving up on x.ini");
    EXPECT_EQ(records[0].file, __FILE__);
    EXPECT_EQ(records[0].line, dump_line);
    EXPECT_EQ(records[1].kind, YDIAG_DUMPED);
    EXPECT_EQ(records[1].text, "failed: 5");
    EXPECT_EQ(records[1].line, line);
    // Reported once: a second dump has nothing left to write.
    EXPECT_EQ(dumped(), texts{});
}

TEST_F(ErrTrace, AddGoesToTheTraceNotTheLog)
{
    YDiagCapture capture;
    YErrTrace("kept for the caller");
    std::vector<YDiagRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, YDIAG_ERRTRACE);
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

TEST(ErrLog, WritesAtOnceWithItsLocation)
{
    YDiagCapture capture;
    int line = __LINE__ + 1;
    YErrLog("close failed: %u", 6u);
    std::vector<YDiagRecord> records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, YDIAG_ERRLOG);
    EXPECT_EQ(records[0].file, __FILE__);
    EXPECT_EQ(records[0].line, line);
    EXPECT_EQ(records[0].text, "close failed: 6");
}

TEST(ErrLog, WindowsSizeFormats_PrintSizes)
{
    YDiagCapture capture;
    std::size_t big = static_cast<std::size_t>(-1);
    std::ptrdiff_t negative = -12;
    long long wide = -1234567890123LL;
    YErrLog("%Iu|%Id|%5Iu|%I64d|%I32d|100%%|%s", big, negative, std::size_t{42}, wide, 7, "end");
    std::string expected = std::to_string(big) + "|-12|   42|-1234567890123|7|100%|end";
    EXPECT_EQ(capture.texts(), texts{expected});
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

TEST(ErrLog, LongMessage_IsWrittenWhole)
{
    YDiagCapture capture;
    std::string text(5000, 'x');
    YErrLog("%s", text.c_str());
    EXPECT_EQ(capture.texts(), texts{text});
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
