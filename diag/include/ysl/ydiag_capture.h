// Capture of diagnostics records, for tests: while a capture runs, every record of every
// thread is kept in memory instead of being written out, so that a test can see exactly
// which reports a call produced.
#ifndef YSL_YDIAG_CAPTURE_H
#define YSL_YDIAG_CAPTURE_H

#include <ysl/ydiag.h>

#ifdef __cplusplus
#include <string>
#include <vector>
#endif

enum {
    YDIAG_ERRTRACE = 1,  // an entry added to the error trace
    YDIAG_ERRLOG = 2,    // a record of the error log (also the message of a dump)
    YDIAG_TRACE = 3,     // a trace line
    YDIAG_DUMPED = 4     // an error-trace entry written to the error log by a dump
};

#ifdef __cplusplus
extern "C" {
#endif

// Starts a capture, dropping what an earlier one kept.
YDIAG_API void ydiag_capture_start(void);
// Stops capturing; the records stay readable until the next start.
YDIAG_API void ydiag_capture_stop(void);
YDIAG_API size_t ydiag_capture_count(void);
// Record i; the strings stay valid until the next start. 0 when i is out of range.
YDIAG_API int ydiag_capture_record(size_t i, int* kind, const char** file, int* line, const char** text);

#ifdef __cplusplus
}

struct YDiagRecord {
    int kind;
    std::string file;
    int line;
    std::string text;
};

// Captures for its lifetime.
class YDiagCapture {
public:
    YDiagCapture() { ydiag_capture_start(); }
    ~YDiagCapture() { ydiag_capture_stop(); }
    YDiagCapture(const YDiagCapture&) = delete;
    YDiagCapture& operator=(const YDiagCapture&) = delete;

    std::vector<YDiagRecord> records(int kind = 0) const
    {
        std::vector<YDiagRecord> out;
        for (size_t i = 0, n = ydiag_capture_count(); i < n; ++i) {
            YDiagRecord r;
            const char* file = nullptr;
            const char* text = nullptr;
            if (ydiag_capture_record(i, &r.kind, &file, &r.line, &text) && (kind == 0 || r.kind == kind)) {
                r.file = file;
                r.text = text;
                out.push_back(r);
            }
        }
        return out;
    }

    std::vector<std::string> texts(int kind = 0) const
    {
        std::vector<std::string> out;
        for (const YDiagRecord& r : records(kind))
            out.push_back(r.text);
        return out;
    }
};
#endif

#endif
