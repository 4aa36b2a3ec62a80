// Reads of values that another process changes between the module's query that sizes a value
// and the read that follows it. The test steps in exactly there: the module's calls of the two
// sizing queries are routed through this file, which runs the test's action after each.
//
// Linux: the program defines the functions, and the dynamic linker binds the module's calls to
// them before winport's. Windows: the module's import table is pointed at them.
#include "registry_fixture.h"

#include <set>

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

using namespace registry_test;

using query_value_fn = LSTATUS(WINAPI*)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using query_info_fn = LSTATUS(WINAPI*)(HKEY, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                                       LPDWORD, LPDWORD, PFILETIME);
query_value_fn real_query_value;
query_info_fn real_query_info;
// Told the value's name after each value query, null after each query of a key's sizes.
std::function<void(const char*)> after_query;

LSTATUS WINAPI query_value(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    LSTATUS rc = real_query_value(key, name, reserved, type, data, size);
    if (after_query)
        after_query(name ? name : "");
    return rc;
}

LSTATUS WINAPI query_info(HKEY key, LPSTR cls, LPDWORD cls_length, LPDWORD reserved, LPDWORD subkeys,
                          LPDWORD longest_subkey, LPDWORD longest_class, LPDWORD values, LPDWORD longest_name,
                          LPDWORD largest_data, LPDWORD security, PFILETIME written)
{
    LSTATUS rc = real_query_info(key, cls, cls_length, reserved, subkeys, longest_subkey, longest_class, values,
                                 longest_name, largest_data, security, written);
    if (after_query)
        after_query(nullptr);
    return rc;
}

#ifndef _WIN32
void find_real_functions()
{
    real_query_value = reinterpret_cast<query_value_fn>(dlsym(RTLD_NEXT, "RegQueryValueExA"));
    real_query_info = reinterpret_cast<query_info_fn>(dlsym(RTLD_NEXT, "RegQueryInfoKeyA"));
}
#else
// Points the module's import of `function` at `to`; what it pointed at before.
void* redirect_import(const char* function, void* to)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA("vantor.dll"));
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); d->Name; ++d) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                strcmp(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name, function))
                continue;
            DWORD access;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &access);
            void* before = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(to);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, access, &access);
            return before;
        }
    }
    return nullptr;
}
#endif

// Runs `action` after each of the module's sizing queries for its lifetime.
class stepping_in {
public:
    explicit stepping_in(std::function<void(const char*)> action)
    {
#ifdef _WIN32
        real_query_value = reinterpret_cast<query_value_fn>(
            redirect_import("RegQueryValueExA", reinterpret_cast<void*>(&query_value)));
        real_query_info =
            reinterpret_cast<query_info_fn>(redirect_import("RegQueryInfoKeyA", reinterpret_cast<void*>(&query_info)));
#else
        find_real_functions();
#endif
        after_query = std::move(action);
    }
    ~stepping_in()
    {
        after_query = nullptr;
#ifdef _WIN32
        redirect_import("RegQueryValueExA", reinterpret_cast<void*>(real_query_value));
        redirect_import("RegQueryInfoKeyA", reinterpret_cast<void*>(real_query_info));
#endif
    }
    bool ready() const
    {
        return real_query_value && real_query_info;
    }
};

// "n x's" for a text of x's alone (as the tests store), else the text: short failure messages.
std::string shape(const std::string& text)
{
    return text.find_first_not_of('x') == std::string::npos ? std::to_string(text.size()) + " x's" : text;
}

class RegistryGrowth : public RegistryTest {
protected:
    // A string of n x's, stored terminated as the value `name` of root\key().
    void put_x(HKEY root, size_t n, const char* name = "v")
    {
        std::string text(n, 'x');
        put_raw(root, key(), name, REG_SZ, text.c_str(), static_cast<DWORD>(n + 1));
    }
};

// The value changes after the module's first queries of it; the read gives it as it was at the
// last query, or, when it never holds still, the default after a few queries.
TEST_F(RegistryGrowth, GetString_ReadsTheValueAsItIsAfterItGrew)
{
    const struct {
        size_t before;
        std::function<size_t(size_t)> change;
        int changes;
        bool read;
    } cases[] = {
        {300, [](size_t) { return 400; }, 1, true},    // from a short slot to a long one
        {300, [](size_t) { return 70000; }, 1, true},  // to the oversize block
        {70000, [](size_t) { return 80000; }, 1, true},
        {65000, [](size_t) { return 65534; }, 1, true},          // to the last size a long slot holds
        {70000, [](size_t n) { return n + 1000; }, 1000, true},  // overtaken
        {70000, [](size_t n) { return 2 * n; }, 1000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.before) + ", " + std::to_string(c.changes) + " changes to " +
                     std::to_string(c.change(c.before)));
        size_t size = c.before, seen = 0;
        put_x(cu, size);
        int queries = 0;
        stepping_in step([&](const char* name) {
            if (name && !strcmp(name, "v")) {
                seen = size;
                if (++queries <= c.changes)
                    put_x(cu, size = c.change(size));
            }
        });
        ASSERT_TRUE(step.ready());
        std::string got = getreg_string(cu, key().c_str(), "v", "default");
        EXPECT_EQ(shape(got), c.read ? shape(std::string(seen, 'x')) : "default");
        EXPECT_LE(queries, 10);
    }
}

TEST_F(RegistryGrowth, GetStringEx_GivesTheSizeAfterTheChange_OrTheValueWhenItFitsAfterAll)
{
    const int capacity = 64;
    for (size_t after : {400, 20, 63, 64}) {
        SCOPED_TRACE(after);
        put_x(cu, 300);
        stepping_in step([&, changed = false](const char* name) mutable {
            if (name && !strcmp(name, "v") && !changed)
                put_x(cu, after), changed = true;
        });
        ASSERT_TRUE(step.ready());
        std::vector<char> buffer(capacity + 1, '#');
        int length = capacity;
        bool read = getreg_stringEx(cu, key().c_str(), "v", buffer.data(), &length);
        EXPECT_EQ(read, after < capacity);
        EXPECT_EQ(length, static_cast<int>(after) + 1);
        EXPECT_EQ(buffer[capacity], '#') << "written past the capacity";
        if (read) {
            EXPECT_EQ(shape(buffer.data()), shape(std::string(after, 'x')));
        }
    }
}

TEST_F(RegistryGrowth, GetSection_ReadsEveryValueAsItIsAfterTheChange)
{
    const std::string long_name(200, 'n');
    const struct {
        std::function<void()> change;
        std::map<std::string, size_t> expected;  // name: length of its x's
    } cases[] = {
        {[&] { put_x(cu, 5000, "b"); }, {{"a", 10}, {"b", 5000}}},
        {[&] { put_x(cu, 3, long_name.c_str()); }, {{"a", 10}, {"b", 10}, {long_name, 3}}},
    };
    for (const auto& c : cases) {
        delete_tree(cu, key());
        put_x(cu, 10, "a");
        put_x(cu, 10, "b");
        stepping_in step([&, changed = false](const char* name) mutable {
            if (!name && !changed)
                c.change(), changed = true;  // after the key's sizes were taken
        });
        ASSERT_TRUE(step.ready());
        box_recorder boxes;
        CStringArray names;
        CDWordArray types, lengths;
        CPtrArray data;
        EXPECT_TRUE(getreg_section(cu, key().c_str(), names, types, data, lengths));
        EXPECT_TRUE(boxes.boxes().empty());
        std::map<std::string, size_t> read;
        for (INT_PTR i = 0; i < names.GetSize(); ++i) {
            std::string bytes(static_cast<const char*>(data[i]), lengths[i]);
            read[std::string(names[i])] = bytes == std::string(lengths[i] - 1, 'x') + '\0' ? lengths[i] - 1 : 0;
            std::free(data[i]);
        }
        EXPECT_EQ(read, c.expected);
    }
}

}  // namespace

#ifndef _WIN32
// The module's calls come here before winport's, which these pass them on to. The dynamic
// linker sees them only when the program exports them.
#define INTERPOSED extern "C" __attribute__((visibility("default")))

INTERPOSED LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                           LPDWORD size)
{
    if (!real_query_value)
        find_real_functions();
    return query_value(key, name, reserved, type, data, size);
}

INTERPOSED LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD cls_length, LPDWORD reserved, LPDWORD subkeys,
                                           LPDWORD longest_subkey, LPDWORD longest_class, LPDWORD values,
                                           LPDWORD longest_name, LPDWORD largest_data, LPDWORD security,
                                           PFILETIME written)
{
    if (!real_query_info)
        find_real_functions();
    return query_info(key, cls, cls_length, reserved, subkeys, longest_subkey, longest_class, values, longest_name,
                      largest_data, security, written);
}
#endif
