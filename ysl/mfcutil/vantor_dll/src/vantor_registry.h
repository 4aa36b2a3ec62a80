// What the units of the registry family share: access masks, the key handle owner, the
// registry error report and the release of section data.
#ifndef VANTOR_REGISTRY_H
#define VANTOR_REGISTRY_H

#include <winport/winport.h>

#include <cstdlib>
#include <memory>

namespace vantor_module {

// Every open asks for the 32-bit view, so that a 64-bit caller sees the values of the 32-bit
// suite.
constexpr REGSAM registry_read_access = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM registry_write_access = KEY_WRITE | KEY_WOW64_32KEY;
static_assert(registry_read_access == 0x00020219 && registry_write_access == 0x00020206,
              "stored values are shared with peers that open keys with exactly these masks");

// An open key, closed when it goes out of scope (also while an exception passes).
class registry_key {
public:
    registry_key() = default;
    ~registry_key() { close(); }
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;

    LONG open(HKEY root, const char* subkey, REGSAM access)
    {
        return took(RegOpenKeyExA(root, subkey, 0, access, &key_));
    }
    // Opens the key, creating every missing key on the path first.
    LONG create(HKEY root, const char* subkey)
    {
        return took(RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, registry_write_access, nullptr,
                                    &key_, nullptr));
    }
    // The same without an access mask or a view: the caller's default view, full access.
    LONG create_default(HKEY root, const char* subkey) { return took(RegCreateKeyA(root, subkey, &key_)); }
    void close()
    {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }
    HKEY get() const { return key_; }

private:
    // A failed open leaves no handle to close, whatever the call wrote to it.
    LONG took(LONG rc)
    {
        if (rc != ERROR_SUCCESS)
            key_ = nullptr;
        return rc;
    }
    HKEY key_ = nullptr;
};

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using malloc_ptr = std::unique_ptr<char, free_deleter>;

// Another process may make a value longer between the query that sizes it and the read, which
// then reports ERROR_MORE_DATA although the value is there. A read sizes it again and reads
// again, this many times at most, so that a value that never holds still cannot keep a call
// busy for ever.
constexpr int registry_read_tries = 4;

// The room for try number `retry` (1, 2, ...) at a value last reported as `needed` bytes, when
// `previous` bytes were the room of the try before: the size reported at first, then at least
// twice the last room, so that a value that keeps growing is overtaken in a few tries instead
// of being chased one size behind. Never more than leaves a byte for a terminator in a DWORD.
inline DWORD registry_retry_room(int retry, DWORD needed, DWORD previous)
{
    const unsigned long long most = 0xFFFFFFFEull;
    unsigned long long room = needed;
    if (retry > 1 && 2ull * previous > room)
        room = 2ull * previous;
    return static_cast<DWORD>(room < most ? room : most);
}

// 0 and ERROR_NO_MORE_ITEMS are success; any other code shows the system's text in the
// "Registry access error" box and gives false. Called under the registry lock, so that the
// box holds every other registry call of the process while it is open.
bool registry_error_report(LONG code);

// Frees every data block of a section and nulls its element; the array keeps its size.
void release_section_data(CPtrArray& data);

}  // namespace vantor_module

#endif
