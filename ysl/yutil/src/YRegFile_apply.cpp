// Applying a parsed registration file to the registry, in the file's order. The registry is
// reached through its own functions rather than the module's: a key without values must be
// created as it stands, and a failure must carry the registry's code, neither of which the
// module's section functions give.
#include <ysl/YRegFile.h>

#include <ysl/ydiag.h>

#include <string>
#include <vector>

namespace {

// The module's registry functions ask for the 32-bit view; an import must land where they read.
constexpr REGSAM view = KEY_WOW64_32KEY;

// The subkeys first, since the registry deletes only keys without subkeys. A key that is not
// there is no failure: the file asks for it to be gone.
LONG delete_tree(HKEY root, const std::string& path)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key);
    if (status != ERROR_SUCCESS)
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    // Names are taken before any is deleted, as deleting moves the others' indexes.
    std::vector<std::string> subkeys;
    char name[MAX_PATH];
    for (DWORD i = 0; (status = RegEnumKeyA(key, i, name, sizeof name)) == ERROR_SUCCESS; ++i)
        subkeys.emplace_back(name);
    RegCloseKey(key);
    if (status != ERROR_NO_MORE_ITEMS)
        return status;
    for (const std::string& subkey : subkeys) {
        if ((status = delete_tree(root, path + '\\' + subkey)) != ERROR_SUCCESS)
            return status;
    }
    status = RegDeleteKeyExA(root, path.c_str(), view, 0);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

LONG apply_value(HKEY key, const YRegFileValue& value)
{
    if (value.remove) {
        LONG status = RegDeleteValueA(key, value.name.c_str());
        return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
    }
    return RegSetValueExA(key, value.name.c_str(), 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                          static_cast<DWORD>(value.data.size()));
}

}  // namespace

namespace {

int apply_keys(const std::vector<YRegFileKey>& keys, YRegFileApplied& done)
{
    done = YRegFileApplied();
    for (const YRegFileKey& k : keys) {
        done.key = &k;
        if (k.remove) {
            if ((done.status = delete_tree(k.root, k.path)) != ERROR_SUCCESS)
                return 0;
            ++done.keys;
            continue;
        }
        HKEY key = nullptr;
        done.status = RegCreateKeyExA(k.root, k.path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr);
        if (done.status != ERROR_SUCCESS)
            return 0;
        ++done.keys;
        for (const YRegFileValue& v : k.values) {
            done.value = &v;
            if ((done.status = apply_value(key, v)) != ERROR_SUCCESS) {
                RegCloseKey(key);
                return 0;
            }
            ++done.values;
        }
        done.value = nullptr;
        RegCloseKey(key);
    }
    done.key = nullptr;
    return 1;
}

}  // namespace

int YRegFile_Apply(const std::vector<YRegFileKey>& keys, YRegFileApplied& done)
{
    if (apply_keys(keys, done))
        return 1;
    YErrTrace("YRegFile_Apply(): line %d: registry error %ld", done.value ? done.value->line : done.key->line,
              static_cast<long>(done.status));
    return 0;
}
