// The buffered reader and writer and the whole-file functions, on real files.
#include <ysl/fastfile.h>
#include <ysl/fileops.h>

#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class FastFileReaderTest : public ScratchDirTest {
protected:
    // Every line of the file by ReadLine(std::string&), up to the end of the file.
    std::vector<std::string> string_lines(const std::string& name)
    {
        YFastFileReader r(path(name).c_str());
        std::vector<std::string> lines;
        std::string line;
        while (!r.IsEOF() && r.ReadLine(line))
            lines.push_back(line);
        return lines;
    }
    // The same by ReadLine(char*, max).
    std::vector<std::string> buffer_lines(const std::string& name, unsigned max = 30000)
    {
        YFastFileReader r(path(name).c_str());
        std::vector<std::string> lines;
        std::vector<char> buf(max + 1);
        for (int n; !r.IsEOF() && (n = r.ReadLine(buf.data(), max)) >= 0;)
            lines.push_back(std::string(buf.data(), static_cast<std::size_t>(n)));
        return lines;
    }
};

TEST_F(FastFileReaderTest, ReadLine_AllThreeLineEnds)
{
    struct {
        const char* bytes;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\nb\nc\r", {"a", "b", "c"}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\rb\n", {"a", "", "b"}},
        {"last line without end", {"last line without end"}},
        {"\n\n", {"", ""}},
    };
    for (const auto& c : cases) {
        put("f", c.bytes);
        EXPECT_EQ(string_lines("f"), c.lines) << c.bytes;
        EXPECT_EQ(buffer_lines("f"), c.lines) << c.bytes;
    }
}

TEST_F(FastFileReaderTest, ReadLine_LineEndsSplitAcrossBufferFillings)
{
    const std::string head(8191, 'x');
    // CR LF as bytes 8191/8192: the pair spans two fillings and still ends one line.
    put("crlf", head + "\r\ny\r\n");
    EXPECT_EQ(string_lines("crlf"), (std::vector<std::string>{head, "y"}));
    EXPECT_EQ(buffer_lines("crlf"), (std::vector<std::string>{head, "y"}));
    // A CR as the last byte of a filling followed by another line.
    put("cr", head + "\rz");
    EXPECT_EQ(string_lines("cr"), (std::vector<std::string>{head, "z"}));
    // The line end as the first byte of the second filling.
    put("lf", std::string(8192, 'x') + "\nw");
    EXPECT_EQ(string_lines("lf"), (std::vector<std::string>{std::string(8192, 'x'), "w"}));
    // A line over three fillings.
    std::string long_line;
    for (int i = 0; i < 20000; ++i)
        long_line += static_cast<char>('a' + i % 26);
    put("long", "s\n" + long_line + "\r\nt");
    EXPECT_EQ(string_lines("long"), (std::vector<std::string>{"s", long_line, "t"}));
    EXPECT_EQ(buffer_lines("long"), (std::vector<std::string>{"s", long_line, "t"}));
}

TEST_F(FastFileReaderTest, ReadLine_WithMax_HandsOutALongLineInPieces)
{
    put("f", "abcdef\nxy");
    YFastFileReader r(path("f").c_str());
    char buf[4];
    EXPECT_EQ(r.ReadLine(buf, 3), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(r.ReadLine(buf, 3), 3);
    EXPECT_STREQ(buf, "def");
    EXPECT_EQ(r.ReadLine(buf, 3), 0) << "the third call reads the line end";
    EXPECT_FALSE(r.IsEOF());
    EXPECT_EQ(r.ReadLine(buf, 3), 2);
    EXPECT_STREQ(buf, "xy");
    EXPECT_TRUE(r.IsEOF());
}

TEST_F(FastFileReaderTest, EmptyFile_GivesAnEmptyLineAndEndOfFile)
{
    put("empty", "");
    YFastFileReader r(path("empty").c_str());
    char buf[8] = "junk";
    EXPECT_EQ(r.ReadLine(buf, 7), 0);
    EXPECT_STREQ(buf, "");
    std::string line = "junk";
    EXPECT_TRUE(r.ReadLine(line));
    EXPECT_EQ(line, "");
    EXPECT_TRUE(r.IsEOF());
}

TEST_F(FastFileReaderTest, ReadString_StopsAtTheDelimiter)
{
    put("f", "key=value;;tail");
    YFastFileReader r(path("f").c_str());
    char buf[32];
    EXPECT_EQ(r.ReadString(buf, 31, ';'), 9);
    EXPECT_STREQ(buf, "key=value");
    EXPECT_EQ(r.ReadString(buf, 31, ';'), 0);
    EXPECT_EQ(r.ReadString(buf, 2, ';'), 2);
    EXPECT_STREQ(buf, "ta");
    EXPECT_EQ(r.ReadString(buf, 31, ';'), 2);
    EXPECT_STREQ(buf, "il");
}

TEST_F(FastFileReaderTest, Characters_CrLfAsOneLf_AndUnRead)
{
    put("f", "\r\nx\r");
    YFastFileReader r(path("f").c_str());
    {
        YDiagCapture cap;
        EXPECT_FALSE(r.UnReadChar());
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), std::vector<std::string>{"YFastFileReader::UnReadChar(): can't rewind"});
    }
    char c = 0;
    EXPECT_EQ(r.ReadCharNL(c), 1);
    EXPECT_EQ(c, '\n');
    EXPECT_EQ(r.ReadCharNL(c), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_TRUE(r.UnReadChar());
    EXPECT_EQ(r.ReadChar(c), 1);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(r.ReadCharNL(c), 1) << "a lone CR at the end of the file";
    EXPECT_EQ(c, '\n');
    EXPECT_EQ(r.ReadCharNL(c), 0);
    EXPECT_EQ(r.ReadChar(c), 0);
}

TEST_F(FastFileReaderTest, ReadCharNL_PutsBackTheByteAfterALoneCr)
{
    put("f", "a\rb");
    YFastFileReader r(path("f").c_str());
    std::string got;
    for (char c; r.ReadCharNL(c) == 1;)
        got += c;
    EXPECT_EQ(got, "a\nb");
}

TEST_F(FastFileReaderTest, Read_LargeAndSmallBlocks_GiveTheFileInOrder)
{
    std::string data;
    for (int i = 0; i < 30000; ++i)
        data += static_cast<char>(i * 7);
    put("f", data);
    YFastFileReader r(path("f").c_str());
    std::string got(30000, '\0');
    EXPECT_EQ(r.Read(&got[0], 100), 100);
    EXPECT_EQ(r.Read(&got[100], 20000), 20000) << "more than the buffer: straight from the file";
    EXPECT_EQ(r.Read(&got[20100], 5000), 5000);
    EXPECT_EQ(r.Read(&got[25100], 9000), 4900) << "short at the end of the file";
    EXPECT_EQ(got, data);
    EXPECT_TRUE(r.IsEOF());
}

TEST_F(FastFileReaderTest, OpenFailure_IsReportedWithTheSystemError)
{
    std::string missing = path("missing");
    YDiagCapture cap;
    YFastFileReader r;
    EXPECT_FALSE(r.Open(missing.c_str()));
    EXPECT_FALSE(r.IsOpen());
    const std::string code = std::to_string(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (std::vector<std::string>{"openfile(): CreateFile(\"" + missing + "\") failed: " + code,
                                        "YFastFileReader::Open(): openfile(\"" + missing + "\") failed: " + code}));
}

TEST_F(FastFileReaderTest, ClosedReader_IsAtItsEnd_AndSaysSoOnceInTheErrorLog)
{
    YFastFileReader r;
    YDiagCapture cap;
    EXPECT_TRUE(r.IsEOF());
    EXPECT_EQ(cap.texts(YDIAG_ERRLOG), std::vector<std::string>{"YFastFileReader::IsEOF(): no open file"});
    EXPECT_TRUE(cap.texts(YDIAG_ERRTRACE).empty());
    char c;
    EXPECT_EQ(r.ReadChar(c), -1);
    EXPECT_TRUE(r.Close());
}

TEST(FastFileBOM, Codes)
{
    struct {
        std::vector<unsigned char> bytes;
        int code;
    } cases[] = {
        {{0xEF, 0xBB, 0xBF, 0x41}, 1},
        {{0xEF, 0xBB}, 0},
        {{0xFE, 0xFF, 0x00, 0x41}, 2},
        {{0xFF, 0xFE, 0x41, 0x00}, 3},
        {{0xFF, 0xFE, 0x00, 0x00}, 5},
        {{0xFF, 0xFE, 0x00}, 3},
        {{0x00, 0x00, 0xFE, 0xFF}, 4},
        {{0xFF}, 0},
        {{}, 0},
        {{0x41, 0x42, 0x43}, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(YFastFile_DetectBOM(c.bytes.data(), c.bytes.size()), c.code) << c.bytes.size();
}

class FastFileWriterTest : public ScratchDirTest {};

TEST_F(FastFileWriterTest, Lines_AndLineEnds)
{
    YFastFileWriter w(path("f").c_str(), 2);
    ASSERT_TRUE(w.IsOpen());
    EXPECT_EQ(w.WriteLine("a\rb"), 4) << "a CR is written unchanged";
    EXPECT_EQ(w.WriteLineNL("ab\nc"), 5);
    EXPECT_EQ(w.WriteString("bare\n"), 5);
    EXPECT_EQ(w.WriteStringNL("x\ny"), 3);
    {
        YDiagCapture cap;
        EXPECT_EQ(w.WriteLine("abc\ndef"), -1);
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                  std::vector<std::string>{"YFastFileWriter::WriteLine(): EOL detected in string at pos 3"});
    }
    EXPECT_EQ(w.WriteChar('!'), 1);
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(get("f"), "a\rb\r\nab\r\nc\r\nbare\nx\r\ny!");
}

TEST_F(FastFileWriterTest, Numbers_InStoredByteOrder_ReadBackByTheReader)
{
    {
        YFastFileWriter w(path("f").c_str(), 0);
        EXPECT_EQ(w.WriteInt(0x12345678), 4);
        EXPECT_EQ(w.WriteShort(-2), 2);
        EXPECT_EQ(w.WriteLong(-7), 4);
        EXPECT_EQ(w.WriteFloat(1.5f), 4);
        EXPECT_EQ(w.WriteDouble(-0.25), 8);
    }
    EXPECT_EQ(get("f").substr(0, 4), "\x78\x56\x34\x12");
    YFastFileReader r(path("f").c_str());
    int i;
    short s;
    std::int32_t l;
    float f;
    double d;
    EXPECT_EQ(r.ReadInt(i) + r.ReadShort(s) + r.ReadLong(l) + r.ReadFloat(f), 14);
    EXPECT_EQ(r.ReadInt(i), 4) << "half of the double";
    EXPECT_EQ(r.ReadDouble(d), 4) << "short at the end of the file";
    EXPECT_EQ(r.ReadInt(i), 0);
    r.Close();
    r.Open(path("f").c_str());
    EXPECT_EQ(r.Read(&i, 4) + r.ReadShort(s) + r.ReadLong(l) + r.ReadFloat(f) + r.ReadDouble(d), 22);
    EXPECT_EQ(i, 0x12345678);
    EXPECT_EQ(s, -2);
    EXPECT_EQ(l, -7);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(d, -0.25);
}

// What is on disk while the writer is open shows what its buffer keeps back.
TEST_F(FastFileWriterTest, BufferArithmetic)
{
    struct {
        unsigned pending;
        unsigned count;
        long long on_disk;  // right after the second write
    } cases[] = {
        {100, 16252, 8192},         // 8160 stay in the buffer
        {100, 16253, 100 + 16253},  // the rest goes straight to the file
        {0, 8192, 8192},            // exactly the free room: the whole buffer goes at once
        {0, 8191, 0},
        {8000, 192, 8192},
        {8000, 191, 0},
    };
    for (const auto& c : cases) {
        std::string data(c.pending + c.count, 'q');
        YFastFileWriter w(path("f").c_str(), 2);
        ASSERT_EQ(w.Write(data.data(), c.pending), static_cast<int>(c.pending));
        ASSERT_EQ(w.Write(data.data() + c.pending, c.count), static_cast<int>(c.count));
        EXPECT_EQ(file_size64(path("f").c_str()), c.on_disk) << c.pending << " + " << c.count;
        EXPECT_TRUE(w.Close());
        EXPECT_EQ(get("f"), data) << c.pending << " + " << c.count;
    }
}

TEST_F(FastFileWriterTest, Open_ClosesTheFileStillOpen)
{
    YFastFileWriter w(path("f").c_str(), 1);
    EXPECT_EQ(w.WriteString("pending"), 7);
    ASSERT_TRUE(w.Open(path("g").c_str(), 2 + 4));
    EXPECT_EQ(get("f"), "pending");
    EXPECT_TRUE(w.Close());
    EXPECT_TRUE(w.Close()) << "closing a closed writer is no failure";
}

TEST_F(FastFileWriterTest, UnknownModes_AreRefused)
{
    for (int mode : {3, 8, 10, 12, 14}) {
        YDiagCapture cap;
        YFastFileWriter w(path("f").c_str(), mode);
        EXPECT_FALSE(w.IsOpen());
        int base = mode & ~4;
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                  (std::vector<std::string>{
                      "openwritefile(): unknown mode " + std::to_string(base) + " for " + path("f"),
                      "YFastFileWriter::Open(): openwritefile(" + path("f") + ", " + std::to_string(mode) + ") failed",
                      "YFastFileWriter::YFastFileWriter(): Open(\"" + path("f") + "\"," + std::to_string(mode) +
                          ") failed"}));
    }
    EXPECT_EQ(file_exists(path("f").c_str()), 0);
}

TEST_F(FastFileWriterTest, ClosedWriter_RefusesWrites)
{
    YFastFileWriter w;
    YDiagCapture cap;
    EXPECT_EQ(w.WriteString("x"), -1);
    EXPECT_EQ(w.WriteChar('x'), -1);
    EXPECT_FALSE(w.Flush());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (std::vector<std::string>{"YFastFileWriter::write_to_buffer(): no open file",
                                        "YFastFileWriter::WriteString(): write_to_buffer() failed",
                                        "YFastFileWriter::WriteChar(): no open file",
                                        "YFastFileWriter::Flush(): no open file"}));
}

class FastFileWholeTest : public ScratchDirTest {};

TEST_F(FastFileWholeTest, WriteAtOnce_Modes)
{
    const std::string f = path("f");
    EXPECT_EQ(YFastFile_WriteAtOnce(f.c_str(), "abc", 3, 0), 3);
    EXPECT_EQ(YFastFile_WriteAtOnce(f.c_str(), "xyz", 3, 0), -1) << "mode 0 onto an existing file";
    EXPECT_EQ(YFastFile_WriteAtOnce(f.c_str(), "de", 2, 1), 2);
    EXPECT_EQ(get("f"), "abcde");
    EXPECT_EQ(YFastFile_WriteAtOnce(f.c_str(), "1", 1, 2 + 4), 1);
    EXPECT_EQ(get("f"), "1");
    EXPECT_EQ(YFastFile_WriteAtOnce(f.c_str(), "replaced", 8, 10), 8);
    EXPECT_EQ(get("f"), "replaced");
    EXPECT_EQ(YFastFile_WriteAtOnce(path("new").c_str(), "n", 1, 10 + 4), 1);
    EXPECT_EQ(get("new"), "n");
    EXPECT_EQ(count_named("ffw"), 0);
    for (int mode : {3, 8, 12}) {
        YDiagCapture cap;
        EXPECT_EQ(YFastFile_WriteAtOnce(f.c_str(), "x", 1, mode), -1);
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE)[0],
                  "openwritefile(): unknown mode " + std::to_string(mode & ~4) + " for " + f);
    }
    EXPECT_EQ(get("f"), "replaced");
}

TEST_F(FastFileWholeTest, WriteAtOnce_ReplacingWithoutADirectory_UsesTheWorkingDirectory)
{
    std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    int written = YFastFile_WriteAtOnce("here.txt", "h", 1, 10);
    std::filesystem::current_path(old);
    EXPECT_EQ(written, 1);
    EXPECT_EQ(get("here.txt"), "h");
    EXPECT_EQ(count_named("ffw"), 0);
}

// A replacement that cannot complete leaves the target and no temporary file.
TEST_F(FastFileWholeTest, WriteAtOnce_FailedReplacement_LeavesTheTarget)
{
    std::filesystem::create_directory(dir_ / "target");
    put("target/inside", "kept");
    YDiagCapture cap;
    EXPECT_EQ(YFastFile_WriteAtOnce(path("target").c_str(), "data", 4, 10), -1);
    EXPECT_EQ(get("target/inside"), "kept");
    EXPECT_EQ(count_named("ffw"), 0);
    std::vector<std::string> texts = cap.texts(YDIAG_ERRTRACE);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("file_rename(): MoveFileEx(", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1].rfind("YFastFile_WriteAtOnce(): file_rename(", 0), 0u) << texts[1];

    EXPECT_EQ(YFastFile_WriteAtOnce(path("missing/f").c_str(), "data", 4, 10), -1) << "no directory for the temporary";
}

TEST_F(FastFileWholeTest, LineEnds_WrittenAsCrLf_ReadAsLf)
{
    const char text[] = "a\rb\nc\r\n";
    EXPECT_EQ(YFastFile_WriteLinesAtOnce(path("f").c_str(), text, 7, 2), 9);
    EXPECT_EQ(get("f"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(YFastFile_WriteLinesAtOnce(path("e").c_str(), "", 0, 2), 0);
    EXPECT_EQ(get("e"), "");

    put("g", "a\r\nb\rc");
    char buf[16];
    EXPECT_EQ(YFastFile_ReadLinesAtOnce(path("g").c_str(), buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "a\nb\nc");
    std::string s;
    EXPECT_EQ(YFastFile_ReadLinesAtOnce(path("g").c_str(), s), 5);
    EXPECT_EQ(s, "a\nb\nc");
    put("h", "x\r");
    EXPECT_EQ(YFastFile_ReadLinesAtOnce(path("h").c_str(), s), 2);
    EXPECT_EQ(s, "x\n");
}

TEST_F(FastFileWholeTest, ReadAtOnce)
{
    put("f", std::string("bin\0ary", 7));
    char buf[16];
    EXPECT_EQ(YFastFile_ReadAtOnce(path("f").c_str(), buf, sizeof buf), 7);
    std::string s = "junk";
    EXPECT_EQ(YFastFile_ReadAtOnce(path("f").c_str(), s), 7);
    EXPECT_EQ(s, std::string("bin\0ary", 7));

    YDiagCapture cap;
    EXPECT_EQ(YFastFile_ReadAtOnce(path("missing").c_str(), s), -1);
    EXPECT_TRUE(s.empty());
    std::vector<std::string> texts = cap.texts(YDIAG_ERRTRACE);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], "YFastFile_ReadAtOnce(): file_size(\"" + path("missing") + "\") returned -1");
}

TEST_F(FastFileWholeTest, CopyFile)
{
    put("empty", "");
    EXPECT_TRUE(YFastFile_CopyFile(path("empty").c_str(), path("copy").c_str(), 0));
    EXPECT_EQ(file_size(path("copy").c_str()), 0);
    put("full", "content");
    EXPECT_FALSE(YFastFile_CopyFile(path("full").c_str(), path("copy").c_str(), 0)) << "mode 0: target exists";
    EXPECT_TRUE(YFastFile_CopyFile(path("full").c_str(), path("copy").c_str(), 10));
    EXPECT_EQ(get("copy"), "content");
    EXPECT_FALSE(YFastFile_CopyFile(path("missing").c_str(), path("copy").c_str(), 2));
    EXPECT_EQ(get("copy"), "content");
}

}  // namespace
