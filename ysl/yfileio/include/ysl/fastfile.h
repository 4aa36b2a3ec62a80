// Buffered sequential file reading and writing, and whole-file reads and writes.
//
// Failures go to the error trace and come back as -1 or false; nothing throws. A reader or
// writer belongs to one thread at a time.
#ifndef YSL_FASTFILE_H
#define YSL_FASTFILE_H

#include <winport/winport.h>

#include <cstddef>
#include <cstdint>
#include <string>

#define YFASTFILE_BUFFER_SIZE 8192

// Byte-order marks found by YFastFile_DetectBOM.
enum {
    YFASTFILE_BOM_NONE = 0,
    YFASTFILE_BOM_UTF8 = 1,
    YFASTFILE_BOM_UTF16BE = 2,
    YFASTFILE_BOM_UTF16LE = 3,
    YFASTFILE_BOM_UTF32BE = 4,
    YFASTFILE_BOM_UTF32LE = 5
};

// Opens an existing file for reading, shared for reading and writing, inheritable; on failure
// the handle is INVALID_HANDLE_VALUE.
bool openfile(const char* path, HANDLE& handle);
// One ReadFile call.
bool read64(HANDLE handle, void* buffer, DWORD count, DWORD& bytes_read);
int YFastFile_DetectBOM(const void* bytes, std::size_t length);

// Write modes, for openwritefile, YFastFileWriter and the whole-file functions: one of the
// first three, plus YFASTFILE_WRITE_THROUGH where wanted. The values are stored by callers and
// must not change.
#define YFASTFILE_CREATE_NEW 0  // a new file only; an existing one is refused
#define YFASTFILE_APPEND 1      // open or create; every write goes to the end
#define YFASTFILE_TRUNCATE 2    // create, or cut an existing file to zero
// openwritefile and the writer: the handle writes through; whole-file functions: flush before
// closing.
#define YFASTFILE_WRITE_THROUGH 4
// Whole-file functions only, and only in the two combinations below (with or without
// YFASTFILE_WRITE_THROUGH); openwritefile and the writer refuse them.
#define YFASTFILE_VIA_TEMPFILE 8
#define YFASTFILE_IN_PLACE_FALLBACK 16
// Replace the target through a temporary file beside it, always flushed. A target that is a
// link is replaced in its target's folder and the link kept; the replacement keeps the replaced
// file's permissions and, where the caller may, its owner.
#define YFASTFILE_REPLACE (YFASTFILE_TRUNCATE | YFASTFILE_VIA_TEMPFILE)
// As YFASTFILE_REPLACE, but where the folder takes no new file, write the file in place,
// flushed: for a caller that holds the lock every writer of the file takes.
#define YFASTFILE_REPLACE_OR_IN_PLACE (YFASTFILE_REPLACE | YFASTFILE_IN_PLACE_FALLBACK)
HANDLE openwritefile(const char* path, int mode);
// One WriteFile call.
bool write64(HANDLE handle, const void* data, DWORD count, DWORD& bytes_written);

// The state a reader and a writer share: the buffer and the two positions in it, the file.
class YFastFile {
public:
    YFastFile(const YFastFile&) = delete;
    YFastFile& operator=(const YFastFile&) = delete;

    bool IsOpen() const { return m_state == 0; }
    const std::string& GetFileName() const { return m_name; }

protected:
    YFastFile();
    ~YFastFile() = default;
    // Takes over a file just opened.
    void attach(HANDLE file, const char* path);
    // Closes the open file; false, with the system's error in `error`, when it could not be
    // closed (the file counts as closed all the same). The caller reports it in its own form.
    bool close_file(unsigned& error);

    char m_buffer[YFASTFILE_BUFFER_SIZE];
    char* m_limit;  // reader: end of the valid data; writer: end of the buffer
    char* m_pos;    // reader: next byte to hand out; writer: next free byte
    HANDLE m_file;
    int m_state;  // -1 no file open, 0 open
    std::string m_name;
};

class YFastFileReader : public YFastFile {
public:
    YFastFileReader();
    explicit YFastFileReader(const char* path);
    virtual bool fill_buffer();
    virtual ~YFastFileReader();

    bool Open(const char* path);
    bool Close();

    // Bytes copied (fewer at the end of the file), -1 on failure.
    int Read(void* buffer, unsigned count);
    // One line without its line end (CR, LF or CR LF) into max + 1 bytes; a longer line is
    // handed out in pieces of max. The count stored, -1 on failure; 0 also at the end of the
    // file, which IsEOF tells apart from an empty line.
    int ReadLine(char* buffer, unsigned max);
    bool ReadLine(std::string& line);
    // Bytes up to a delimiter (consumed, not stored) into max + 1 bytes.
    int ReadString(char* buffer, unsigned max, char delimiter);
    // 1, 0 at the end of the file, -1 on failure.
    int ReadChar(char& c);
    // As ReadChar, with CR and CR LF handed out as one LF.
    int ReadCharNL(char& c);
    // Steps back one byte within the current filling of the buffer.
    bool UnReadChar();
    // The value's bytes as stored; the byte count read (short at the end of the file) or -1.
    int ReadInt(int& value);
    int ReadLong(std::int32_t& value);
    int ReadFloat(float& value);
    int ReadShort(short& value);
    int ReadDouble(double& value);
    bool IsEOF();

    int read_from_buffer(void* buffer, unsigned count);
    int read_char_from_buffer(char& c);

protected:
    char* m_rewind;  // the earliest position UnReadChar may step back to
};

class YFastFileWriter : public YFastFile {
public:
    YFastFileWriter();
    YFastFileWriter(const char* path, int mode);
    virtual ~YFastFileWriter();

    bool Open(const char* path, int mode);
    // False also when pending bytes could not be written.
    bool Close();

    int Write(const void* data, unsigned count);
    int WriteString(const char* text);
    // The text and CR LF; a text holding an LF is refused. The length plus 1, or -1.
    int WriteLine(const char* text);
    // Every LF written as CR LF.
    int WriteStringNL(const char* text);
    int WriteLineNL(const char* text);
    int WriteChar(char c);
    int WriteCharNL(char c);
    int WriteInt(int value);
    int WriteLong(std::int32_t value);
    int WriteFloat(float value);
    int WriteShort(short value);
    int WriteDouble(double value);
    // Writes the pending bytes and flushes the file to the device; false also when pending
    // bytes could not be written.
    bool Flush();

    int write_to_buffer(const void* data, unsigned count);
    bool write_to_disk(const void* data, std::size_t count);

private:
    // Writes what waits in the buffer and empties it, also when the write failed (reported);
    // false then, for the caller must still learn that data was lost.
    bool write_pending();
};

// Whole-file functions; sizes are 32-bit. The counts of bytes moved, or -1.
int YFastFile_ReadAtOnce(const char* path, void* buffer, unsigned size);
int YFastFile_ReadAtOnce(const char* path, std::string& data);
// Turns CR LF and lone CR into LF in place.
int YFastFile_ReadLinesAtOnce(const char* path, char* buffer, unsigned size);
int YFastFile_ReadLinesAtOnce(const char* path, std::string& text);
int YFastFile_WriteAtOnce(const char* path, const void* data, unsigned size, int mode);
// Turns LF and lone CR into CR LF.
int YFastFile_WriteLinesAtOnce(const char* path, const char* text, unsigned size, int mode);
bool YFastFile_CopyFile(const char* source, const char* target, int mode);

#endif
