// The C interface of the INI document: one function per operation, the document first.
#include <ysl/YIniData.h>

#include <ysl/ydiag.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Copies src with its NUL into a buffer of size bytes; 0 (and a cut, terminated text) when it
// does not fit, 0 with nothing written for size 0.
int bounded_copy(char* buffer, const char* src, size_t size)
{
    if (size == 0)
        return 0;
    size_t n = std::strlen(src);
    if (n < size) {
        std::memcpy(buffer, src, n + 1);
        return 1;
    }
    std::memcpy(buffer, src, size - 1);
    buffer[size - 1] = '\0';
    return 0;
}

int b(bool v)
{
    return v ? 1 : 0;
}

int count(size_t n)
{
    return n > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(n);
}

}  // namespace

// The memory of lines. Out of the parser's file on purpose: inlined there, the header offset
// between the two sides makes the compiler's check of new/delete pairs misfire.

namespace {

// In front of every line object: where its memory came from. The size keeps the object as
// aligned as operator new would.
constexpr size_t line_header = alignof(std::max_align_t) > 16 ? alignof(std::max_align_t) : 16;
enum : unsigned char { from_heap, from_arena };

void* tag(void* memory, unsigned char origin)
{
    *static_cast<unsigned char*>(memory) = origin;
    return static_cast<char*>(memory) + line_header;
}

}  // namespace

void* YIniDataLine::operator new(size_t size)
{
    return tag(::operator new(size + line_header), from_heap);
}

void YIniDataLine::operator delete(void* p)
{
    if (!p)
        return;
    char* memory = static_cast<char*>(p) - line_header;
    if (*reinterpret_cast<unsigned char*>(memory) == from_heap)
        ::operator delete(memory);
}

struct YIniDataLineArena::block {
    block* previous;
};

void* YIniDataLineArena::allocate_line(size_t size)
{
    size = (size + 2 * line_header - 1) & ~(line_header - 1);
    if (static_cast<size_t>(end - next) < size) {
        // Blocks grow with the document, up to a size the allocator still serves from its
        // heap rather than with a mapping of its own.
        constexpr size_t first = 4096, largest = 120 * 1024;
        block_size = block_size == 0 ? first : std::min(block_size * 2, largest);
        const size_t head = (sizeof(block) + line_header - 1) & ~(line_header - 1);
        const size_t bytes = std::max(block_size, head + size);
        auto* b = static_cast<block*>(::operator new(bytes));
        b->previous = blocks;
        blocks = b;
        next = reinterpret_cast<char*>(b) + head;
        end = reinterpret_cast<char*>(b) + bytes;
    }
    void* p = next;
    next += size;
    return tag(p, from_arena);
}

void YIniDataLineArena::release()
{
    while (blocks) {
        block* previous = blocks->previous;
        ::operator delete(blocks);
        blocks = previous;
    }
    next = end = nullptr;
    block_size = 0;
}

YIniData* YIniData_Create(unsigned flags)
{
    return new (std::nothrow) YIniData(flags & YINIDATA_ALL_FLAGS);
}

void YIniData_Destroy(YIniData* ini)
{
    delete ini;
}

int YIniData_Open(YIniData* ini, const char* path)
{
    return b(ini->Open(path));
}

int YIniData_Close(YIniData* ini)
{
    return b(ini->Close());
}

int YIniData_Reload(YIniData* ini)
{
    return b(ini->Reload());
}

int YIniData_Save(YIniData* ini)
{
    return b(ini->Save());
}

int YIniData_IsOpen(YIniData* ini)
{
    return b(ini->IsOpen());
}

int YIniData_IsNew(YIniData* ini)
{
    return b(ini->IsNew());
}

int YIniData_SetContentString(YIniData* ini, const char* text)
{
    return b(ini->SetContentString(text));
}

char* YIniData_GetContentString(YIniData* ini)
{
    std::string text;
    ini->GetContentString(text);
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (!out) {
        YErrTrace("YIniData_GetContentString(): malloc() failed: %.50s", std::strerror(errno));
        return nullptr;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

int YIniData_GetSectionCount(YIniData* ini)
{
    return count(ini->GetSectionCount());
}

int YIniData_HasSection(YIniData* ini, const char* section)
{
    return b(ini->HasSection(section));
}

int YIniData_GetEntryCount(YIniData* ini, const char* section)
{
    return count(ini->GetEntryCount(section));
}

int YIniData_HasEntry(YIniData* ini, const char* section, const char* entry)
{
    return b(ini->HasEntry(section, entry));
}

int YIniData_GetDoubleEntry(YIniData* ini, const char* section, const char* entry, double* value)
{
    return b(ini->GetDoubleEntry(section, entry, value));
}

int YIniData_GetLongEntry(YIniData* ini, const char* section, const char* entry, long* value)
{
    return b(ini->GetLongEntry(section, entry, value));
}

int YIniData_GetLongLongEntry(YIniData* ini, const char* section, const char* entry, long long* value)
{
    return b(ini->GetLongEntry(section, entry, value));
}

int YIniData_GetStringEntry(YIniData* ini, const char* section, const char* entry, char* buffer, size_t size)
{
    const YIniDataEntry* e = ini->GetEntry(section, entry);
    if (!e)
        return 0;
    if (!bounded_copy(buffer, e->value(), size)) {
        YErrTrace("YIniData_GetStringEntry(): returned string too long for target (%Iu)", size);
        return 0;
    }
    return 1;
}

int YIniData_SetDoubleEntry(YIniData* ini, const char* section, const char* entry, double value)
{
    return b(ini->SetDoubleEntry(section, entry, value));
}

int YIniData_SetLongEntry(YIniData* ini, const char* section, const char* entry, long value)
{
    return b(ini->SetLongEntry(section, entry, value));
}

int YIniData_SetLongLongEntry(YIniData* ini, const char* section, const char* entry, long long value)
{
    return b(ini->SetLongEntry(section, entry, value));
}

int YIniData_SetStringEntry(YIniData* ini, const char* section, const char* entry, const char* value)
{
    return b(ini->SetStringEntry(section, entry, value));
}

int YIniData_DeleteSection(YIniData* ini, const char* section)
{
    return b(ini->DeleteSection(section));
}

int YIniData_DeleteEntry(YIniData* ini, const char* section, const char* entry)
{
    return b(ini->DeleteEntry(section, entry));
}
