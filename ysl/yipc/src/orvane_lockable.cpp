#include <ysl/orvane_lockable.h>

namespace orvane {

Lockable::~Lockable() = default;

ThreadMutex::ThreadMutex()
{
    cs_.initialize();
}

ThreadMutex::~ThreadMutex()
{
    cs_.remove();
}

void ThreadMutex::lock()
{
    cs_.enter();
}

void ThreadMutex::unlock()
{
    cs_.leave();
}

bool ThreadMutex::tryLock()
{
    return cs_.tryEnter() == 1;
}

}  // namespace orvane
