#pragma once
// Framework timer on the kernel clock. Due times are relative (100 ns
// units). Starting a queued timer moves its due time; a period of 0 fires
// once. Callbacks run at the timer's execution level (passive or dispatch)
// on the clock's thread (the advancing thread in virtual time). Stopping with
// wait and deleting wait for a callback that is running.

#include "platform/kernel/clock.h"
#include "platform/kernel/framework_object.h"

#include <atomic>

namespace kplat {

class Timer;

struct TimerConfig {
    void (*callback)(Timer& timer) = nullptr;
    uint32_t periodMs = 0;
    bool automaticSerialization = false;
    uint32_t tolerableDelay = 0;
};

class Timer final : public Object {
public:
    // The execution level comes from the attributes (inherited if unset).
    static Status create(const TimerConfig& config, const ObjectAttributes& attributes, Timer** out);
    // Returns true if the timer was already queued.
    bool startRelative(Ticks delay);
    // Returns true if a queued timer was taken off the queue.
    bool stop(bool wait);
    uint64_t firedCount() const { return fired_.load(std::memory_order_relaxed); }

private:
    Timer(const TimerConfig& config, const ObjectAttributes& attributes);
    void teardown() override;
    static void onFire(ClockEntry& entry);

    struct Entry : ClockEntry {
        Timer* owner = nullptr;
    } entry_;
    TimerConfig config_;
    bool passive_;
    std::atomic<uint64_t> fired_{0};
};

} // namespace kplat
