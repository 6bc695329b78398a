#include "platform/kernel/wait_lock.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

namespace kplat {

WaitLock::WaitLock(const ObjectAttributes& attributes) : Object(attributes, nullptr) {}

Status WaitLock::create(const ObjectAttributes& attributes, WaitLock** out)
{
    *out = nullptr;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    *out = new WaitLock(attributes);
    return status::kSuccess;
}

void WaitLock::acquire()
{
    requirePassive("acquiring a wait lock");
    if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id())
        violation("recursive acquisition of a wait lock");
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void WaitLock::release()
{
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id())
        violation("releasing a wait lock the thread does not hold");
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    mutex_.unlock();
}

void WaitLock::teardown()
{
    if (owner_.load(std::memory_order_relaxed) != std::thread::id{})
        violation("deleting a wait lock that is held");
}

} // namespace kplat
