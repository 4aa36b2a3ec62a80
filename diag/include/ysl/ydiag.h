// Diagnostics: the error trace, the error log and the trace.
//
// A failure is reported as a location call immediately followed by its message; the macros
// below pair the two. Failures passed on to the caller go to the error trace, where they are
// kept per thread in nested contexts and reach the error log only when a context is dumped;
// failures that end where they happen go straight to the error log. Traces of notable steps
// are written only when switched on for their channel and level.
//
// Formats are printf formats; "%Iu" and "%Id" (size_t and its signed counterpart), "%I64d"
// and "%I32d" are accepted on every target. None of these calls fails towards its caller; a
// null format is ignored.
//
// Where the output goes is set by the environment of the process, read once:
//   YERRLOG  the file that receives the error log and traces (appended); else standard error
//   YTRACE   channels and levels to trace, e.g. "default:5" or "default:4,net:1" or "*:5";
//            a channel without a level traces every level. Unset: no traces.
#ifndef YSL_YDIAG_H
#define YSL_YDIAG_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(YDIAG_BUILDING)
#define YDIAG_API __declspec(dllexport)
#else
#define YDIAG_API __declspec(dllimport)
#endif
#define YDIAG_PRINTF(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#if defined(YDIAG_BUILDING)
#define YDIAG_API __attribute__((visibility("default")))
#else
#define YDIAG_API
#endif
// glibc's format checker rejects "%Iu", which the library uses for sizes on every target;
// the Windows build checks the formats.
#define YDIAG_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

YDIAG_API void _YErrTrace_Location(int reserved, const char* file, int line);
YDIAG_API void _YErrTrace_Add(const char* format, ...) YDIAG_PRINTF(1, 2);
YDIAG_API void _YErrLog_Location(int reserved, const char* file, int line);
YDIAG_API void _YErrLog_Add(const char* format, ...) YDIAG_PRINTF(1, 2);

YDIAG_API void YErrTrace_BeginContext(void);
YDIAG_API void YErrTrace_EndContext(void);
YDIAG_API void YErrTrace_ClearContext(void);
YDIAG_API void _YErrTrace_DumpContextToYErrLog(const char* format, ...) YDIAG_PRINTF(1, 2);

YDIAG_API int _YTrace_TestLevel(const char* channel, int level);
YDIAG_API int _YTrace_Location(const char* file, int line, const char* channel, int level);
YDIAG_API void _YTrace_Always(const char* format, ...) YDIAG_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#define YErrTrace(...) (_YErrTrace_Location(0, __FILE__, __LINE__), _YErrTrace_Add(__VA_ARGS__))
#define YErrLog(...) (_YErrLog_Location(0, __FILE__, __LINE__), _YErrLog_Add(__VA_ARGS__))
#define YErrTrace_DumpContextToYErrLog(...)                                                                            \
    (_YErrTrace_Location(0, __FILE__, __LINE__), _YErrTrace_DumpContextToYErrLog(__VA_ARGS__))
#define YTrace(channel, level, ...)                                                                                    \
    do {                                                                                                               \
        if (_YTrace_TestLevel(channel, level) && _YTrace_Location(__FILE__, __LINE__, channel, level))                 \
            _YTrace_Always(__VA_ARGS__);                                                                               \
    } while (0)

#endif
