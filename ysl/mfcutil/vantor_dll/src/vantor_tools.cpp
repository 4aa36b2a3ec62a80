// The locations as strings, for the module's own callers (the server connection starts the
// server from the server location).
#include <vantor/vantor.h>

#include "vantor_configuration.h"

#include <ysl/ydiag.h>

#include <cstdlib>

namespace {

// Asks once for the size, then for the value; a value that changed size between the two
// calls is a failure, never a cut string.
bool get_location(int (*getter)(char*, int), const char* name, const char* getter_name, std::string& out)
{
    char probe[1];
    const int n = getter(probe, 1);
    if (n < 1) {
        YErrTrace("%s(): %s() failed", name, getter_name);
        return false;
    }
    char* buffer = static_cast<char*>(std::malloc(static_cast<size_t>(n)));
    if (!buffer) {
        YErrTrace("%s(): malloc(%d) failed", name, n);
        return false;
    }
    const bool ok = getter(buffer, n) == n;
    if (ok)
        out = buffer;
    else
        YErrTrace("%s(): %s(): failed due unexpected buf_len", name, getter_name);
    std::free(buffer);
    return ok;
}

}  // namespace

bool getServerLocation(std::string& out)
{
    return get_location(getVantorServerLocation, "getServerLocation", "getVantorServerLocation", out);
}

bool getDataBaseLocation(std::string& out)
{
    return get_location(getVantorDataLocation, "getDataBaseLocation", "getVantorDataLocation", out);
}

bool getTempDataBaseLocation(std::string& out)
{
    return get_location(getVantorTempDataLocation, "getTempDataBaseLocation", "getVantorTempDataLocation", out);
}
