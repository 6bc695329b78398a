#include "platform/kernel/timer.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

namespace kplat {

Timer::Timer(const TimerConfig& config, const ObjectAttributes& attributes)
    : Object(attributes, nullptr), config_(config), passive_(executionLevel() == ExecutionLevel::Passive)
{
    entry_.owner = this;
    entry_.setFire(&Timer::onFire);
}

Status Timer::create(const TimerConfig& config, const ObjectAttributes& attributes, Timer** out)
{
    *out = nullptr;
    if (!config.callback)
        return status::kInvalidParameter;
    if (!attributes.parent)
        violation("a timer needs a parent object");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* timer = new Timer(config, attributes);
    if (!timer->valid()) {
        timer->deleteObject();
        return status::kInsufficientResources;
    }
    *out = timer;
    return status::kSuccess;
}

bool Timer::startRelative(Ticks delay)
{
    bool wasQueued = kernelClock().isQueued(entry_);
    kernelClock().schedule(entry_, kernelClock().now() + delay);
    return wasQueued;
}

bool Timer::stop(bool wait)
{
    if (!wait)
        return kernelClock().cancel(entry_);
    requirePassive("stopping a timer with wait");
    return kernelClock().cancelAndWait(entry_);
}

void Timer::onFire(ClockEntry& entry)
{
    Timer& timer = *static_cast<Entry&>(entry).owner;
    if (timer.config_.periodMs)
        kernelClock().schedule(timer.entry_, kernelClock().now() + msToTicks(timer.config_.periodMs));
    timer.fired_.fetch_add(1, std::memory_order_relaxed);
    ScopedLevel level(timer.passive_ ? Level::Passive : Level::Dispatch);
    timer.config_.callback(timer);
}

void Timer::teardown()
{
    requirePassive("deleting a timer");
    kernelClock().cancelAndWait(entry_);
}

} // namespace kplat
