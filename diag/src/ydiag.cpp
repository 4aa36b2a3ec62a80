// Error trace, error log and trace.
#include <ysl/ydiag.h>
#include <ysl/ydiag_capture.h>

#include <winport/winport.h>

#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A thread that reports without ever clearing must not grow without limit: each context
// keeps its latest entries, and contexts beyond the depth limit are only counted.
constexpr std::size_t max_context_entries = 256;
constexpr std::size_t max_context_depth = 64;

struct entry {
    int kind;
    std::string file;
    int line;
    std::string text;
};

struct context {
    std::deque<entry> entries;
    unsigned long dropped = 0;

    void add(entry e)
    {
        if (entries.size() >= max_context_entries) {
            entries.pop_front();
            ++dropped;
        }
        entries.push_back(std::move(e));
    }
};

struct location {
    const char* file = nullptr;
    int line = 0;

    // A message takes the location given just before it, once.
    std::pair<std::string, int> take()
    {
        std::pair<std::string, int> out(file ? file : "?", line);
        file = nullptr;
        line = 0;
        return out;
    }
};

struct thread_state {
    std::vector<context> stack = std::vector<context>(1);  // [0]: the thread's base context
    std::size_t overflow = 0;                              // contexts begun beyond the limit
    location errtrace_at;
    location errlog_at;
    location trace_at;
    const char* trace_channel = nullptr;
    int trace_level = 0;

    context& innermost() { return stack.back(); }
};

// Per-thread state lives in a thread-local slot of the platform rather than in a C++
// thread_local: objects with destructors in thread_local storage of a DLL crash or hang the
// process at exit with the mingw run-time.
class thread_states {
public:
    thread_states() : index_(FlsAlloc(&release)) {}

    // Null only when memory ran out.
    thread_state* current() noexcept
    {
        auto* ts = static_cast<thread_state*>(FlsGetValue(index_));
        if (!ts) {
            try {
                ts = new thread_state;
            } catch (...) {
                return nullptr;
            }
            FlsSetValue(index_, ts);
        }
        return ts;
    }

private:
    static void WINAPI release(void* ts) { delete static_cast<thread_state*>(ts); }
    DWORD index_;
};

thread_state* this_thread_state() noexcept
{
    // Never destroyed: threads may report until the process ends.
    static thread_states* states = new (std::nothrow) thread_states;
    return states ? states->current() : nullptr;
}

// Expands the Windows size formats into their C99 forms: %Iu -> %zu, %Id -> %zd,
// %I64d -> %lld, %I32d -> %d.
std::string c99_format(const char* format)
{
    std::string out;
    out.reserve(std::strlen(format) + 8);
    for (const char* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        while (*p && std::strchr("-+ #0123456789.*'", *p))
            out += *p++;
        if (*p == 'I') {
            if (p[1] == '6' && p[2] == '4') {
                out += "ll";
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                p += 3;
            } else {
                out += 'z';
                p += 1;
            }
        }
    }
    return out;
}

std::string vformat(const char* format, va_list args)
{
    std::string fmt = c99_format(format);
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, fmt.c_str(), args);
    std::string out;
    if (n < 0) {
        out = format;
    } else if (static_cast<std::size_t>(n) < sizeof small) {
        out.assign(small, static_cast<std::size_t>(n));
    } else {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(&out[0], out.size(), fmt.c_str(), again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

// UTC, so that records of processes in different time zones order correctly.
std::string timestamp()
{
    using namespace std::chrono;
    long long ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    long long days = ms / 86400000;
    long long in_day = ms % 86400000;
    // Civil date from a day count (proleptic Gregorian calendar).
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    long long d = doy - (153 * mp + 2) / 5 + 1;
    long long m = mp < 10 ? mp + 3 : mp - 9;
    long long y = yoe + era * 400 + (m <= 2);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld.%03lldZ", y, m, d, in_day / 3600000,
                  in_day / 60000 % 60, in_day / 1000 % 60, in_day % 1000);
    return buf;
}

class sink {
public:
    static sink& get()
    {
        // Never destroyed: reports may come from static destructors of any module.
        static sink* s = new sink;
        return *s;
    }

    void write(const entry& e, const char* prefix = "")
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (capturing_) {
            captured_.push_back(e);
            return;
        }
        if (e.kind == YDIAG_ERRTRACE)
            return;
        static const char* const labels[] = {"", "error", "error", "trace", "error"};
        std::string line = timestamp();
        char ids[48];
        std::snprintf(ids, sizeof ids, " [%lu:%lu] ", static_cast<unsigned long>(GetCurrentProcessId()),
                      static_cast<unsigned long>(GetCurrentThreadId()));
        line += ids;
        line += labels[e.kind];
        line += ' ';
        line += prefix;
        line += e.file;
        line += '(' + std::to_string(e.line) + "): ";
        line += e.text;
        line += '\n';
        // One write per record, so that records of concurrent processes appending to the
        // same file never interleave within a line.
        std::fwrite(line.data(), 1, line.size(), out_);
        std::fflush(out_);
    }

    bool trace_enabled(const char* channel, int level)
    {
        if (traces_.empty())
            return false;
        auto it = traces_.find(channel ? channel : "default");
        if (it == traces_.end())
            it = traces_.find("*");
        return it != traces_.end() && level <= it->second;
    }

    void capture_start()
    {
        std::lock_guard<std::mutex> guard(lock_);
        captured_.clear();
        capturing_ = true;
    }

    void capture_stop()
    {
        std::lock_guard<std::mutex> guard(lock_);
        capturing_ = false;
    }

    std::size_t capture_count()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return captured_.size();
    }

    const entry* capture_record(std::size_t i)
    {
        std::lock_guard<std::mutex> guard(lock_);
        return i < captured_.size() ? &captured_[i] : nullptr;
    }

private:
    sink()
    {
        const char* path = std::getenv("YERRLOG");
        out_ = path && *path ? std::fopen(path, "a") : nullptr;
        if (!out_)
            out_ = stderr;
        if (const char* setting = std::getenv("YTRACE"))
            parse_trace_setting(setting);
    }

    void parse_trace_setting(const char* setting)
    {
        std::string s(setting);
        std::size_t pos = 0;
        while (pos <= s.size()) {
            std::size_t end = s.find(',', pos);
            if (end == std::string::npos)
                end = s.size();
            std::string item = s.substr(pos, end - pos);
            std::size_t colon = item.find(':');
            std::string name = item.substr(0, colon);
            int level = colon == std::string::npos ? 1 << 30 : std::atoi(item.c_str() + colon + 1);
            if (!name.empty())
                traces_[name] = level;
            pos = end + 1;
        }
    }

    std::mutex lock_;
    std::FILE* out_ = nullptr;
    std::map<std::string, int> traces_;
    bool capturing_ = false;
    std::deque<entry> captured_;  // a deque keeps records in place while it grows
};

void add_errtrace(thread_state& ts, std::string text)
{
    std::pair<std::string, int> at = ts.errtrace_at.take();
    entry e{YDIAG_ERRTRACE, std::move(at.first), at.second, std::move(text)};
    sink::get().write(e);
    ts.innermost().add(std::move(e));
}

// The caller's error state as a report leaves it: a report is made with arguments such as
// GetLastError() that are evaluated after the location call, so no call of the diagnostics may
// change the last error (or errno) of the thread.
class preserve_errors {
public:
    preserve_errors() : last_error_(GetLastError()), errno_(errno) {}
    ~preserve_errors()
    {
        errno = errno_;
        SetLastError(last_error_);
    }
    preserve_errors(const preserve_errors&) = delete;
    preserve_errors& operator=(const preserve_errors&) = delete;

private:
    DWORD last_error_;
    int errno_;
};

// Formats a report and hands its text on with the calling thread's state; a null format or a
// thread without state gives nothing. When memory runs out the report is lost and the caller
// goes on: diagnostics never fail towards their caller, nor change its last error or errno.
template <class Use>
void with_report(const char* format, va_list args, Use use) noexcept
{
    preserve_errors keep;
    thread_state* ts = this_thread_state();
    if (!format || !ts)
        return;
    try {
        use(*ts, vformat(format, args));
    } catch (...) {
    }
}

// The first half of a report: where it is made, kept until its message comes.
void remember_location(location thread_state::*slot, const char* file, int line) noexcept
{
    preserve_errors keep;
    if (thread_state* ts = this_thread_state())
        ts->*slot = location{file, line};
}

}  // namespace

extern "C" {

void _YErrTrace_Location(int, const char* file, int line)
{
    remember_location(&thread_state::errtrace_at, file, line);
}

void _YErrTrace_Add(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    with_report(format, args, [](thread_state& ts, std::string text) { add_errtrace(ts, std::move(text)); });
    va_end(args);
}

void _YErrLog_Location(int, const char* file, int line)
{
    remember_location(&thread_state::errlog_at, file, line);
}

void _YErrLog_Add(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    with_report(format, args, [](thread_state& ts, std::string text) {
        std::pair<std::string, int> at = ts.errlog_at.take();
        sink::get().write(entry{YDIAG_ERRLOG, std::move(at.first), at.second, std::move(text)});
    });
    va_end(args);
}

void YErrTrace_BeginContext(void)
{
    preserve_errors keep;
    thread_state* tsp = this_thread_state();
    if (!tsp)
        return;
    thread_state& ts = *tsp;
    try {
        if (ts.stack.size() < max_context_depth) {
            ts.stack.emplace_back();
            return;
        }
    } catch (...) {
    }
    ++ts.overflow;
}

void YErrTrace_EndContext(void)
{
    preserve_errors keep;
    thread_state* tsp = this_thread_state();
    if (!tsp)
        return;
    thread_state& ts = *tsp;
    if (ts.overflow > 0) {
        --ts.overflow;
        return;
    }
    if (ts.stack.size() < 2)
        return;
    context ended = std::move(ts.stack.back());
    ts.stack.pop_back();
    try {
        context& outer = ts.innermost();
        outer.dropped += ended.dropped;
        for (entry& e : ended.entries)
            outer.add(std::move(e));
    } catch (...) {
    }
}

void YErrTrace_ClearContext(void)
{
    preserve_errors keep;
    thread_state* tsp = this_thread_state();
    if (!tsp)
        return;
    thread_state& ts = *tsp;
    ts.innermost().entries.clear();
    ts.innermost().dropped = 0;
}

void _YErrTrace_DumpContextToYErrLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    with_report(format, args, [](thread_state& ts, std::string text) {
        std::pair<std::string, int> at = ts.errtrace_at.take();
        sink& out = sink::get();
        out.write(entry{YDIAG_ERRLOG, std::move(at.first), at.second, std::move(text)});
        context& c = ts.innermost();
        if (c.dropped)
            out.write(entry{YDIAG_DUMPED, "?", 0, std::to_string(c.dropped) + " earlier entries dropped"}, "  ");
        for (const entry& e : c.entries)
            out.write(entry{YDIAG_DUMPED, e.file, e.line, e.text}, "  ");
        // Written once is reported: the enclosing context does not write them again.
        c.entries.clear();
        c.dropped = 0;
    });
    va_end(args);
}

int _YTrace_TestLevel(const char* channel, int level)
{
    preserve_errors keep;
    try {
        return sink::get().trace_enabled(channel, level) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int _YTrace_Location(const char* file, int line, const char* channel, int level)
{
    preserve_errors keep;
    thread_state* ts = this_thread_state();
    if (!ts)
        return 0;
    ts->trace_at = location{file, line};
    ts->trace_channel = channel;
    ts->trace_level = level;
    return 1;
}

void _YTrace_Always(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    with_report(format, args, [](thread_state& ts, std::string text) {
        std::pair<std::string, int> at = ts.trace_at.take();
        std::string channel =
            std::string(ts.trace_channel ? ts.trace_channel : "default") + ':' + std::to_string(ts.trace_level) + ' ';
        sink::get().write(entry{YDIAG_TRACE, std::move(at.first), at.second, std::move(text)}, channel.c_str());
    });
    va_end(args);
}

void ydiag_capture_start(void)
{
    sink::get().capture_start();
}

void ydiag_capture_stop(void)
{
    sink::get().capture_stop();
}

size_t ydiag_capture_count(void)
{
    return sink::get().capture_count();
}

int ydiag_capture_record(size_t i, int* kind, const char** file, int* line, const char** text)
{
    const entry* e = sink::get().capture_record(i);
    if (!e)
        return 0;
    if (kind)
        *kind = e->kind;
    if (file)
        *file = e->file.c_str();
    if (line)
        *line = e->line;
    if (text)
        *text = e->text.c_str();
    return 1;
}

}  // extern "C"
