// The buffered reader and writer and the whole-file functions, on real files.
#include <ysl/fastfile.h>
#include <ysl/fileops.h>

#include <ysl/ydiag_capture.h>

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using texts = std::vector<std::string>;

class FastFileReaderTest : public ScratchDirTest {
protected:
    // Every line of the file up to its end, read by ReadLine(std::string&) and by
    // ReadLine(char*, max), which must agree.
    texts lines(const std::string& name)
    {
        YFastFileReader a(path(name).c_str()), b(path(name).c_str());
        texts by_string, by_buffer;
        std::string line;
        while (!a.IsEOF() && a.ReadLine(line))
            by_string.push_back(line);
        std::vector<char> buf(30001);
        for (int n; !b.IsEOF() && (n = b.ReadLine(buf.data(), 30000)) >= 0;)
            by_buffer.push_back(std::string(buf.data(), static_cast<std::size_t>(n)));
        EXPECT_EQ(by_string, by_buffer) << name;
        return by_string;
    }
    // What successive reads into a buffer give, each as "count:text".
    template <class Read>
    static texts reads(int times, Read read)
    {
        texts out;
        while (times-- > 0) {
            char buf[64] = "junk";
            int n = read(buf);
            out.push_back(std::to_string(n) + ":" + (n >= 0 ? std::string(buf) : ""));
        }
        return out;
    }
};

// Every line end, also split across two fillings of the 8 KiB buffer, and a line over three.
TEST_F(FastFileReaderTest, ReadLine_LineEnds)
{
    const std::string x8191(8191, 'x'), x8192(8192, 'x');
    std::string long_line;
    for (int i = 0; i < 20000; ++i)
        long_line += static_cast<char>('a' + i % 26);
    const std::tuple<std::string, std::vector<std::string>> cases[] = {
        {"a\r\nb\nc\r", {"a", "b", "c"}},
        {"a\n\rb", {"a", "", "b"}},
        {"a\r\rb\n", {"a", "", "b"}},
        {"last line without end", {"last line without end"}},
        {"\n\n", {"", ""}},
        {x8191 + "\r\ny\r\n", {x8191, "y"}},  // CR LF as bytes 8191/8192
        {x8191 + "\rz", {x8191, "z"}},        // a CR as the last byte of a filling
        {x8192 + "\nw", {x8192, "w"}},        // the line end as the first byte of the second
        {"s\n" + long_line + "\r\nt", {"s", long_line, "t"}},
    };
    for (const auto& [bytes, want] : cases) {
        put("f", bytes);
        EXPECT_EQ(lines("f"), want) << bytes.size();
    }
}

// A line longer than the limit comes in pieces, the line end on its own; ReadString stops at
// its delimiter.
TEST_F(FastFileReaderTest, Pieces)
{
    put("f", "abcdef\nxy");
    YFastFileReader r(path("f").c_str());
    EXPECT_EQ(reads(3, [&](char* b) { return r.ReadLine(b, 3); }), (texts{"3:abc", "3:def", "0:"}));
    EXPECT_FALSE(r.IsEOF());
    EXPECT_EQ(reads(1, [&](char* b) { return r.ReadLine(b, 3); }), texts{"2:xy"});
    EXPECT_TRUE(r.IsEOF());

    put("g", "key=value;;tail");
    YFastFileReader g(path("g").c_str());
    auto upto = [&g](unsigned max) { return [&g, max](char* b) { return g.ReadString(b, max, ';'); }; };
    EXPECT_EQ(reads(2, upto(31)), (texts{"9:key=value", "0:"}));
    EXPECT_EQ(reads(1, upto(2)), texts{"2:ta"});
    EXPECT_EQ(reads(1, upto(31)), texts{"2:il"});

    put("e", "");  // an empty line, then the end
    YFastFileReader e(path("e").c_str());
    EXPECT_EQ(reads(1, [&](char* b) { return e.ReadLine(b, 7); }), texts{"0:"});
    std::string line = "junk";
    EXPECT_TRUE(e.ReadLine(line) && line.empty() && e.IsEOF());
}

// CR LF and a lone CR read as one LF, the byte after a lone CR put back; UnRead.
TEST_F(FastFileReaderTest, Characters)
{
    put("f", "\r\nx\ra\rb\r");
    YFastFileReader r(path("f").c_str());
    {
        YDiagCapture cap;
        EXPECT_FALSE(r.UnReadChar());
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), texts{"YFastFileReader::UnReadChar(): can't rewind"});
    }
    char c = 0;
    std::string got;
    for (int i = 0; i < 2 && r.ReadCharNL(c) == 1; ++i)
        got += c;
    EXPECT_TRUE(r.UnReadChar());
    EXPECT_EQ(r.ReadChar(c), 1);
    got += c;
    while (r.ReadCharNL(c) == 1)
        got += c;
    EXPECT_EQ(got, "\nxx\na\nb\n") << "the last a lone CR at the end of the file";
    EXPECT_EQ(r.ReadChar(c), 0);
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
    {
        YDiagCapture quiet;
        EXPECT_FALSE(r.UnReadChar()) << "the byte read last is not in the buffer";
    }
    EXPECT_EQ(r.Read(&got[20100], 5000), 5000);
    EXPECT_EQ(r.Read(&got[25100], 9000), 4900) << "short at the end of the file";
    EXPECT_EQ(got, data);
    EXPECT_TRUE(r.IsEOF());
}

// A failed open names the system error; the closed reader is at its end and says so once.
TEST_F(FastFileReaderTest, OpenFailure_AndClosedReader)
{
    const std::string missing = path("missing"), code = std::to_string(ERROR_FILE_NOT_FOUND);
    YFastFileReader r;
    {
        YDiagCapture cap;
        EXPECT_FALSE(r.Open(missing.c_str()));
        EXPECT_FALSE(r.IsOpen());
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
                  (texts{"openfile(): CreateFile(\"" + missing + "\") failed: " + code,
                         "YFastFileReader::Open(): openfile(\"" + missing + "\") failed: " + code}));
    }
    YDiagCapture cap;
    EXPECT_TRUE(r.IsEOF());
    EXPECT_EQ(cap.texts(YDIAG_ERRLOG), texts{"YFastFileReader::IsEOF(): no open file"});
    EXPECT_TRUE(cap.texts(YDIAG_ERRTRACE).empty());
    char c;
    EXPECT_EQ(r.ReadChar(c), -1);
    EXPECT_TRUE(r.Close());
}

TEST(FastFileBOM, Codes)
{
    using namespace std::string_literals;
    const std::tuple<std::string, int> cases[] = {{"\xEF\xBB\xBF\x41", 1},
                                                  {"\xEF\xBB", 0},
                                                  {"\xFE\xFF\0\x41"s, 2},
                                                  {"\xFF\xFE\x41\0"s, 3},
                                                  {"\xFF\xFE\0\0"s, 5},
                                                  {"\xFF\xFE\0"s, 3},
                                                  {"\0\0\xFE\xFF"s, 4},
                                                  {"\xFF", 0},
                                                  {"", 0},
                                                  {"ABC", 0}};
    for (const auto& [bytes, code] : cases)
        EXPECT_EQ(YFastFile_DetectBOM(bytes.data(), bytes.size()), code) << bytes.size();
}

using FastFileWriterTest = FastFileReaderTest;

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
        EXPECT_EQ(cap.texts(YDIAG_ERRTRACE), texts{"YFastFileWriter::WriteLine(): EOL detected in string at pos 3"});
    }
    EXPECT_EQ(w.WriteChar('!'), 1);
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(get("f"), "a\rb\r\nab\r\nc\r\nbare\nx\r\ny!");
}

TEST_F(FastFileWriterTest, Numbers_InStoredByteOrder_ReadBackByTheReader)
{
    {
        YFastFileWriter w(path("f").c_str(), 0);
        EXPECT_EQ((std::vector<int>{w.WriteInt(0x12345678), w.WriteShort(-2), w.WriteLong(-7), w.WriteFloat(1.5f),
                                    w.WriteDouble(-0.25)}),
                  (std::vector<int>{4, 2, 4, 4, 8}));
    }
    EXPECT_EQ(get("f").substr(0, 4), "\x78\x56\x34\x12");
    YFastFileReader r(path("f").c_str());
    int i, past_end;
    short s;
    std::int32_t l;
    float f;
    double d;
    EXPECT_EQ((std::vector<int>{r.ReadInt(i), r.ReadShort(s), r.ReadLong(l), r.ReadFloat(f), r.ReadDouble(d),
                                r.ReadInt(past_end)}),
              (std::vector<int>{4, 2, 4, 4, 8, 0}));
    EXPECT_TRUE(i == 0x12345678 && s == -2 && l == -7 && f == 1.5f && d == -0.25);
}

// What is on disk while the writer is open shows what its buffer keeps back.
TEST_F(FastFileWriterTest, BufferArithmetic)
{
    const std::tuple<unsigned, unsigned, long long> cases[] = {
        {100, 16252, 8192},         // 8160 stay in the buffer
        {100, 16253, 100 + 16253},  // the rest goes straight to the file
        {0, 8192, 8192},            // exactly the free room: the whole buffer goes at once
        {0, 8191, 0},
        {8000, 192, 8192},
        {8000, 191, 0},
    };
    for (const auto& [pending, count, on_disk] : cases) {
        std::string data(pending + count, 'q');
        YFastFileWriter w(path("f").c_str(), 2);
        ASSERT_EQ(w.Write(data.data(), pending), static_cast<int>(pending));
        ASSERT_EQ(w.Write(data.data() + pending, count), static_cast<int>(count));
        EXPECT_EQ(file_size64(path("f").c_str()), on_disk) << pending << " + " << count;
        EXPECT_TRUE(w.Close());
        EXPECT_EQ(get("f"), data) << pending << " + " << count;
    }
}

TEST_F(FastFileWriterTest, UnknownModes_AreRefused)
{
    for (int mode : {3, 8, 10, 12, 14}) {
        YDiagCapture cap;
        YFastFileWriter w(path("f").c_str(), mode);
        EXPECT_FALSE(w.IsOpen());
        int base = mode & ~4;
        EXPECT_EQ(
            cap.texts(YDIAG_ERRTRACE),
            (texts{"openwritefile(): unknown mode " + std::to_string(base) + " for " + path("f"),
                   "YFastFileWriter::Open(): openwritefile(" + path("f") + ", " + std::to_string(mode) + ") failed",
                   "YFastFileWriter::YFastFileWriter(): Open(\"" + path("f") + "\"," + std::to_string(mode) +
                       ") failed"}));
    }
    EXPECT_EQ(file_exists(path("f").c_str()), 0);
}

// Open closes the file still open; a closed writer refuses writes but closes again.
TEST_F(FastFileWriterTest, OpenAndClose)
{
    YFastFileWriter w(path("f").c_str(), 1);
    EXPECT_EQ(w.WriteString("pending"), 7);
    ASSERT_TRUE(w.Open(path("g").c_str(), 2 + 4));
    EXPECT_EQ(get("f"), "pending");
    EXPECT_TRUE(w.Close() && w.Close());
    YDiagCapture cap;
    EXPECT_EQ(w.WriteString("x"), -1);
    EXPECT_EQ(w.WriteChar('x'), -1);
    EXPECT_FALSE(w.Flush());
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE),
              (texts{"YFastFileWriter::write_to_buffer(): no open file",
                     "YFastFileWriter::WriteString(): write_to_buffer() failed",
                     "YFastFileWriter::WriteChar(): no open file", "YFastFileWriter::Flush(): no open file"}));
}

using FastFileWholeTest = FastFileReaderTest;

// Mode 0 creates only, 1 appends, 2 truncates, 10 replaces through a temporary file; + 4
// flushes; other modes are refused.
TEST_F(FastFileWholeTest, WriteAtOnce_Modes)
{
    const std::tuple<const char*, const char*, int, int, const char*> cases[] = {
        {"f", "abc", 0, 3, "abc"},     {"f", "xyz", 0, -1, "abc"},           {"f", "de", 1, 2, "abcde"},
        {"f", "1", 2 + 4, 1, "1"},     {"f", "replaced", 10, 8, "replaced"}, {"new", "n", 10 + 4, 1, "n"},
        {"f", "x", 3, -1, "replaced"}, {"f", "x", 8, -1, "replaced"},        {"f", "x", 12, -1, "replaced"}};
    for (const auto& [name, data, mode, result, content] : cases) {
        YDiagCapture quiet;
        EXPECT_EQ(YFastFile_WriteAtOnce(path(name).c_str(), data, unsigned(std::strlen(data)), mode), result)
            << data << " mode " << mode;
        EXPECT_EQ(get(name), content) << data << " mode " << mode;
    }
    EXPECT_EQ(count_named("ffw"), 0);
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
    texts t = cap.texts(YDIAG_ERRTRACE);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].rfind("file_rename(): MoveFileEx(", 0) + t[1].rfind("YFastFile_WriteAtOnce(): file_rename(", 0), 0u);

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
    std::string s, t;
    put("h", "x\r");
    EXPECT_EQ(YFastFile_ReadLinesAtOnce(path("g").c_str(), s) + YFastFile_ReadLinesAtOnce(path("h").c_str(), t), 7);
    EXPECT_EQ(s + "|" + t, "a\nb\nc|x\n");
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
    ASSERT_EQ(cap.texts(YDIAG_ERRTRACE).size(), 2u);
    EXPECT_EQ(cap.texts(YDIAG_ERRTRACE)[1],
              "YFastFile_ReadAtOnce(): file_size(\"" + path("missing") + "\") returned -1");
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
