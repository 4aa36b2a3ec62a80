// A wait set: one thread waits, with a time limit, for any of up to 63 sockets to become
// ready or for a wake-up that any process sends knowing only the waiter's process identifier.
#ifndef YSL_YINTSOCKSEL_WIN32_H
#define YSL_YINTSOCKSEL_WIN32_H

#include <winport/winport.h>

struct YIntSockSel;

// A new empty set, or null on failure.
YIntSockSel* YIntSockSel_Create(void);
// Closes the set's events and frees it; null is ignored. The sockets stay open.
void YIntSockSel_Destroy(YIntSockSel* set);
// Adds n sockets with their modes (1: FD_READ and FD_ACCEPT, 2: FD_WRITE and FD_CONNECT, 3:
// all four): 1, or 0 (count unchanged) on failure.
int YIntSockSel_Add(YIntSockSel* set, const SOCKET* sockets, const int* modes, unsigned n);
// Removes every entry of the n sockets; sockets not in the set are ignored.
void YIntSockSel_Remove(YIntSockSel* set, const SOCKET* sockets, unsigned n);
// Waits 10 s: a ready socket of the set (its event reset), -1 on failure, -2 when notified,
// -3 when nothing happened in time.
int YIntSockSel_Wait(YIntSockSel* set);
// Wakes the wait sets of the process: 1 when its notify event was set, 0 when it does not run
// or the event could not be set.
int YIntSockSel_Notify(DWORD pid);

#endif
