#pragma once
// The signal state of an event that processes share: two 32-bit words in a
// page of shared memory (a memfd), the state (0 or 1) and a sequence that
// every set and pulse moves on. The setter wakes waiters through a futex on
// the sequence, so a process waits for the event with no call to the process
// that sets it. One side makes the page; the other attaches to its memfd.

#include <atomic>
#include <cstdint>
#include <memory>

namespace ob {

class SharedSignal {
public:
    // A new page, state `signalled`; null when no page can be had.
    static std::shared_ptr<SharedSignal> create(bool signalled);
    // Attaches to the page behind `fd` (the descriptor stays the caller's);
    // null when it is not such a page.
    static std::shared_ptr<SharedSignal> attach(int fd);
    ~SharedSignal();
    SharedSignal(const SharedSignal&) = delete;
    SharedSignal& operator=(const SharedSignal&) = delete;

    int fd() const { return fd_; } // -1 for an attached page
    // Each returns the previous state.
    int32_t set();
    int32_t reset();
    int32_t pulse();
    bool signalled() const;
    // Waits until the state is set (an auto-reset waiter takes it) or a pulse
    // comes, for at most `ms` of real time (0xFFFFFFFF: no limit).
    bool wait(bool autoReset, uint32_t ms);

private:
    SharedSignal(int fd, void* page, bool owned);
    std::atomic<uint32_t>& state() const;
    std::atomic<uint32_t>& sequence() const;
    void wakeAll();

    int fd_;
    void* page_;
};

} // namespace ob
