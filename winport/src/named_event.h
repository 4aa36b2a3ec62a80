// Named events. Internal to winport.
#ifndef WINPORT_SRC_NAMED_EVENT_H
#define WINPORT_SRC_NAMED_EVENT_H

#include <winport/base.h>

namespace winport {

// CreateEventA for a name: opens the event of that name, or makes it with the reset type and
// initial state given. The last error is ERROR_ALREADY_EXISTS for an event that existed.
HANDLE create_named_event(const char* name, bool manual_reset, bool initial);

}  // namespace winport

#endif
