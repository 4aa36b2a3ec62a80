#include <ysl/orvane_lockable.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

bool try_from_other_thread(orvane::Lockable& lock)
{
    bool taken = false;
    std::thread([&] {
        taken = lock.tryLock();
        if (taken)
            lock.unlock();
    }).join();
    return taken;
}

TEST(ThreadMutex, TryLock_FailsWhileAnotherThreadHoldsIt_SucceedsForTheHolder)
{
    orvane::ThreadMutex mutex;
    mutex.lock();
    EXPECT_FALSE(try_from_other_thread(mutex));
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
    EXPECT_FALSE(try_from_other_thread(mutex));
    mutex.unlock();
    EXPECT_TRUE(try_from_other_thread(mutex));
}

TEST(ScopedLock, ReleasesWhenAnExceptionPasses)
{
    orvane::ThreadMutex mutex;
    try {
        orvane::ScopedLock hold(mutex);
        EXPECT_FALSE(try_from_other_thread(mutex));
        throw std::runtime_error("passing");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(try_from_other_thread(mutex));
}

}  // namespace
