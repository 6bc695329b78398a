#pragma once
// Simulated processes and their handle tables. The real process is one
// machine, and holds any number of simulated processes: each thread acts for
// one of them (its "current process"), by default the machine's own process.
// Tests switch the calling thread to another process with a ProcessScope, so
// one test can act as a host process and a second client, or the kernel can
// be handed handles from a process other than its own.
//
// Handles are 32-bit values, multiples of 4, valid only in the process that
// holds them. A closed handle value is not handed out again soon (values
// count upward), so a stale handle fails instead of reaching a newer object.

#include "platform/object/dispatcher.h"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

namespace ob {

class AddressSpace;

using Handle = uint32_t;
inline constexpr Handle kNullHandle = 0;
// Pseudo handles that name the caller's own process and thread.
inline constexpr Handle kCurrentProcessHandle = 0xFFFFFFFF;
inline constexpr Handle kCurrentThreadHandle = 0xFFFFFFFE;

class Process;

// What the kernel side hangs on a process's life (one set per machine).
// `created` runs in the creator's context; `exiting` in the ending process's
// context before its handles are closed; `addressSpaceGone` after they are,
// still in its context, where nothing may be left mapped into it.
struct ProcessLifeHooks {
    void (*created)(Process& creator, Process& process) = nullptr;
    void (*exiting)(Process& process) = nullptr;
    void (*addressSpaceGone)(Process& process) = nullptr;
};
void setProcessLifeHooks(const ProcessLifeHooks* hooks);

class Process final : public DispatcherObject {
public:
    // A new simulated process with an empty handle table, created by the
    // calling thread's current process. A process whose last reference goes
    // before it was terminated ends then (exit code 0), as terminate says.
    static Ref<Process> create();
    // A process with a given id whose handle values start at `firstHandle`
    // (the machine process's table of a real client process).
    static Ref<Process> create(uint32_t id, Handle firstHandle);
    // The process every thread acts for unless a ProcessScope says otherwise;
    // its id is the real process id.
    static Ref<Process> machineDefault();
    // The process the calling thread acts for.
    static Process& current();
    static Ref<Process> currentRef();

    uint32_t id() const { return id_; }
    uint32_t parentId() const { return parentId_; }

    // Adds a handle to `object` with the access rights `access`.
    Status insert(Ref<Object> object, uint32_t access, Handle& out);
    // Adds a handle with the value `handle` (a multiple of 4): another table
    // gave it, and both must name the object with one value. InvalidParameter
    // when the value is not free.
    Status insertAt(Handle handle, Ref<Object> object, uint32_t access);
    Status close(Handle handle);
    // The object behind `handle`, checked against `type` and, unless
    // desiredAccess is 0 (a kernel-mode reference), against the access the
    // handle was granted. Pseudo handles name the current process or thread.
    Status reference(Handle handle, ObjectType type, uint32_t desiredAccess, Ref<Object>& out) const;
    template <class T>
    Status reference(Handle handle, ObjectType type, uint32_t desiredAccess, Ref<T>& out) const
    {
        Ref<Object> o;
        Status s = reference(handle, type, desiredAccess, o);
        if (s == Status::Ok)
            out = std::static_pointer_cast<T>(o);
        return s;
    }
    // Access rights granted to `handle`.
    Status grantedAccess(Handle handle, uint32_t& out) const;
    // Duplicates `source` of this process into `target`, with `access`, or
    // with the source's access when sameAccess.
    Status duplicate(Handle source, Process& target, uint32_t access, bool sameAccess, Handle& out);

    size_t handleCount() const;
    // Fault injection: inserts fail with InsufficientResources while the
    // table holds `limit` handles or more.
    void setHandleLimit(size_t limit);

    // Ends the process, in its own context as its last thread would: the
    // exiting hook runs, every handle is closed (a file's cleanup sees this
    // process as the caller), the address-space hook runs, and the process
    // is signalled. Nothing can be inserted from the start of it.
    void terminate(uint32_t exitCode);
    bool terminated() const;
    uint32_t exitCode() const; // 259 (still active) until terminated

    // The process's own address space when it is not this real process's
    // (null: user mappings into it are mappings in this real process).
    void setAddressSpace(std::shared_ptr<AddressSpace> space);
    std::shared_ptr<AddressSpace> addressSpace() const;
    ~Process() override;

private:
    Process(uint32_t id, uint32_t parentId);
    static Ref<Process> make(uint32_t id, uint32_t parentId);
    static const Ref<Process>& machineRef();
    struct Entry {
        Ref<Object> object;
        uint32_t access;
    };
    void released(Ref<Object> object);

    const uint32_t id_;
    const uint32_t parentId_;
    mutable std::mutex mutex_;
    std::map<Handle, Entry> table_;
    Handle next_ = 4;
    size_t limit_ = SIZE_MAX;
    bool terminated_ = false;
    uint32_t exitCode_ = 0;
    std::shared_ptr<AddressSpace> space_;
};

// Makes the calling thread act for `process` until the scope ends; scopes nest.
class ProcessScope {
public:
    explicit ProcessScope(Ref<Process> process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    Ref<Process> previous_;
};

} // namespace ob
