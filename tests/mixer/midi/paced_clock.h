#pragma once
// A virtual clock installed as the user-mode clock for the life of the object
// and moved on by a pacer thread, `speedup` virtual milliseconds per real
// one, in 1 ms steps. For tests of the device service, whose threads, the
// simulated bus and the simulated mixer all wait on that clock: its time-outs
// (probe gaps, drains, acknowledgements, the bootloader's return) pass that
// much faster, while every exchange that is not a time-out runs as it would.

#include "platform/win32/clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace orvo::testing {

class PacedClock {
public:
#if defined(__SANITIZE_THREAD__)
    static constexpr unsigned kDefaultSpeedup = 2; // everything runs several times slower
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    static constexpr unsigned kDefaultSpeedup = 2; // everything runs several times slower
#else
    static constexpr unsigned kDefaultSpeedup = 5;
#endif
#else
    static constexpr unsigned kDefaultSpeedup = 5;
#endif

    explicit PacedClock(unsigned speedup = kDefaultSpeedup) : clock_(0, false), previous_(w32::setClock(&clock_))
    {
        pacer_ = std::thread([this, speedup] {
            const auto start = std::chrono::steady_clock::now();
            uint64_t moved = 0;
            while (!stop_.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - start);
                const uint64_t due = static_cast<uint64_t>(real.count()) * speedup / 1000;
                // A pacer starved by a loaded machine does not jump ahead on
                // waking: the threads it raced were starved as well, and a
                // jump would time out exchanges that simply ran late.
                for (uint64_t step = 0; moved < due && step < 2u * speedup && !stop_.load(); ++moved, ++step)
                    clock_.advance(1);
                if (due > moved)
                    moved = due;
            }
        });
    }
    ~PacedClock()
    {
        stop_ = true;
        pacer_.join();
        w32::setClock(previous_);
    }
    PacedClock(const PacedClock&) = delete;
    PacedClock& operator=(const PacedClock&) = delete;

    uint32_t now() { return clock_.tickCount(); }

private:
    w32::VirtualClock clock_;
    w32::Clock* previous_;
    std::atomic<bool> stop_{false};
    std::thread pacer_;
};

} // namespace orvo::testing
