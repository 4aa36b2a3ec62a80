#include <ysl/ydiag.h>
#include <ysl/ysleep_sec.h>

#include <winport/winport.h>

int ysleep_sec(double seconds)
{
    // Written so that NaN is out of range too.
    if (!(seconds >= 0.0 && seconds <= 2678400.0)) {
        YErrTrace("ysleep_sec(): invalid argument");
        return -1;
    }
    Sleep(static_cast<DWORD>(seconds * 1000.0));
    return 0;
}
