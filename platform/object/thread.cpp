#include "platform/object/thread.h"

#include "platform/object/process.h"
#include "platform/object/thread_slot.h"

#include <unistd.h>

namespace ob {

namespace {

// Thread identifiers are unique across the machine, as log files and the
// kernel's per-thread entries are named after them: each host process
// starts its own range at its pid.
uint32_t newThreadId()
{
    static std::atomic<uint32_t> next{((static_cast<uint32_t>(::getpid()) & 0xFFFF) << 16) + 0x104};
    for (;;) {
        const uint32_t id = next.fetch_add(4);
        if (id != 0)
            return id;
    }
}

// The calling thread's object; a thread the platform did not start gets one
// on first use, marked ended when the thread goes away.
struct CurrentThread {
    Ref<Thread> thread;
    bool implicit = false;
    ~CurrentThread()
    {
        if (!thread)
            return;
        thread->bindHostThread(0);
        if (implicit)
            thread->markExited(0);
    }
};
ThreadSlot<CurrentThread> t_threadSlot;

} // namespace

Thread::Thread(uint32_t id, Ref<Process> process)
    : DispatcherObject(ObjectType::Thread), id_(id), process_(std::move(process))
{
}

Ref<Thread> Thread::create(Ref<Process> process)
{
    return std::make_shared<Thread>(newThreadId(), std::move(process));
}

Ref<Thread> Thread::current()
{
    CurrentThread& mine = t_threadSlot.get();
    if (!mine.thread) {
        mine.thread = create(Process::currentRef());
        mine.implicit = true;
        mine.thread->bindHostThread(host::currentThreadId());
    }
    return mine.thread;
}

void Thread::bindCurrent(Ref<Thread> thread)
{
    CurrentThread& mine = t_threadSlot.get();
    if (mine.thread && mine.thread != thread)
        mine.thread->bindHostThread(0);
    mine.thread = std::move(thread);
    mine.implicit = false;
    if (mine.thread)
        mine.thread->bindHostThread(host::currentThreadId());
}

int32_t Thread::priority() const
{
    return priority_.load(std::memory_order_acquire);
}

void Thread::setPriority(int32_t priority)
{
    priority_.store(priority, std::memory_order_release);
    std::lock_guard lock(hostMutex_);
    applyHostLocked();
}

pid_t Thread::hostThreadId() const
{
    std::lock_guard lock(hostMutex_);
    return hostTid_;
}

void Thread::bindHostThread(pid_t tid)
{
    std::lock_guard lock(hostMutex_);
    hostTid_ = tid;
    hostApplied_ = {}; // a new host thread starts normal; an unbound one is not ours any more
    applyHostLocked();
}

void Thread::applyHostLocked()
{
    // The id is cleared under the same lock before the host thread ends, so
    // a late boost never reaches a thread that reused the id.
    if (hostTid_ == 0 || !host::enabled())
        return;
    const host::Schedule wanted = host::scheduleForThreadPriority(priority_.load(std::memory_order_acquire));
    if (wanted == hostApplied_)
        return;
    host::apply(hostTid_, wanted);
    hostApplied_ = wanted;
}

void Thread::markExited(uint32_t exitCode)
{
    bindHostThread(0);
    DispatcherLock lock;
    if (signalledLocked())
        return;
    exitCode_ = exitCode;
    setSignalStateLocked(1);
    satisfyWaitersLocked();
}

bool Thread::exited() const
{
    return signalled();
}

uint32_t Thread::exitCode() const
{
    DispatcherLock lock;
    return exitCode_;
}

} // namespace ob
