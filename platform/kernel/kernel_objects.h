#pragma once
// The object manager as the kernel sees it: referencing an object by a handle
// of the caller's process (type-checked), dropping the reference, and setting
// events with a priority increment.

#include "platform/kernel/memory.h"
#include "platform/kernel/request.h"
#include "platform/kernel/status.h"
#include "platform/object/event.h"
#include "platform/object/process.h"
#include "platform/object/thread.h"

#include <cstdint>

namespace kplat {

// A referenced event object; the reference lives until dereferenceObject.
class EventObject {
public:
    explicit EventObject(ob::Ref<ob::Event> event) : event_(std::move(event)) {}
    ob::Event& event() const { return *event_; }

private:
    ob::Ref<ob::Event> event_;
};

inline constexpr uint32_t kSynchronizeAccess = ob::kSynchronize;

// References the event behind `handle` in the caller's process. Kernel-mode
// references skip the access check; user-mode ones need `desiredAccess`.
// Passive level only.
Status referenceEventByHandle(uint32_t handle, uint32_t desiredAccess, AccessMode mode, const Caller& caller,
                              EventObject** out);
void dereferenceObject(EventObject* object);
// Sets the event (at most dispatch level); returns its previous state.
int32_t setEvent(EventObject& event, int32_t priorityIncrement);

// A referenced thread object; the reference keeps the object (not the
// thread) alive after the thread has ended, so it cannot dangle.
class ThreadObject {
public:
    explicit ThreadObject(ob::Ref<ob::Thread> thread) : thread_(std::move(thread)) {}
    ob::Thread& thread() const { return *thread_; }

private:
    ob::Ref<ob::Thread> thread_;
};

// References the calling thread. Below dispatch level; null on failure.
ThreadObject* referenceCurrentThread();
void dereferenceObject(ThreadObject* object);
// Sets the thread's priority (at most dispatch level); an ended thread is left alone.
void setThreadPriority(ThreadObject& thread, int32_t priority);
int32_t threadPriority(const ThreadObject& thread);

// A referenced process object (the caller's, for mappings made into it).
class ProcessObject {
public:
    explicit ProcessObject(ob::Ref<ob::Process> process) : process_(std::move(process)) {}
    ob::Process& process() const { return *process_; }
    const ob::Ref<ob::Process>& ref() const { return process_; }

private:
    ob::Ref<ob::Process> process_;
};

// References the calling thread's current process. Below dispatch level;
// null on failure.
ProcessObject* referenceCurrentProcess();
void dereferenceObject(ProcessObject* object);
// The calling thread's current process id.
uint32_t currentProcessId();

// Attaches the calling thread to `process` until the scope ends (user
// mappings made or undone meanwhile are that process's). Below dispatch level.
class ProcessAttach {
public:
    explicit ProcessAttach(ProcessObject& process);
    ~ProcessAttach();
    ProcessAttach(const ProcessAttach&) = delete;
    ProcessAttach& operator=(const ProcessAttach&) = delete;

private:
    ob::ProcessScope scope_;
};

Status statusFromObjectManager(ob::Status status);

} // namespace kplat
