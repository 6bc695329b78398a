#include "platform/kernel/clock.h"

#include "platform/kernel/level.h"
#include "platform/object/host_scheduling.h"

#include <chrono>

namespace kplat {

namespace {

uint64_t steadyNs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

Clock::Clock() = default;

Clock::~Clock() { stopThread(); }

Clock& kernelClock()
{
    static Clock instance;
    return instance;
}

void Clock::useVirtual(Ticks start, bool autoAdvance)
{
    stopThread();
    std::lock_guard lock(mutex_);
    while (head_)
        removeLocked(*head_);
    virtual_ = true;
    autoAdvance_ = autoAdvance;
    virtualNow_ = start;
    changed_.notify_all();
}

void Clock::useRealTime()
{
    {
        std::lock_guard lock(mutex_);
        if (!virtual_)
            return;
        realBase_ = virtualNow_.load();
        realStartNs_ = steadyNs();
        virtual_ = false;
        stopping_ = false;
    }
    // Priorities are the host's in real time only: the virtual clock stays
    // deterministic and needs no privilege.
    ob::host::setEnabled(true);
    thread_ = std::thread([this] { threadMain(); });
}

bool Clock::isVirtual() const { return virtual_; }

// The bases are stored before the mode flag: a reader that sees real-time
// mode sees them.
Ticks Clock::realNowLocked() const { return realBase_ + (steadyNs() - realStartNs_) / 100; }

Ticks Clock::now() const { return virtual_ ? virtualNow_.load() : realNowLocked(); }

void Clock::insertLocked(ClockEntry& entry, Ticks due)
{
    entry.due_ = due;
    entry.seq_ = ++seq_;
    entry.queued_ = true;
    // Few entries are ever queued (timers, the bus frame, request time-outs):
    // a sorted list is cheapest. Search from the tail, where new entries go.
    ClockEntry* after = nullptr;
    if (head_) {
        ClockEntry* tail = head_->prev_; // head's prev is the tail
        for (ClockEntry* e = tail;; e = e->prev_) {
            if (e->due_ <= due) {
                after = e;
                break;
            }
            if (e == head_)
                break;
        }
    }
    if (!head_) {
        entry.prev_ = &entry;
        entry.next_ = nullptr;
        head_ = &entry;
    } else if (!after) {
        entry.next_ = head_;
        entry.prev_ = head_->prev_;
        head_->prev_ = &entry;
        head_ = &entry;
    } else {
        entry.next_ = after->next_;
        entry.prev_ = after;
        if (after->next_)
            after->next_->prev_ = &entry;
        else
            head_->prev_ = &entry;
        after->next_ = &entry;
    }
}

void Clock::removeLocked(ClockEntry& entry)
{
    if (!entry.queued_)
        return;
    if (&entry == head_) {
        head_ = entry.next_;
        if (head_)
            head_->prev_ = entry.prev_;
    } else {
        entry.prev_->next_ = entry.next_;
        if (entry.next_)
            entry.next_->prev_ = entry.prev_;
        else
            head_->prev_ = entry.prev_;
    }
    entry.prev_ = entry.next_ = nullptr;
    entry.queued_ = false;
}

void Clock::schedule(ClockEntry& entry, Ticks due)
{
    std::lock_guard lock(mutex_);
    bool wasHead = head_ == &entry;
    removeLocked(entry);
    insertLocked(entry, due);
    if (!virtual_ && (head_ == &entry || wasHead))
        changed_.notify_all();
}

bool Clock::cancel(ClockEntry& entry)
{
    std::lock_guard lock(mutex_);
    bool was = entry.queued_;
    removeLocked(entry);
    return was;
}

bool Clock::cancelAndWait(ClockEntry& entry)
{
    std::unique_lock lock(mutex_);
    bool was = entry.queued_;
    removeLocked(entry);
    if (entry.firing_ > 0 && entry.firingThread_ == std::this_thread::get_id())
        violation("waiting for a timer callback from inside that callback");
    changed_.wait(lock, [&] { return entry.firing_ == 0; });
    return was;
}

void Clock::fire(std::unique_lock<std::mutex>& lock, ClockEntry& entry)
{
    ++entry.firing_;
    entry.firingThread_ = std::this_thread::get_id();
    lock.unlock();
    entry.fire_(entry);
    lock.lock();
    if (--entry.firing_ == 0) {
        entry.firingThread_ = {};
        changed_.notify_all();
    }
}

bool Clock::isQueued(const ClockEntry& entry) const
{
    std::lock_guard lock(mutex_);
    return entry.queued_;
}

void Clock::advance(Ticks delta)
{
    Ticks target;
    {
        std::lock_guard lock(mutex_);
        target = virtualNow_ + delta;
    }
    advanceTo(target);
}

void Clock::advanceTo(Ticks target)
{
    requirePassive("advancing the clock");
    std::lock_guard serial(advanceMutex_);
    for (;;) {
        std::unique_lock lock(mutex_);
        if (!virtual_)
            violation("advancing a real-time clock");
        ClockEntry* entry = head_;
        if (!entry || entry->due_ > target) {
            if (target > virtualNow_)
                virtualNow_ = target;
            changed_.notify_all();
            return;
        }
        removeLocked(*entry);
        if (entry->due_ > virtualNow_) {
            virtualNow_ = entry->due_;
            changed_.notify_all();
        }
        fire(lock, *entry);
    }
}

void Clock::stall(Ticks delta)
{
    std::lock_guard lock(mutex_);
    if (!virtual_)
        violation("stalling a real-time clock");
    virtualNow_ += delta;
    changed_.notify_all();
}

void Clock::waitUntil(Ticks deadline)
{
    requirePassive("a wait");
    std::unique_lock lock(mutex_);
    if (virtual_) {
        if (autoAdvance_) {
            lock.unlock();
            advanceTo(deadline);
            return;
        }
        changed_.wait(lock, [&] { return !virtual_ || virtualNow_ >= deadline; });
        if (virtual_)
            return;
    }
    Ticks now = realNowLocked();
    if (deadline > now) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::nanoseconds((deadline - now) * 100));
    }
}

void Clock::stopThread()
{
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable())
            return;
        stopping_ = true;
        changed_.notify_all();
    }
    thread_.join();
    ob::host::setEnabled(false);
    std::lock_guard lock(mutex_);
    // Continue virtual time where real time stopped.
    virtualNow_ = realNowLocked();
    virtual_ = true;
    stopping_ = false;
}

void Clock::threadMain()
{
    // This thread is the platform's dispatch level: timers, USB frames and
    // completions run on it, above every user thread.
    ob::host::apply(ob::host::currentThreadId(), ob::host::dispatchSchedule());
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!head_) {
            changed_.wait(lock);
            continue;
        }
        Ticks now = realNowLocked();
        if (head_->due_ > now) {
            // An absolute wake-up on the monotonic clock: the time spent
            // getting here does not push the deadline on.
            const uint64_t dueNs = realStartNs_ + (head_->due_ - realBase_) * 100;
            changed_.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::nanoseconds(dueNs)));
            continue;
        }
        ClockEntry* entry = head_;
        removeLocked(*entry);
        fire(lock, *entry);
    }
}

} // namespace kplat
