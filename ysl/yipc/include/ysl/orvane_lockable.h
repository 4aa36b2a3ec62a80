// In-process locks: the abstract orvane::Lockable, orvane::ThreadMutex (a critical section,
// so the thread that holds it may take it again) and the scoped orvane::ScopedLock.
#ifndef YSL_ORVANE_LOCKABLE_H
#define YSL_ORVANE_LOCKABLE_H

#include <winport/winport.h>

namespace orvane {

class Lockable {
public:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual bool tryLock() = 0;
    virtual ~Lockable();
};

// One method per critical-section call.
class CriticalSection {
public:
    void initialize() { InitializeCriticalSection(&cs_); }
    void remove() { DeleteCriticalSection(&cs_); }
    void enter() { EnterCriticalSection(&cs_); }
    void leave() { LeaveCriticalSection(&cs_); }
    BOOL tryEnter() { return TryEnterCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class ThreadMutex : public Lockable {
public:
    ThreadMutex();
    ~ThreadMutex() override;
    ThreadMutex(const ThreadMutex&) = delete;
    ThreadMutex& operator=(const ThreadMutex&) = delete;

    void lock() override;
    void unlock() override;
    bool tryLock() override;

private:
    CriticalSection cs_;
};

// Holds the lock for its scope, also while an exception passes.
class ScopedLock {
public:
    explicit ScopedLock(Lockable& lockable) : lockable_(lockable) { lockable_.lock(); }
    ~ScopedLock() { lockable_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Lockable& lockable_;
};

}  // namespace orvane

#endif
