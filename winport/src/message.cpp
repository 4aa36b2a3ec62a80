// System message texts and the message box.
#include <winport/winport.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace winport {
namespace {

struct message {
    DWORD code;
    const char* text;
};

// Windows' own English texts, line end included, for every code winport gives out. Sorted by
// code.
const message messages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {18, "There are no more files.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           "write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10009, "The file handle supplied is not valid.\r\n"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call.\r\n"},
    {10022, "An invalid argument was supplied.\r\n"},
    {10024, "Too many open sockets.\r\n"},
    {10035, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {10036, "A blocking operation is currently executing.\r\n"},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress.\r\n"},
    {10038, "An operation was attempted on something that is not a socket.\r\n"},
    {10039, "A required address was omitted from an operation on a socket.\r\n"},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network "
            "limit, or the buffer used to receive a datagram into was smaller than the datagram itself.\r\n"},
    {10041, "A protocol was specified in the socket function call that does not support the semantics of the "
            "socket type requested.\r\n"},
    {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt "
            "call.\r\n"},
    {10043, "The requested protocol has not been configured into the system, or no implementation for it "
            "exists.\r\n"},
    {10044, "The support for the specified socket type does not exist in this address family.\r\n"},
    {10045, "The attempted operation is not supported for the type of object referenced.\r\n"},
    {10046, "The protocol family has not been configured into the system or no implementation for it exists.\r\n"},
    {10047, "An address incompatible with the requested protocol was used.\r\n"},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n"},
    {10049, "The requested address is not valid in its context.\r\n"},
    {10050, "A socket operation encountered a dead network.\r\n"},
    {10051, "A socket operation was attempted to an unreachable network.\r\n"},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation "
            "was in progress.\r\n"},
    {10053, "An established connection was aborted by the software in your host machine.\r\n"},
    {10054, "An existing connection was forcibly closed by the remote host.\r\n"},
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space "
            "or because a queue was full.\r\n"},
    {10056, "A connect request was made on an already connected socket.\r\n"},
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when "
            "sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down in "
            "that direction with a previous shutdown call.\r\n"},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of "
            "time, or established connection failed because connected host has failed to respond.\r\n"},
    {10061, "No connection could be made because the target machine actively refused it.\r\n"},
    {10062, "Cannot translate name.\r\n"},
    {10063, "Name component or name was too long.\r\n"},
    {10064, "A socket operation failed because the destination host was down.\r\n"},
    {10065, "A socket operation was attempted to an unreachable host.\r\n"},
    {10067, "A Windows Sockets implementation may have a limit on the number of applications that may use it "
            "simultaneously.\r\n"},
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to provide network "
            "services is currently unavailable.\r\n"},
    {10092, "The Windows Sockets version requested is not supported.\r\n"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {10107, "A system call that should never fail has failed.\r\n"},
    {10109, "The specified class was not found.\r\n"},
    {11001, "No such host is known.\r\n"},
    {11002, "This is usually a temporary error during hostname resolution and means that the local server did "
            "not receive a response from an authoritative server.\r\n"},
    {11003, "A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, "The requested name is valid, but no data of the requested type was found.\r\n"},
};

const char* find_message(DWORD code)
{
    std::size_t lo = 0, hi = sizeof messages / sizeof messages[0];
    while (lo < hi) {
        std::size_t mid = (lo + hi) / 2;
        if (messages[mid].code == code)
            return messages[mid].text;
        if (messages[mid].code < code)
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

// Replaces %1 ... %99 by the string arguments, in order of their numbers.
void insert_arguments(std::string& text, va_list* args)
{
    const char* given[100] = {};
    int taken = 0;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size() || text[i + 1] < '1' || text[i + 1] > '9') {
            out += text[i];
            continue;
        }
        int n = text[++i] - '0';
        if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9')
            n = n * 10 + (text[++i] - '0');
        while (taken < n) {
            given[++taken] = va_arg(*args, const char*);
        }
        out += given[n] ? given[n] : "(null)";
    }
    text = std::move(out);
}

// The width flag: regular line breaks become spaces, and with a width below the mask the
// text is broken again at spaces so that no line is longer than the width.
void apply_width(std::string& text, DWORD width)
{
    std::string flat;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            flat += ' ';
            ++i;
        } else {
            flat += text[i];
        }
    }
    if (width == FORMAT_MESSAGE_MAX_WIDTH_MASK) {
        text = std::move(flat);
        return;
    }
    std::string out;
    std::size_t line_start = 0, last_space = std::string::npos;
    for (std::size_t i = 0; i < flat.size(); ++i) {
        if (flat[i] == ' ')
            last_space = out.size();
        out += flat[i];
        if (out.size() - line_start > width && last_space != std::string::npos && last_space >= line_start) {
            out.replace(last_space, 1, "\r\n");
            line_start = last_space + 2;
            last_space = std::string::npos;
        }
    }
    text = std::move(out);
}

std::atomic<winport_message_box_handler> box_handler{nullptr};

int default_button(UINT type)
{
    static const int first[] = {IDOK, IDOK, IDABORT, IDYES, IDYES, IDRETRY, IDCANCEL};
    static const int second[] = {IDOK, IDCANCEL, IDRETRY, IDNO, IDNO, IDCANCEL, IDTRYAGAIN};
    static const int third[] = {IDOK, IDCANCEL, IDIGNORE, IDCANCEL, IDNO, IDCANCEL, IDCONTINUE};
    UINT kind = type & MB_TYPEMASK;
    if (kind > 6)
        return IDOK;
    switch (type & MB_DEFMASK) {
    case MB_DEFBUTTON2:
        return second[kind];
    case MB_DEFBUTTON3:
        return third[kind];
    default:
        return first[kind];
    }
}

// Without a screen the box is a record on standard error, written in one piece so that the
// records of several threads or processes do not interleave. Nobody can choose a button, so
// the answer is the box's default button, what pressing Enter would give.
int default_message_box(HWND, const char* text, const char* caption, UINT type)
{
    std::string record = std::string(caption ? caption : "Error") + ": " + (text ? text : "") + "\n";
    const char* p = record.data();
    std::size_t left = record.size();
    while (left > 0) {
        ssize_t n = write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return default_button(type);
}

}  // namespace
}  // namespace winport

using namespace winport;

extern "C" {

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize,
                            va_list* Arguments)
{
    // Only the system's table is here: no message resources of modules, no format strings.
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
        (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WORD language = PRIMARYLANGID(dwLanguageId);
    if (language != LANG_NEUTRAL && language != LANG_ENGLISH) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char* found = find_message(dwMessageId);
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string text = found;
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && text.find('%') != std::string::npos) {
        if (!Arguments) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        insert_arguments(text, Arguments);
    }
    if (DWORD width = dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK)
        apply_width(text, width);

    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        std::size_t size = text.size() + 1 > nSize ? text.size() + 1 : nSize;
        char* block = static_cast<char*>(std::malloc(size));
        if (!block) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(block, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(lpBuffer) = block;
    } else {
        if (text.size() + 1 > nSize) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(lpBuffer, text.c_str(), text.size() + 1);
    }
    return static_cast<DWORD>(text.size());
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    winport_message_box_handler handler = box_handler.load(std::memory_order_acquire);
    return (handler ? handler : default_message_box)(hWnd, lpText, lpCaption, uType);
}

winport_message_box_handler winport_set_message_box_handler(winport_message_box_handler handler)
{
    return box_handler.exchange(handler, std::memory_order_acq_rel);
}

}  // extern "C"
