#include "platform/kernel/kernel_objects.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

namespace kplat {

Status statusFromObjectManager(ob::Status s)
{
    switch (s) {
    case ob::Status::Ok: return status::kSuccess;
    case ob::Status::InvalidHandle: return status::kInvalidHandle;
    case ob::Status::TypeMismatch: return status::kObjectTypeMismatch;
    case ob::Status::AccessDenied: return status::kAccessDenied;
    case ob::Status::InsufficientResources: return status::kInsufficientResources;
    case ob::Status::NameNotFound: return status::kObjectNameNotFound;
    case ob::Status::InvalidParameter: break;
    }
    return status::kInvalidParameter;
}

Status referenceEventByHandle(uint32_t handle, uint32_t desiredAccess, AccessMode mode, const Caller& caller,
                              EventObject** out)
{
    *out = nullptr;
    requirePassive("referencing an object by handle");
    ob::Process& process = caller.process ? *caller.process : ob::Process::current();
    ob::Ref<ob::Event> event;
    Status s = statusFromObjectManager(
        process.reference(handle, ob::ObjectType::Event, mode == AccessMode::Kernel ? 0 : desiredAccess, event));
    if (failed(s))
        return s;
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    *out = new EventObject(std::move(event));
    return status::kSuccess;
}

void dereferenceObject(EventObject* object)
{
    if (!object)
        violation("dereferencing a null object");
    delete object;
}

int32_t setEvent(EventObject& event, int32_t priorityIncrement)
{
    requireAtMost(Level::Dispatch, "setting an event");
    return event.event().set(priorityIncrement);
}

ThreadObject* referenceCurrentThread()
{
    requireAtMost(Level::Apc, "referencing the current thread");
    if (consumeFault(FaultKind::Allocation))
        return nullptr;
    return new ThreadObject(ob::Thread::current());
}

ProcessObject* referenceCurrentProcess()
{
    requireAtMost(Level::Apc, "referencing the current process");
    if (consumeFault(FaultKind::Allocation))
        return nullptr;
    return new ProcessObject(ob::Process::currentRef());
}

void dereferenceObject(ProcessObject* object)
{
    if (!object)
        violation("dereferencing a null object");
    delete object;
}

uint32_t currentProcessId() { return ob::Process::current().id(); }

ProcessAttach::ProcessAttach(ProcessObject& process) : scope_(process.ref())
{
    requireAtMost(Level::Apc, "attaching to a process");
}

ProcessAttach::~ProcessAttach() = default;

void dereferenceObject(ThreadObject* object)
{
    if (!object)
        violation("dereferencing a null object");
    delete object;
}

void setThreadPriority(ThreadObject& thread, int32_t priority)
{
    requireAtMost(Level::Dispatch, "setting a thread's priority");
    if (!thread.thread().exited())
        thread.thread().setPriority(priority);
}

int32_t threadPriority(const ThreadObject& thread) { return thread.thread().priority(); }

} // namespace kplat
