// What the waits on a manual-reset event take, shared by the unnamed and the named events.
// Internal to winport.
#ifndef WINPORT_SRC_MANUAL_WAITS_H
#define WINPORT_SRC_MANUAL_WAITS_H

#include "handles.h"

#include <cstdint>
#include <mutex>
#include <vector>

#include <sched.h>

namespace winport {

// The waits of this process under way on one manual-reset event, each by the count of sets
// at its start. A set's wake-up is left readable while a wait that began before the set is
// still under way: poll() looks at a descriptor again before it returns, so a waiter that has
// not run yet would sleep on if another emptied it first, and miss a set that was reset at
// once.
class manual_waits {
public:
    void begin(std::uint64_t token)
    {
        std::lock_guard<std::mutex> hold(lock_);
        tokens_.push_back(token);
    }

    void end(std::uint64_t token)
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = tokens_.begin(); it != tokens_.end(); ++it) {
            if (*it == token) {
                tokens_.erase(it);
                return;
            }
        }
    }

    // Whether a wait other than the caller's began before the last of `sets` sets.
    bool others_behind(std::uint64_t mine, std::uint64_t sets)
    {
        std::lock_guard<std::mutex> hold(lock_);
        bool skipped = false;
        for (std::uint64_t t : tokens_) {
            if (t == mine && !skipped)
                skipped = true;
            else if (t < sets)
                return true;
        }
        return false;
    }

    // What a wait of a manual-reset event takes when poll() found its descriptor readable.
    // The event reads `signalled` and `sets`; `drain` empties the descriptor and `wake` makes
    // it readable again.
    template <class Signalled, class Sets, class Drain, class Wake>
    DWORD acquire(std::uint64_t token, Signalled signalled, Sets sets, Drain drain, Wake wake)
    {
        if (signalled())
            return WAIT_OBJECT_0;
        bool behind = others_behind(token, sets());
        if (!behind) {
            // Emptied first: a set after this point makes it readable again.
            drain();
            // Set meanwhile, or set and reset with another wait behind: keep it readable.
            if (signalled()) {
                wake();
                return WAIT_OBJECT_0;
            }
            if (others_behind(token, sets()))
                wake();
        }
        if (sets() != token)
            return WAIT_OBJECT_0;
        // Nothing for this wait: the wake-up is another's, which has still to run.
        if (behind)
            sched_yield();
        return wait_lost;
    }

private:
    std::mutex lock_;
    std::vector<std::uint64_t> tokens_;
};

}  // namespace winport

#endif
