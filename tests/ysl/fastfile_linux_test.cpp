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

using texts = std::vector<std::string>;
const char* const full_device = "\\dev\\full";
const std::string write_failed = "write64(): WriteFile() failed: " + std::to_string(ERROR_DISK_FULL);

// Flush and Close fail when the pending bytes cannot be written, each reported once by the
// write; a write larger than the buffer fails at once.
TEST(LinuxFullDevice, WriterFailures)
{
    YFastFileWriter w(full_device, 1);
    ASSERT_TRUE(w.IsOpen());
    EXPECT_EQ(w.WriteString("pending"), 7) << "still in the buffer";
    YDiagCapture cap;
    EXPECT_FALSE(w.Flush());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (texts{write_failed, "YFastFileWriter::write_to_disk(): write64() failed"}));
    EXPECT_TRUE(w.Close()) << "nothing pending any more";

    YFastFileWriter c(full_device, 2);
    EXPECT_EQ(c.WriteLine("pending"), 8);
    EXPECT_FALSE(c.Close());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE).size(), 4u) << "reported once, by the write";
    EXPECT_FALSE(c.IsOpen());

    YFastFileWriter l(full_device, 1);
    std::string block(20000, 'b');
    EXPECT_EQ(l.Write(block.data(), static_cast<unsigned>(block.size())), -1);
}

TEST(LinuxFullDevice, WriteAtOnce_Fails)
{
    for (int mode : {1, 2, 2 + 4}) {
        YDiagCapture cap;
        EXPECT_EQ(YFastFile_WriteAtOnce(full_device, "data", 4, mode), -1) << mode;
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (texts{write_failed, "YFastFile_WriteAtOnce(): write64() failed"}));
    }
}

class LinuxFileSizeLimit : public ScratchDirTest {};

TEST_F(LinuxFileSizeLimit, ReplacementThatCannotBeWritten_LeavesTheTargetAndNoTemporaryFile)
{
    put("target", "old content");
    std::signal(SIGXFSZ, SIG_IGN);  // past the limit a write fails with EFBIG instead of ending the process
    rlimit saved, limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit = saved;
    limit.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::string data(4096, 'n');
    YDiagCapture cap;
    int written = YFastFile_WriteAtOnce(path("target").c_str(), data.data(), static_cast<unsigned>(data.size()), 10);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(written, -1);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), (texts{write_failed, "YFastFile_WriteAtOnce(): write64() failed"}));
    EXPECT_EQ(get("target"), "old content");
    EXPECT_EQ(count_named("ffw"), 0);
}

}  // namespace
