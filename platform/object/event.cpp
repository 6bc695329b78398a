#include "platform/object/event.h"

#include "platform/object/name_space.h"
#include "platform/object/shared_signal.h"

namespace ob {

Ref<Event> Event::create(Kind kind, bool initiallySignalled)
{
    auto e = std::make_shared<Event>(kind);
    e->setSignalStateLocked(initiallySignalled ? 1 : 0); // not yet shared: no lock needed
    return e;
}

Event::Named Event::createNamed(const std::string& name, Kind kind, bool initiallySignalled)
{
    Namespace::Created c = Namespace::machine().openOrCreate(
        name, ObjectType::Event, [&] { return Ref<Object>(create(kind, initiallySignalled)); });
    return {c.status, std::static_pointer_cast<Event>(c.object), c.existed};
}

Status Event::openNamed(const std::string& name, Ref<Event>& out)
{
    Ref<Object> o;
    Status s = Namespace::machine().open(name, ObjectType::Event, o);
    if (s == Status::Ok)
        out = std::static_pointer_cast<Event>(o);
    return s;
}

int32_t Event::signal(int32_t increment, bool thenReset)
{
    DispatcherLock lock;
    int32_t previous = signalStateLocked();
    if (shared_)
        previous = thenReset ? shared_->pulse() : shared_->set();
    lastIncrement_ = increment;
    ++setCount_;
    setSignalStateLocked(1);
    satisfyWaitersLocked();
    if (thenReset)
        setSignalStateLocked(0);
    return previous;
}

int32_t Event::set(int32_t priorityIncrement)
{
    return signal(priorityIncrement, false);
}

int32_t Event::pulse(int32_t priorityIncrement)
{
    return signal(priorityIncrement, true);
}

int32_t Event::reset()
{
    DispatcherLock lock;
    int32_t previous = signalStateLocked();
    if (shared_)
        previous = shared_->reset();
    setSignalStateLocked(0);
    return previous;
}

void Event::share(std::shared_ptr<SharedSignal> signal)
{
    DispatcherLock lock;
    if (!shared_) {
        if (signalStateLocked())
            signal->set();
        else
            signal->reset();
        shared_ = std::move(signal);
    }
}

std::shared_ptr<SharedSignal> Event::shared() const
{
    DispatcherLock lock;
    return shared_;
}

void Event::consumeLocked()
{
    if (kind_ == Kind::AutoReset)
        setSignalStateLocked(0);
}

int32_t Event::lastPriorityIncrement() const
{
    DispatcherLock lock;
    return lastIncrement_;
}

uint64_t Event::setCount() const
{
    DispatcherLock lock;
    return setCount_;
}

} // namespace ob
