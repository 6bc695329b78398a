#include "platform/object/shared_signal.h"

#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>

namespace ob {

namespace {

constexpr size_t kPageBytes = 4096;

long futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

} // namespace

SharedSignal::SharedSignal(int fd, void* page, bool owned) : fd_(owned ? fd : -1), page_(page) {}

SharedSignal::~SharedSignal()
{
    munmap(page_, kPageBytes);
    if (fd_ >= 0)
        close(fd_);
}

std::shared_ptr<SharedSignal> SharedSignal::create(bool signalled)
{
    int fd = memfd_create("orvo-event", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    void* page = MAP_FAILED;
    if (ftruncate(fd, kPageBytes) == 0)
        page = mmap(nullptr, kPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    std::shared_ptr<SharedSignal> s(new SharedSignal(fd, page, true));
    s->state().store(signalled ? 1 : 0);
    return s;
}

std::shared_ptr<SharedSignal> SharedSignal::attach(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kPageBytes))
        return nullptr;
    void* page = mmap(nullptr, kPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED)
        return nullptr;
    return std::shared_ptr<SharedSignal>(new SharedSignal(fd, page, false));
}

std::atomic<uint32_t>& SharedSignal::state() const { return static_cast<std::atomic<uint32_t>*>(page_)[0]; }

std::atomic<uint32_t>& SharedSignal::sequence() const { return static_cast<std::atomic<uint32_t>*>(page_)[1]; }

void SharedSignal::wakeAll()
{
    sequence().fetch_add(1, std::memory_order_acq_rel);
    futex(sequence(), FUTEX_WAKE, INT_MAX, nullptr);
}

int32_t SharedSignal::set()
{
    const uint32_t previous = state().exchange(1, std::memory_order_acq_rel);
    wakeAll();
    return previous != 0;
}

int32_t SharedSignal::reset() { return state().exchange(0, std::memory_order_acq_rel) != 0; }

int32_t SharedSignal::pulse()
{
    // Waiters see the sequence move; the state is left clear.
    const uint32_t previous = state().exchange(0, std::memory_order_acq_rel);
    wakeAll();
    return previous != 0;
}

bool SharedSignal::signalled() const { return state().load(std::memory_order_acquire) != 0; }

bool SharedSignal::wait(bool autoReset, uint32_t ms)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const uint32_t start = sequence().load(std::memory_order_acquire);
    for (;;) {
        const uint32_t seen = sequence().load(std::memory_order_acquire);
        if (autoReset) {
            uint32_t expected = 1;
            if (state().compare_exchange_strong(expected, 0, std::memory_order_acq_rel))
                return true;
        } else if (state().load(std::memory_order_acquire) != 0) {
            return true;
        }
        // A pulse moved the sequence on without leaving the state set.
        if (seen != start && !autoReset)
            return true;
        timespec timeout{};
        const timespec* limit = nullptr;
        if (ms != 0xFFFFFFFF) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return false;
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &timeout;
        }
        if (futex(sequence(), FUTEX_WAIT, seen, limit) != 0 && errno != EAGAIN && errno != EINTR &&
            errno != ETIMEDOUT)
            return false;
    }
}

} // namespace ob
