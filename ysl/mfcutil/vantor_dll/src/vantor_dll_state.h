// The module's process-wide state shared between its source units.
#ifndef VANTOR_DLL_STATE_H
#define VANTOR_DLL_STATE_H

#include <winport/winport.h>

namespace vantor_module {

// The registry lock: one re-entrant critical section that serialises the whole registry
// family of the process.
void registry_lock_enter();
void registry_lock_leave();

class registry_guard {
public:
    registry_guard() { registry_lock_enter(); }
    ~registry_guard() { registry_lock_leave(); }
    registry_guard(const registry_guard&) = delete;
    registry_guard& operator=(const registry_guard&) = delete;
};

}  // namespace vantor_module

#endif
