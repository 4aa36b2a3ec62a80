// Writes that the device refuses: the full device, and a file-size limit standing in for a
// full disk (both need no privileges).
#include <ysl/fastfile.h>

#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

const char* const full_device = "\\dev\\full";
const std::string disk_full = std::to_string(ERROR_DISK_FULL);

TEST(LinuxFullDevice, Flush_FailsWhenThePendingBytesCannotBeWritten)
{
    YFastFileWriter w(full_device, 1);
    ASSERT_TRUE(w.IsOpen());
    EXPECT_EQ(w.WriteString("pending"), 7) << "still in the buffer";
    YDiagCapture cap;
    EXPECT_FALSE(w.Flush());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (std::vector<std::string>{"write64(): WriteFile() failed: " + disk_full,
                                        "YFastFileWriter::write_to_disk(): write64() failed"}));
    EXPECT_TRUE(w.Close()) << "nothing pending any more";
}

TEST(LinuxFullDevice, Close_FailsWhenThePendingBytesCannotBeWritten)
{
    YFastFileWriter w(full_device, 2);
    ASSERT_TRUE(w.IsOpen());
    EXPECT_EQ(w.WriteLine("pending"), 8);
    YDiagCapture cap;
    EXPECT_FALSE(w.Close());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE).size(), 2u) << "reported once, by the write";
    EXPECT_FALSE(w.IsOpen());
}

TEST(LinuxFullDevice, LargeWrite_Fails)
{
    YFastFileWriter w(full_device, 1);
    std::string block(20000, 'b');
    EXPECT_EQ(w.Write(block.data(), static_cast<unsigned>(block.size())), -1);
}

TEST(LinuxFullDevice, WriteAtOnce_Fails)
{
    for (int mode : {1, 2, 2 + 4}) {
        YDiagCapture cap;
        EXPECT_EQ(YFastFile_WriteAtOnce(full_device, "data", 4, mode), -1) << mode;
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (std::vector<std::string>{"write64(): WriteFile() failed: " + disk_full,
                                                                       "YFastFile_WriteAtOnce(): write64() failed"}));
    }
}

class LinuxFileSizeLimit : public ScratchDirTest {
protected:
    void SetUp() override
    {
        ScratchDirTest::SetUp();
        // Past the limit a write fails with EFBIG instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
    }
    void TearDown() override
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        ScratchDirTest::TearDown();
    }
    void limit(rlim_t bytes)
    {
        rlimit l = saved_;
        l.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &l), 0);
    }
    rlimit saved_;
};

TEST_F(LinuxFileSizeLimit, ReplacementThatCannotBeWritten_LeavesTheTargetAndNoTemporaryFile)
{
    put("target", "old content");
    limit(1024);
    std::string data(4096, 'n');
    YDiagCapture cap;
    EXPECT_EQ(YFastFile_WriteAtOnce(path("target").c_str(), data.data(), static_cast<unsigned>(data.size()), 10), -1);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (std::vector<std::string>{"write64(): WriteFile() failed: " + disk_full,
                                                                   "YFastFile_WriteAtOnce(): write64() failed"}));
    EXPECT_EQ(get("target"), "old content");
    EXPECT_EQ(count_named("ffw"), 0);
}

}  // namespace
