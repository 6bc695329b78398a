#pragma once
// Thread objects: what the handle of a thread refers to. Every real thread
// gets one on first use (Thread::current()); the Win32 stand-in creates them
// for the threads it starts. The object records the thread's priority as set
// through the platform, belongs to the process that was current when it was
// made, and is signalled once the thread has ended. While host scheduling is
// switched on (host_scheduling.h) the priority is also given to the host
// thread that carries the object.

#include "platform/object/dispatcher.h"
#include "platform/object/host_scheduling.h"

#include <mutex>

namespace ob {

class Process;

inline constexpr uint32_t kThreadAllAccess = 0x001FFFFF;
inline constexpr uint32_t kThreadSetInformation = 0x0020;
inline constexpr uint32_t kThreadQueryInformation = 0x0040;

class Thread final : public DispatcherObject {
public:
    // A thread object not yet bound to a running thread (the Win32 stand-in
    // binds it in the new thread with bindCurrent).
    static Ref<Thread> create(Ref<Process> process);
    // The calling thread's object, made on first use for threads the
    // platform did not start.
    static Ref<Thread> current();
    // Makes `thread` the calling thread's object; call first thing in a new thread.
    static void bindCurrent(Ref<Thread> thread);

    uint32_t id() const { return id_; }
    Ref<Process> process() const { return process_; }

    int32_t priority() const;
    void setPriority(int32_t priority);

    // The host thread carrying the object (0 when none): bound with the
    // object, cleared when the thread ends.
    pid_t hostThreadId() const;
    void bindHostThread(pid_t tid);

    // Ends the thread's life as an object: signalled, exit code kept.
    void markExited(uint32_t exitCode);
    bool exited() const;
    uint32_t exitCode() const; // 259 (still active) until exited

    Thread(uint32_t id, Ref<Process> process);

private:
    const uint32_t id_;
    const Ref<Process> process_;
    void applyHostLocked(); // under hostMutex_

    std::atomic<int32_t> priority_{0};
    mutable std::mutex hostMutex_;
    pid_t hostTid_ = 0;
    host::Schedule hostApplied_; // what this object gave its host thread
    uint32_t exitCode_ = 259;
};

} // namespace ob
