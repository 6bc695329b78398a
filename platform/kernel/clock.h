#pragma once
// The one clock of the kernel side. Timers, work items, the USB frame counter,
// interrupt time and transfer completions all follow it. In virtual mode time
// moves only when a test advances it, and everything due runs on the
// advancing thread, in due order; in real-time mode a clock thread runs what
// falls due.
//
// Scheduled entries are intrusive, so that streaming schedules without
// allocating.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kplat {

// 100 ns units since boot.
using Ticks = uint64_t;
constexpr Ticks kTicksPerMs = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;
constexpr Ticks msToTicks(uint64_t ms) { return ms * kTicksPerMs; }

class ClockEntry {
public:
    using Fire = void (*)(ClockEntry& entry);
    explicit ClockEntry(Fire fire = nullptr) : fire_(fire) {}
    ClockEntry(const ClockEntry&) = delete;
    ClockEntry& operator=(const ClockEntry&) = delete;
    void setFire(Fire fire) { fire_ = fire; }
    bool queued() const { return queued_; } // read under the clock's lock only
    Ticks due() const { return due_; }

private:
    friend class Clock;
    Fire fire_;
    Ticks due_ = 0;
    uint64_t seq_ = 0;
    ClockEntry* prev_ = nullptr;
    ClockEntry* next_ = nullptr;
    bool queued_ = false;
    uint32_t firing_ = 0;
    std::thread::id firingThread_;
};

class Clock {
public:
    Clock();
    ~Clock();
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    // Virtual time from `start`, nothing scheduled. Waits either move time on
    // themselves (autoAdvance) or block until another thread advances.
    void useVirtual(Ticks start = 0, bool autoAdvance = true);
    // Wall-clock time continuing from now().
    void useRealTime();
    bool isVirtual() const;

    Ticks now() const;

    // (Re)schedules the entry at `due`; an entry already queued moves.
    void schedule(ClockEntry& entry, Ticks due);
    // Returns true if the entry was queued.
    bool cancel(ClockEntry& entry);
    // Cancels and waits until a run of the entry that has begun is over, so
    // that its owner may go away. Calling it from the entry's own run is a
    // violation (it would wait for itself).
    bool cancelAndWait(ClockEntry& entry);
    bool isQueued(const ClockEntry& entry) const;

    // Virtual mode: moves time on, running every entry that falls due on
    // this thread in due order (equal due times in scheduling order).
    // Must be called at passive level.
    void advance(Ticks delta);
    void advanceTo(Ticks target);
    // Runs whatever is due at the current time.
    void runDue() { advance(0); }
    // Virtual mode: time moves on while nothing runs, as when the clock
    // thread is not scheduled; what fell due meanwhile runs late, at the
    // next advance.
    void stall(Ticks delta);

    // Blocks the caller until `deadline` (passive level only).
    void waitUntil(Ticks deadline);

private:
    void insertLocked(ClockEntry& entry, Ticks due);
    void removeLocked(ClockEntry& entry);
    void stopThread();
    void fire(std::unique_lock<std::mutex>& lock, ClockEntry& entry);
    void threadMain();
    Ticks realNowLocked() const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::recursive_mutex advanceMutex_;
    ClockEntry* head_ = nullptr;
    uint64_t seq_ = 0;
    // Written under mutex_, read without it by now(): every reader of the
    // time (client threads, the driver at each block) would otherwise
    // contend with the clock thread for its lock, and a reader preempted
    // while holding it would hold up what falls due.
    std::atomic<bool> virtual_{true};
    bool autoAdvance_ = true;
    std::atomic<Ticks> virtualNow_{0};
    std::atomic<Ticks> realBase_{0};        // clock reading at realStart_
    std::atomic<uint64_t> realStartNs_{0}; // steady clock at the switch
    std::thread thread_;
    bool stopping_ = false;
};

// The kernel side's clock.
Clock& kernelClock();

} // namespace kplat
