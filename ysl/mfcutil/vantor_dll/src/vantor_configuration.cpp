// The data locations: string entries of the section "vantor" of the configuration file, which
// the bootstrap file "dravinInit.ini" under the common application-data folder names.
#include <vantor/vantor.h>

#include "vantor_configuration.h"

#include <ysl/YIniData.h>
#include <ysl/ydiag.h>
#include <ysl/ymutex.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

const char config_section[] = "vantor";

// Serialises the read-change-save of the setters across processes, so that two processes
// that set different locations at once both keep their value (each would otherwise save the
// document it read before the other's save).
class config_file_lock {
public:
    config_file_lock() : mutex_(YMutex_Create("Orvane_Dravin_ConfigurationFile"))
    {
        // YMutex_Lock also owns a mutex whose previous owner ended without releasing it; the
        // file it guarded is whole all the same, since a save replaces it in one rename
        // (unless its folder took no new file and it was written in place).
        owned_ = mutex_ != YMUTEX_INVALID && YMutex_Lock(mutex_);
        if (!owned_)
            YErrTrace("setVantorConfigString(): the configuration file's mutex could not be taken");
    }
    ~config_file_lock()
    {
        if (owned_)
            YMutex_Release(mutex_);
        if (mutex_ != YMUTEX_INVALID)
            YMutex_Destroy(mutex_);
    }
    config_file_lock(const config_file_lock&) = delete;
    config_file_lock& operator=(const config_file_lock&) = delete;
    bool ok() const { return owned_; }

private:
    YMUTEX mutex_;
    bool owned_ = false;
};

// The bootstrap and the configuration file hold a handful of short lines; a file far larger
// is not one of them, and reading it whole could exhaust the memory of the caller's process.
constexpr std::int64_t largest_document = 16 * 1024 * 1024;

// Whether the file at `path` may be read as a document: missing (a new document), or a
// regular file of a sane size. A device or a pipe would be read without end or block the
// caller for ever. The refusal is reported under `who`.
bool readable_document(const char* who, const std::string& path)
{
    struct _stat64 st;
    if (_stat64(path.c_str(), &st) != 0)
        return true;  // missing, or the open that follows reports why not
    if ((st.st_mode & _S_IFMT) != _S_IFREG) {
        YErrTrace("%s: %s is not a regular file", who, path.c_str());
        return false;
    }
    if (st.st_size > largest_document) {
        YErrTrace("%s: %s is too large (%lld bytes)", who, path.c_str(), static_cast<long long>(st.st_size));
        return false;
    }
    return true;
}

// Runs an exported function's body; memory that runs out in it ends the call as a failure
// with `failed`, reported under `who`, instead of ending the caller's process.
template <class Result, class Body>
Result out_of_memory_fails(const char* who, Result failed, Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        YErrTrace("%s: out of memory", who);
        return failed;
    }
}

// Opens as the path constructor of the document does (the traces of a failed open go to the
// error log in one dump), with the flags the document is later saved with.
void open_document(YIniData& ini, const std::string& path)
{
    YErrTrace_BeginContext();
    if (!ini.Open(path.c_str()))
        YErrTrace_DumpContextToYErrLog("YIniData::YIniData(): Open(\"%.60s\") failed", path.c_str());
    YErrTrace_EndContext();
}

bool setVantorConfigString(const char* key, const char* value)
{
    if (!value) {
        YErrTrace("setVantorConfigString(): no value given for %s", key);
        return false;
    }
    config_file_lock lock;
    if (!lock.ok())
        return false;
    std::string path;
    // The result is not needed: without a "dravin.ini" entry the path stays the bootstrap
    // file's own, and the configuration lives there.
    getDravinIniFile(path);
    if (!readable_document("setVantorConfigString()", path))
        return false;
    // The file is replaced in one step (a temporary file renamed over it), so that a failed
    // or interrupted save never leaves a cut configuration behind. Where its folder takes no
    // new file, the file is written in place: the mutex keeps other setters out meanwhile.
    YIniData ini(YINIDATA_SAVE_VIA_TEMPFILE | YINIDATA_SAVE_FLUSH | YINIDATA_SAVE_IN_PLACE_FALLBACK);
    open_document(ini, path);
    if (!ini.IsOpen()) {
        YErrTrace("setVantorConfigString(): iniFile(%s).IsOpen() failed", path.c_str());
        return false;
    }
    if (!ini.SetStringEntry(config_section, key, value)) {
        YErrTrace("setVantorConfigString(): iniFile(%s).SetStringEntry(%s,%s,%s) failed", path.c_str(), config_section,
                  key, value);
        return false;
    }
    return ini.Save();
}

int getVantorConfigString(const char* key, char* buffer, int size)
{
    std::string path;
    getDravinIniFile(path);
    if (!readable_document("getVantorConfigString()", path))
        return -1;
    YIniData ini(path.c_str());
    if (!ini.IsOpen()) {
        YErrTrace("getVantorConfigString(): iniFile(%s).IsOpen() failed.", path.c_str());
        return -1;
    }
    std::string value;
    if (!ini.GetStringEntry(config_section, key, value)) {
        YErrTrace("getVantorConfigString(): iniFile(%s).GetStringEntry(%s,%s) failed", path.c_str(), config_section,
                  key);
        return -1;
    }
    if (value.size() >= static_cast<size_t>(INT_MAX)) {
        YErrTrace("getVantorConfigString(): value of %s too long (%Iu)", key, value.size());
        return -1;
    }
    const int n = static_cast<int>(value.size());
    if (buffer && n < size)
        std::memcpy(buffer, value.c_str(), value.size() + 1);
    return n + 1;
}

}  // namespace

bool getCommonAppDataFolder(std::string& out)
{
    char folder[MAX_PATH] = "";
    if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_COMMON_APPDATA, FALSE)) {
        YErrTrace("getCommonAppDataFolder() failed %s", std::strerror(errno));
        return false;
    }
    out = folder;
    return true;
}

bool getDravinIniFile(std::string& out)
{
    if (!getCommonAppDataFolder(out)) {
        YErrTrace("getDravinIniFile() failed");
        return false;
    }
    out += "\\Orvane\\Dravin\\dravinInit.ini";
    if (!readable_document("getDravinIniFile", out))
        return false;
    YIniData ini(out.c_str());
    if (!ini.IsOpen()) {
        YErrTrace("getDravinIniFile: iniFile(%s).IsOpen() failed", out.c_str());
        return false;
    }
    if (!ini.GetStringEntry("dravin", "dravin.ini", out)) {
        YErrTrace("getDravinIniFile: iniFile(%s) has no entry dravin.ini in section [dravin]", out.c_str());
        return false;
    }
    return true;
}

int getVantorServerLocation(char* buffer, int size)
{
    return out_of_memory_fails("getVantorServerLocation()", -1,
                               [&] { return getVantorConfigString("serverLocation", buffer, size); });
}

int getVantorDataLocation(char* buffer, int size)
{
    return out_of_memory_fails("getVantorDataLocation()", -1,
                               [&] { return getVantorConfigString("dataLocation", buffer, size); });
}

int getVantorTempDataLocation(char* buffer, int size)
{
    return out_of_memory_fails("getVantorTempDataLocation()", -1,
                               [&] { return getVantorConfigString("tempDataLocation", buffer, size); });
}

bool setVantorServerLocation(const char* location)
{
    return out_of_memory_fails("setVantorServerLocation()", false,
                               [&] { return setVantorConfigString("serverLocation", location); });
}

bool setVantorDataLocation(const char* location)
{
    return out_of_memory_fails("setVantorDataLocation()", false,
                               [&] { return setVantorConfigString("dataLocation", location); });
}

bool setVantorTempDataLocation(const char* location)
{
    return out_of_memory_fails("setVantorTempDataLocation()", false,
                               [&] { return setVantorConfigString("tempDataLocation", location); });
}
