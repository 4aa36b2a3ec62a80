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
#include <sys/stat.h>
#include <unistd.h>

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

// Replacing a file keeps what belongs to the file rather than to its content: the permission
// bits and owner of the replaced file, and a link, whose target is replaced in its own folder.
class LinuxReplacement : public ScratchDirTest {
protected:
    bool replace(const std::string& name, const std::string& data) const
    {
        return YFastFile_WriteAtOnce(path(name).c_str(), data.data(), static_cast<unsigned>(data.size()), 10) ==
               static_cast<int>(data.size());
    }
};

TEST_F(LinuxReplacement, KeepsPermissionBitsAndOwner)
{
    struct {
        mode_t mode;
        uid_t owner;  // -1: the caller
    } cases[] = {{0644, static_cast<uid_t>(-1)}, {0640, static_cast<uid_t>(-1)}, {0604, 65534}};
    for (const auto& c : cases) {
        put("f", "old");
        ASSERT_EQ(chmod(path("f").c_str(), c.mode), 0);
        if (c.owner != static_cast<uid_t>(-1) && chown(path("f").c_str(), c.owner, c.owner) != 0)
            continue;  // only the superuser may give a file away
        struct stat before, after;
        ASSERT_EQ(stat(path("f").c_str(), &before), 0);
        ASSERT_TRUE(replace("f", "new"));
        ASSERT_EQ(stat(path("f").c_str(), &after), 0);
        EXPECT_NE(after.st_ino, before.st_ino) << "replaced, not rewritten";
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(get("f"), "new");
    }
}

TEST_F(LinuxReplacement, ThroughALink_ReplacesItsTargetInTheTargetsFolder_AndKeepsTheLink)
{
    ASSERT_EQ(mkdir(path("real").c_str(), 0700), 0);
    put("real/f", "old");
    ASSERT_EQ(symlink("real/f", path("link").c_str()), 0);
    ASSERT_TRUE(replace("link", "new"));
    struct stat st;
    ASSERT_EQ(lstat(path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(get("real/f"), "new");
    EXPECT_EQ(count_named("ffw"), 0);
    EXPECT_EQ(count_named("real"), 1);
}
