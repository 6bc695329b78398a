#pragma once
// Event objects: manual-reset (notification) events stay signalled until
// reset and release every waiter; auto-reset (synchronisation) events release
// one waiter and reset themselves. Each set records the priority increment
// the setter gave, so tests can see what the kernel passed.

#include "platform/object/dispatcher.h"

#include <memory>
#include <string>

namespace ob {

class SharedSignal;

// Access rights of an event handle.
inline constexpr uint32_t kSynchronize = 0x00100000;
inline constexpr uint32_t kEventModifyState = 0x0002;
inline constexpr uint32_t kEventAllAccess = 0x001F0003;

class Event final : public DispatcherObject {
public:
    enum class Kind : uint8_t { ManualReset, AutoReset };

    static Ref<Event> create(Kind kind, bool initiallySignalled);
    // The event named `name`: NameNotFound or TypeMismatch when there is none.
    static Status openNamed(const std::string& name, Ref<Event>& out);
    // Opens the event named `name` or creates it (existed tells which). An
    // existing event keeps its kind and state, as the platform does.
    struct Named {
        Status status = Status::Ok;
        Ref<Event> event;
        bool existed = false;
    };
    static Named createNamed(const std::string& name, Kind kind, bool initiallySignalled);

    Kind kind() const { return kind_; }
    // Each returns the previous state (1 signalled, 0 not).
    int32_t set(int32_t priorityIncrement = 0);
    int32_t reset();
    // Releases the waiters that can be released now (all of them for a
    // manual-reset event, one for an auto-reset one) and leaves it reset.
    int32_t pulse(int32_t priorityIncrement = 0);

    // From now on the state also lives in `signal`, which other processes
    // wait on and reset; the shared state is the one that counts. Once only.
    void share(std::shared_ptr<SharedSignal> signal);
    std::shared_ptr<SharedSignal> shared() const;

    int32_t lastPriorityIncrement() const;
    uint64_t setCount() const; // sets and pulses so far

    explicit Event(Kind kind) : DispatcherObject(ObjectType::Event), kind_(kind) {}

private:
    void consumeLocked() override;
    int32_t signal(int32_t increment, bool thenReset);
    const Kind kind_;
    int32_t lastIncrement_ = 0;
    uint64_t setCount_ = 0;
    std::shared_ptr<SharedSignal> shared_; // under the dispatcher lock
};

} // namespace ob
