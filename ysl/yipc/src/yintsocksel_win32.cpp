#include "yintsocksel_internal.h"

#include <ysl/ydiag.h>
#include <ysl/yintsocksel_win32.h>
#include <ysl/yprocess_win32.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct YIntSockSel {
    unsigned capacity;  // entries each array holds: the sockets and the notify event's slot
    unsigned count;     // sockets in the set
    SOCKET* sockets;
    HANDLE* events;  // the socket events; the notify event goes behind the last during a wait
    HANDLE notify;
};

namespace {

constexpr unsigned name_max = 64;

std::atomic<unsigned> wait_limit_ms{10000};

// Every process has one notify event, named after its identifier, shared by its wait sets.
void notify_name(char (&name)[name_max + 1], DWORD pid)
{
    std::snprintf(name, sizeof name, "YIntSockSel_%d", static_cast<int>(pid));
}

long mask_of(int mode)
{
    switch (mode) {
    case 1:
        return FD_READ | FD_ACCEPT;
    case 2:
        return FD_WRITE | FD_CONNECT;
    case 3:
        return FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT;
    default:
        return 0;
    }
}

}  // namespace

unsigned yintsocksel_set_wait_limit(unsigned milliseconds)
{
    return wait_limit_ms.exchange(milliseconds);
}

YIntSockSel* YIntSockSel_Create(void)
{
    auto* set = static_cast<YIntSockSel*>(std::malloc(sizeof(YIntSockSel)));
    SOCKET* sockets = set ? static_cast<SOCKET*>(std::malloc(sizeof(SOCKET))) : nullptr;
    HANDLE* events = sockets ? static_cast<HANDLE*>(std::malloc(sizeof(HANDLE))) : nullptr;
    if (!events) {
        YErrTrace("YIntSockSel_Create(): malloc() failed: %.40s", strerror(errno));
        std::free(sockets);
        std::free(set);
        return nullptr;
    }
    char name[name_max + 1];
    notify_name(name, static_cast<DWORD>(_getpid()));
    HANDLE notify = CreateEventA(nullptr, FALSE, FALSE, name);
    if (!notify) {
        YErrTrace("YIntSockSel_Create(): CreateEvent() failed");
        std::free(events);
        std::free(sockets);
        std::free(set);
        return nullptr;
    }
    set->capacity = 1;
    set->count = 0;
    set->sockets = sockets;
    set->events = events;
    set->notify = notify;
    return set;
}

void YIntSockSel_Destroy(YIntSockSel* set)
{
    if (!set)
        return;
    for (unsigned i = 0; i < set->count; ++i)
        WSACloseEvent(set->events[i]);
    CloseHandle(set->notify);
    std::free(set->events);
    std::free(set->sockets);
    std::free(set);
}

int YIntSockSel_Add(YIntSockSel* set, const SOCKET* sockets, const int* modes, unsigned n)
{
    std::size_t needed = static_cast<std::size_t>(set->count) + n + 1;
    if (needed > MAXIMUM_WAIT_OBJECTS) {
        YErrTrace("%s(): maximum number of wait objects reached: %Iu > %u", "YIntSockSel_Add", needed,
                  static_cast<unsigned>(MAXIMUM_WAIT_OBJECTS));
        return 0;
    }
    if (set->capacity < needed) {
        auto* grown_sockets = static_cast<SOCKET*>(std::realloc(set->sockets, needed * sizeof(SOCKET)));
        if (!grown_sockets) {
            YErrTrace("YIntSockSel_Add(): realloc() failed");
            return 0;
        }
        set->sockets = grown_sockets;
        auto* grown_events = static_cast<HANDLE*>(std::realloc(set->events, needed * sizeof(HANDLE)));
        if (!grown_events) {
            YErrTrace("YIntSockSel_Add(): realloc() failed");
            return 0;
        }
        set->events = grown_events;
        set->capacity = static_cast<unsigned>(needed);
    }
    // A failed call adds none of its sockets, and the events it made so far go with it.
    unsigned made = 0;
    auto fail = [set, &made]() {
        for (unsigned j = 0; j < made; ++j)
            WSACloseEvent(set->events[set->count + j]);
        return 0;
    };
    for (unsigned i = 0; i < n; ++i) {
        unsigned slot = set->count + i;
        WSAEVENT event = WSACreateEvent();
        if (event == WSA_INVALID_EVENT) {
            YErrTrace("YIntSockSel_Add(): WSACreateEvent() failed");
            return fail();
        }
        set->events[slot] = event;
        ++made;
        long mask = mask_of(modes[i]);
        if (mask == 0) {
            YErrTrace("YIntSockSel_Add(): unknown mode %i", modes[i]);
            return fail();
        }
        if (WSAEventSelect(sockets[i], event, mask) != 0) {
            YErrTrace("YIntSockSel_Add(): WSAEventSelect() failed");
            return fail();
        }
        set->sockets[slot] = sockets[i];
    }
    set->count += n;
    return 1;
}

void YIntSockSel_Remove(YIntSockSel* set, const SOCKET* sockets, unsigned n)
{
    for (unsigned k = 0; k < n; ++k) {
        for (unsigned i = 0; i < set->count;) {
            if (set->sockets[i] != sockets[k]) {
                ++i;
                continue;
            }
            WSACloseEvent(set->events[i]);
            std::memmove(set->sockets + i, set->sockets + i + 1, (set->count - i - 1) * sizeof(SOCKET));
            std::memmove(set->events + i, set->events + i + 1, (set->count - i - 1) * sizeof(HANDLE));
            --set->count;
        }
    }
}

int YIntSockSel_Wait(YIntSockSel* set)
{
    set->events[set->count] = set->notify;
    DWORD got = WaitForMultipleObjects(set->count + 1, set->events, FALSE, wait_limit_ms.load());
    if (got == WAIT_FAILED) {
        YErrTrace("YIntSockSel_Wait(): WaitForMultipleObjects() failed");
        return -1;
    }
    if (got == WAIT_OBJECT_0 + set->count)
        return -2;
    if (got == WAIT_TIMEOUT)
        return -3;
    unsigned index = got - WAIT_OBJECT_0;
    if (!WSAResetEvent(set->events[index])) {
        YErrTrace("YIntSockSel_Wait(): ResetEvent() failed.");
        return -1;
    }
    return static_cast<int>(set->sockets[index]);
}

int YIntSockSel_Notify(DWORD pid)
{
    if (!YProcess_IsAlive(pid))
        return 0;
    char name[name_max + 1];
    notify_name(name, pid);
    HANDLE notify = CreateEventA(nullptr, TRUE, FALSE, name);
    if (!notify) {
        YErrTrace("YIntSockSel_Notify(): CreateEvent() failed");
        return 0;
    }
    if (!SetEvent(notify)) {
        YErrTrace("YIntSockSel_Notify(): SetEvent() failed.");
        CloseHandle(notify);
        return 0;
    }
    CloseHandle(notify);
    return 1;
}
