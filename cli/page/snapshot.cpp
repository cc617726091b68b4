#include "cli/page/snapshot.h"

namespace Page
{

void Holder::publish(std::shared_ptr<const Snapshot> snapshot)
{
    {
        std::lock_guard<std::mutex> locker(lock);
        current.swap(snapshot);
    }
    // The old one, if this was its last holder, is freed here, outside the lock.
}

std::shared_ptr<const Snapshot> Holder::latest() const
{
    std::lock_guard<std::mutex> locker(lock);
    return current;
}

} // namespace Page
