// The export of a large tree against a plain recursive walk of the same tree.
#include "registry_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

using namespace registry_test;

// The tree below `path` as the export writes it, from a walk that reads every list from its
// last index down, after counting it: it shares no enumeration cursor with the export, whose
// nested walks go up from index 0.
void walk(const std::string& path, std::string& out)
{
    HKEY key = open_key(cu, path, KEY_READ);
    ASSERT_NE(key, nullptr) << path;
    DWORD subkeys = 0, values = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    std::vector<std::string> lines(values), names(subkeys);
    for (DWORD i = values; i-- > 0;) {
        char name[64], data[64];
        DWORD n = sizeof name, size = sizeof data, type = 0;
        ASSERT_EQ(RegEnumValueA(key, i, name, &n, nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
        lines[i] = "\"" + std::string(name) + "\"=";
        if (type == REG_DWORD) {
            DWORD v;
            std::memcpy(&v, data, sizeof v);
            char hex[16];
            std::snprintf(hex, sizeof hex, "dword:%X", static_cast<unsigned>(v));
            lines[i] += hex;
        } else {
            lines[i] += "\"" + std::string(data) + "\"";
        }
        lines[i] += "\n";
    }
    for (DWORD i = subkeys; i-- > 0;) {
        char name[MAX_PATH];
        ASSERT_EQ(RegEnumKeyA(key, i, name, sizeof name), ERROR_SUCCESS);
        names[i] = name;
    }
    RegCloseKey(key);
    out += "[HKEY_CURRENT_USER\\" + path + "]\n";
    for (const std::string& line : lines)
        out += line;
    out += "\n";
    for (const std::string& name : names)
        walk(path + "\\" + name, out);
}

// 1,500 subkeys under one key and 30 under another, each of those with 30 of its own: every
// key's values, subkeys and place in its parent's list must come out once, in order.
TEST_F(RegistryTest, ExportOfThousandsOfKeys_IsWhatAPlainWalkWrites)
{
    char name[32];
    for (int i = 0; i < 1500; ++i) {
        std::snprintf(name, sizeof name, "T\\A%04d", i);
        ASSERT_TRUE(setreg_long(cu, key(name).c_str(), "n", i));
    }
    for (int i = 0; i < 30; ++i) {
        for (int j = 0; j < 30; ++j) {
            std::snprintf(name, sizeof name, "T\\B%02d\\C%02d", i, j);
            ASSERT_TRUE(setreg_long(cu, key(name).c_str(), "n", i * 100 + j));
            ASSERT_TRUE(setreg_string(cu, key(name).c_str(), "s", std::to_string(i * 100 + j).c_str()));
        }
    }
    std::string expected = "REGEDIT4\n\n";
    walk(key("T"), expected);

    std::string file = ::testing::TempDir() + "vantor-export-walk-" + std::to_string(GetCurrentProcessId()) + ".reg";
    ASSERT_TRUE(SaveRegToFile(cu, key("T").c_str(), file.c_str(), false));
    std::ifstream in(file, std::ios::binary);
    std::string saved(std::istreambuf_iterator<char>(in), {});
    in.close();
    std::remove(file.c_str());
    saved.erase(std::remove(saved.begin(), saved.end(), '\r'), saved.end());
    // Where they differ, if anywhere, and what comes from there.
    std::size_t common = std::min(saved.size(), expected.size());
    auto at = static_cast<std::size_t>(
        std::mismatch(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(common), expected.begin()).first -
        saved.begin());
    EXPECT_EQ(saved.substr(at, 400), expected.substr(at, 400)) << "from byte " << at;
}

}  // namespace
