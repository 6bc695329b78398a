#include "platform/object/process.h"

#include "platform/object/thread.h"
#include "platform/object/thread_slot.h"

#include <atomic>
#include <unistd.h>
#include <vector>

namespace ob {

namespace {

uint32_t newProcessId()
{
    static std::atomic<uint32_t> next{0x1000};
    const uint32_t real = static_cast<uint32_t>(::getpid());
    for (;;) {
        uint32_t id = next.fetch_add(4);
        if (id != real && id != 0)
            return id;
    }
}

ThreadSlot<Ref<Process>> t_currentSlot;

std::atomic<const ProcessLifeHooks*> g_hooks{nullptr};

const ProcessLifeHooks& hooks()
{
    static const ProcessLifeHooks none;
    const ProcessLifeHooks* installed = g_hooks.load(std::memory_order_acquire);
    return installed ? *installed : none;
}

} // namespace

void setProcessLifeHooks(const ProcessLifeHooks* installed)
{
    g_hooks.store(installed, std::memory_order_release);
}

Process::Process(uint32_t id, uint32_t parentId) : DispatcherObject(ObjectType::Process), id_(id), parentId_(parentId)
{
}

Process::~Process() = default;

Ref<Process> Process::make(uint32_t id, uint32_t parentId)
{
    // A process is not deleted before it has ended. One dropped while running
    // ends here, on a new owner, so its rundown can run in its own context
    // (and whatever it references meanwhile keeps it).
    return Ref<Process>(new Process(id, parentId), [](Process* p) {
        if (p->terminated()) {
            delete p;
            return;
        }
        Ref<Process> ending(p, [](Process* q) { delete q; });
        ending->terminate(0);
    });
}

Ref<Process> Process::create()
{
    Process& creator = current();
    Ref<Process> process = make(newProcessId(), creator.id());
    if (auto created = hooks().created)
        created(creator, *process);
    return process;
}

const Ref<Process>& Process::machineRef()
{
    // Never destroyed: threads may still act for it during static destruction.
    static Ref<Process>* p = new Ref<Process>(make(static_cast<uint32_t>(::getpid()), 0));
    return *p;
}

Ref<Process> Process::create(uint32_t id, Handle firstHandle)
{
    Process& creator = current();
    Ref<Process> process = make(id, creator.id());
    process->next_ = firstHandle;
    if (auto created = hooks().created)
        created(creator, *process);
    return process;
}

Ref<Process> Process::machineDefault()
{
    return machineRef();
}

Process& Process::current()
{
    const Ref<Process>& current = t_currentSlot.get();
    return current ? *current : *machineRef();
}

Ref<Process> Process::currentRef()
{
    const Ref<Process>& current = t_currentSlot.get();
    return current ? current : machineRef();
}

Status Process::insert(Ref<Object> object, uint32_t access, Handle& out)
{
    if (!object)
        return Status::InvalidParameter;
    std::lock_guard lock(mutex_);
    if (terminated_ || table_.size() >= limit_)
        return Status::InsufficientResources;
    // Values count upward; after a wrap skip those still in use.
    Handle h;
    do {
        h = next_;
        next_ = next_ + 4 >= kCurrentThreadHandle ? 4 : next_ + 4;
    } while (table_.count(h));
    object->handleCount_.fetch_add(1, std::memory_order_acq_rel);
    table_.emplace(h, Entry{std::move(object), access});
    out = h;
    return Status::Ok;
}

Status Process::insertAt(Handle handle, Ref<Object> object, uint32_t access)
{
    if (!object || handle == kNullHandle || handle % 4 != 0 || handle >= kCurrentThreadHandle)
        return Status::InvalidParameter;
    std::lock_guard lock(mutex_);
    if (terminated_ || table_.size() >= limit_)
        return Status::InsufficientResources;
    if (table_.count(handle))
        return Status::InvalidParameter;
    object->handleCount_.fetch_add(1, std::memory_order_acq_rel);
    table_.emplace(handle, Entry{std::move(object), access});
    return Status::Ok;
}

void Process::setAddressSpace(std::shared_ptr<AddressSpace> space)
{
    std::lock_guard lock(mutex_);
    space_ = std::move(space);
}

std::shared_ptr<AddressSpace> Process::addressSpace() const
{
    std::lock_guard lock(mutex_);
    return space_;
}

void Process::released(Ref<Object> object)
{
    if (object->handleCount_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        object->lastHandleClosed(*this);
}

Status Process::close(Handle handle)
{
    Ref<Object> object;
    {
        std::lock_guard lock(mutex_);
        auto it = table_.find(handle);
        if (it == table_.end())
            return Status::InvalidHandle;
        object = std::move(it->second.object);
        table_.erase(it);
    }
    // Outside the table lock: the last close may run a driver's cleanup.
    released(std::move(object));
    return Status::Ok;
}

Status Process::reference(Handle handle, ObjectType type, uint32_t desiredAccess, Ref<Object>& out) const
{
    Ref<Object> object;
    if (handle == kCurrentProcessHandle && &Process::current() == this) {
        object = Process::currentRef();
    } else if (handle == kCurrentThreadHandle && &Process::current() == this) {
        object = Thread::current();
    } else {
        std::lock_guard lock(mutex_);
        auto it = table_.find(handle);
        if (it == table_.end())
            return Status::InvalidHandle;
        if (it->second.object->type() == type && (it->second.access & desiredAccess) != desiredAccess)
            return Status::AccessDenied;
        object = it->second.object;
    }
    if (object->type() != type)
        return Status::TypeMismatch;
    out = std::move(object);
    return Status::Ok;
}

Status Process::grantedAccess(Handle handle, uint32_t& out) const
{
    std::lock_guard lock(mutex_);
    auto it = table_.find(handle);
    if (it == table_.end())
        return Status::InvalidHandle;
    out = it->second.access;
    return Status::Ok;
}

Status Process::duplicate(Handle source, Process& target, uint32_t access, bool sameAccess, Handle& out)
{
    Ref<Object> object;
    uint32_t granted = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = table_.find(source);
        if (it == table_.end())
            return Status::InvalidHandle;
        object = it->second.object;
        granted = it->second.access;
    }
    return target.insert(std::move(object), sameAccess ? granted : access, out);
}

size_t Process::handleCount() const
{
    std::lock_guard lock(mutex_);
    return table_.size();
}

void Process::setHandleLimit(size_t limit)
{
    std::lock_guard lock(mutex_);
    limit_ = limit;
}

void Process::terminate(uint32_t exitCode)
{
    {
        std::lock_guard lock(mutex_);
        if (terminated_)
            return;
        terminated_ = true;
        exitCode_ = exitCode;
    }
    {
        // The rundown runs in this process's context, whoever ended it.
        ProcessScope scope(std::static_pointer_cast<Process>(shared_from_this()));
        const ProcessLifeHooks& h = hooks();
        if (h.exiting)
            h.exiting(*this);
        std::map<Handle, Entry> closing;
        {
            std::lock_guard lock(mutex_);
            closing.swap(table_);
        }
        for (auto& [handle, entry] : closing)
            released(std::move(entry.object));
        if (h.addressSpaceGone)
            h.addressSpaceGone(*this);
    }
    DispatcherLock lock;
    setSignalStateLocked(1);
    satisfyWaitersLocked();
}

bool Process::terminated() const
{
    std::lock_guard lock(mutex_);
    return terminated_;
}

uint32_t Process::exitCode() const
{
    std::lock_guard lock(mutex_);
    return terminated_ ? exitCode_ : 259;
}

ProcessScope::ProcessScope(Ref<Process> process) : previous_(std::move(t_currentSlot.get()))
{
    t_currentSlot.get() = std::move(process);
}

ProcessScope::~ProcessScope()
{
    t_currentSlot.get() = std::move(previous_);
}

} // namespace ob
