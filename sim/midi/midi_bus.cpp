#include "sim/midi/midi_bus.h"

#include "platform/win32/clock.h"
#include "platform/win32/window.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace orvo::sim {

using Orvo::MidiPortErrorType;

namespace {

struct BusPort {
    MidiBus::PortId id = 0;
    std::string name;
    MidiBus::Receiver receive; // output ports only
};

struct Pending {
    MidiBus::PortId port = 0;
    uint32_t due = 0;
    std::vector<uint8_t> bytes;
};

// State of one host input object that the delivery thread reaches.
struct InState {
    std::mutex callbackMutex; // held while the callback runs; closePort takes it
    MidiBus::PortId bound = 0;
    bool open = false;
    Orvo::MidiInputCallback callback = nullptr;
    void* userData = nullptr;
    bool ignoreSysEx = true, ignoreTiming = true, ignoreSensing = true;
};

void report(Orvo::MidiErrorCallback cb, void* user, MidiPortErrorType type, const std::string& text)
{
    if (cb)
        cb(type, text, user);
    else
        std::fprintf(stderr, "simulated MIDI: %s\n", text.c_str());
}

} // namespace

struct MidiBus::Core {
    mutable std::mutex mutex;
    std::condition_variable moved;
    std::vector<BusPort> inputs, outputs;
    PortId nextId = 1;
    std::deque<Pending> queue;
    bool delivering = false;
    bool stopping = false;
    w32::WaitBlock* dueWait = nullptr; // the worker's wait for a message not yet due
    uint32_t delay = 0;
    size_t dropHost = 0, dropDevice = 0;
    unsigned failSend = 0, failOpen = 0, sends = 0;
    bool failObjects = false;
    std::function<void()> portsChanged = [] { w32::BroadcastDeviceChange(); };
    std::vector<std::weak_ptr<InState>> hostInputs;
    std::thread worker;

    static int indexOf(const std::vector<BusPort>& list, PortId id)
    {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].id == id)
                return static_cast<int>(i);
        return -1;
    }

    void run()
    {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (queue.empty()) {
                moved.wait(lock);
                continue;
            }
            const uint32_t waited = w32::GetTickCount() - queue.front().due;
            if (waited > 0x7FFFFFFFu) { // not due yet (difference modulo 2^32 is "negative")
                w32::WaitBlock block;
                dueWait = &block;
                lock.unlock();
                w32::clock().wait(block, 0u - waited);
                lock.lock();
                dueWait = nullptr;
                continue;
            }
            Pending item = std::move(queue.front());
            queue.pop_front();
            delivering = true;
            std::vector<std::shared_ptr<InState>> targets;
            for (auto& weak : hostInputs)
                if (auto in = weak.lock())
                    targets.push_back(std::move(in));
            lock.unlock();
            for (auto& in : targets)
                deliver(*in, item);
            lock.lock();
            delivering = false;
            moved.notify_all();
        }
    }

    static void deliver(InState& in, const Pending& item)
    {
        std::lock_guard cb(in.callbackMutex);
        if (!in.open || in.bound != item.port || !in.callback || item.bytes.empty())
            return;
        const uint8_t status = item.bytes[0];
        if ((status == 0xF0 && in.ignoreSysEx) || ((status == 0xF1 || status == 0xF8) && in.ignoreTiming) ||
            (status == 0xFE && in.ignoreSensing))
            return;
        in.callback(0.0, item.bytes.data(), item.bytes.size(), in.userData);
    }

    void changed()
    {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex);
            hook = portsChanged;
        }
        if (hook)
            hook();
    }
};

namespace {

// Common part of the two host port objects: which bus port it is bound to.
template <class Base>
class SimPort : public Base {
public:
    explicit SimPort(std::shared_ptr<MidiBus::Core> core) : core_(std::move(core)) {}

    unsigned portCount() override
    {
        std::lock_guard lock(core_->mutex);
        return static_cast<unsigned>(list().size());
    }

    std::string portName(unsigned index) override
    {
        {
            std::lock_guard lock(core_->mutex);
            if (index < list().size())
                return list()[index].name;
        }
        fail(MidiPortErrorType::Warning, "simulated MIDI: the 'portNumber' argument (" + std::to_string(index) +
                                             ") is invalid.");
        return {};
    }

    void setErrorCallback(Orvo::MidiErrorCallback callback, void* userData) override
    {
        std::lock_guard lock(errorMutex_);
        errorCallback_ = callback;
        errorUser_ = userData;
    }

protected:
    virtual const std::vector<BusPort>& list() const = 0;

    // Finds the port at `index` and counts an open; 0 on failure (reported).
    MidiBus::PortId bind(unsigned index, bool alreadyOpen)
    {
        if (alreadyOpen) {
            fail(MidiPortErrorType::Warning, "simulated MIDI: a valid connection already exists!");
            return 0;
        }
        MidiBus::PortId id = 0;
        bool failOpen = false;
        {
            std::lock_guard lock(core_->mutex);
            if (core_->failOpen > 0) {
                --core_->failOpen;
                failOpen = true;
            } else if (index < list().size()) {
                id = list()[index].id;
            }
        }
        if (failOpen)
            fail(MidiPortErrorType::DriverError, "simulated MIDI: error opening the port.");
        else if (id == 0)
            fail(MidiPortErrorType::InvalidParameter, "simulated MIDI: the 'portNumber' argument (" +
                                                          std::to_string(index) + ") is invalid.");
        return id;
    }

    void fail(MidiPortErrorType type, const std::string& text)
    {
        Orvo::MidiErrorCallback cb;
        void* user;
        {
            std::lock_guard lock(errorMutex_);
            cb = errorCallback_;
            user = errorUser_;
        }
        report(cb, user, type, text);
    }

    std::shared_ptr<MidiBus::Core> core_;

private:
    std::mutex errorMutex_;
    Orvo::MidiErrorCallback errorCallback_ = nullptr;
    void* errorUser_ = nullptr;
};

class SimIn : public SimPort<Orvo::MidiInPort> {
public:
    explicit SimIn(std::shared_ptr<MidiBus::Core> core) : SimPort(std::move(core)), state_(std::make_shared<InState>())
    {
        std::lock_guard lock(core_->mutex);
        core_->hostInputs.push_back(state_);
    }

    ~SimIn() override
    {
        closePort();
        std::lock_guard lock(core_->mutex);
        auto& list = core_->hostInputs;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const std::weak_ptr<InState>& w) { return w.expired() || w.lock() == state_; }),
                   list.end());
    }

    void openPort(unsigned index, const std::string&) override
    {
        bool open;
        {
            std::lock_guard cb(state_->callbackMutex);
            open = state_->open;
        }
        const MidiBus::PortId id = bind(index, open);
        if (id == 0)
            return;
        std::lock_guard cb(state_->callbackMutex);
        state_->bound = id;
        state_->open = true;
    }

    void closePort() override
    {
        std::lock_guard cb(state_->callbackMutex); // waits for a callback that runs
        state_->open = false;
        state_->bound = 0;
    }

    bool isPortOpen() const override
    {
        std::lock_guard cb(state_->callbackMutex);
        return state_->open;
    }

    void setInputCallback(Orvo::MidiInputCallback callback, void* userData) override
    {
        std::lock_guard cb(state_->callbackMutex);
        state_->callback = callback;
        state_->userData = userData;
    }

    void cancelInputCallback() override { setInputCallback(nullptr, nullptr); }

    void ignoreTypes(bool sysEx, bool timing, bool activeSensing) override
    {
        std::lock_guard cb(state_->callbackMutex);
        state_->ignoreSysEx = sysEx;
        state_->ignoreTiming = timing;
        state_->ignoreSensing = activeSensing;
    }

    MidiBus::PortId bound() const
    {
        std::lock_guard cb(state_->callbackMutex);
        return state_->open ? state_->bound : 0;
    }

protected:
    const std::vector<BusPort>& list() const override { return core_->inputs; }

private:
    std::shared_ptr<InState> state_;
};

class SimOut : public SimPort<Orvo::MidiOutPort> {
public:
    using SimPort::SimPort;
    ~SimOut() override { closePort(); }

    void openPort(unsigned index, const std::string&) override
    {
        const MidiBus::PortId id = bind(index, bound_.load() != 0);
        if (id != 0)
            bound_ = id;
    }

    void closePort() override { bound_ = 0; }
    bool isPortOpen() const override { return bound_.load() != 0; }

    bool sendMessage(const uint8_t* bytes, size_t length) override
    {
        MidiBus::Receiver receive;
        const char* error = nullptr;
        size_t skip = 0;
        {
            std::lock_guard lock(core_->mutex);
            ++core_->sends;
            const int at = MidiBus::Core::indexOf(core_->outputs, bound_.load());
            if (bound_.load() == 0)
                error = "simulated MIDI: no open output port.";
            else if (at < 0)
                error = "simulated MIDI: the output port has gone.";
            else if (core_->failSend > 0) {
                --core_->failSend;
                error = "simulated MIDI: error sending MIDI message to port.";
            } else {
                receive = core_->outputs[static_cast<size_t>(at)].receive;
                skip = std::min(length, core_->dropDevice);
                core_->dropDevice -= skip;
            }
        }
        if (error) {
            fail(MidiPortErrorType::DriverError, error);
            return false;
        }
        if (receive && skip < length)
            receive(bytes + skip, length - skip);
        return true;
    }

    MidiBus::PortId bound() const { return bound_.load(); }

protected:
    const std::vector<BusPort>& list() const override { return core_->outputs; }

private:
    std::atomic<MidiBus::PortId> bound_{0};
};

// Open host objects per bus port, for openCount().
std::mutex g_registryMutex;
std::vector<std::pair<MidiBus::Core*, SimIn*>> g_ins;
std::vector<std::pair<MidiBus::Core*, SimOut*>> g_outs;

template <class T>
class Tracked final : public T {
public:
    explicit Tracked(std::shared_ptr<MidiBus::Core> core, std::vector<std::pair<MidiBus::Core*, T*>>& registry)
        : T(core), registry_(registry), core_(core.get())
    {
        std::lock_guard lock(g_registryMutex);
        registry_.emplace_back(core_, this);
    }
    ~Tracked() override
    {
        std::lock_guard lock(g_registryMutex);
        registry_.erase(std::find(registry_.begin(), registry_.end(), std::pair<MidiBus::Core*, T*>(core_, this)));
    }

private:
    std::vector<std::pair<MidiBus::Core*, T*>>& registry_;
    MidiBus::Core* core_;
};

} // namespace

MidiBus::MidiBus() : core_(std::make_shared<Core>())
{
    core_->worker = std::thread([core = core_.get()] { core->run(); });
}

MidiBus::~MidiBus()
{
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
        if (core_->dueWait)
            core_->dueWait->wake();
        core_->moved.notify_all();
    }
    core_->worker.join();
}

MidiBus::PortId MidiBus::addInputPort(const std::string& name, int position)
{
    PortId id;
    {
        std::lock_guard lock(core_->mutex);
        id = core_->nextId++;
        auto& list = core_->inputs;
        const size_t at = position < 0 ? list.size() : std::min(list.size(), static_cast<size_t>(position));
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), BusPort{id, name, {}});
    }
    core_->changed();
    return id;
}

MidiBus::PortId MidiBus::addOutputPort(const std::string& name, Receiver receive, int position)
{
    PortId id;
    {
        std::lock_guard lock(core_->mutex);
        id = core_->nextId++;
        auto& list = core_->outputs;
        const size_t at = position < 0 ? list.size() : std::min(list.size(), static_cast<size_t>(position));
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), BusPort{id, name, std::move(receive)});
    }
    core_->changed();
    return id;
}

bool MidiBus::removePort(PortId id)
{
    bool removed = false;
    {
        std::lock_guard lock(core_->mutex);
        for (auto* list : {&core_->inputs, &core_->outputs}) {
            const int at = Core::indexOf(*list, id);
            if (at >= 0 && !removed) {
                list->erase(list->begin() + at);
                removed = true;
            }
        }
    }
    if (removed)
        core_->changed();
    return removed;
}

bool MidiBus::toHost(PortId inputPort, const uint8_t* bytes, size_t length)
{
    std::lock_guard lock(core_->mutex);
    if (Core::indexOf(core_->inputs, inputPort) < 0)
        return false;
    const size_t skip = std::min(length, core_->dropHost);
    core_->dropHost -= skip;
    if (skip == length)
        return true;
    core_->queue.push_back(Pending{inputPort, w32::GetTickCount() + core_->delay,
                                   std::vector<uint8_t>(bytes + skip, bytes + length)});
    core_->moved.notify_all();
    return true;
}

void MidiBus::flush()
{
    std::unique_lock lock(core_->mutex);
    core_->moved.wait(lock, [&] { return core_->queue.empty() && !core_->delivering; });
}

void MidiBus::setDelay(uint32_t ms)
{
    std::lock_guard lock(core_->mutex);
    core_->delay = ms;
}

void MidiBus::dropToHost(size_t bytes)
{
    std::lock_guard lock(core_->mutex);
    core_->dropHost = bytes;
}

void MidiBus::dropToDevice(size_t bytes)
{
    std::lock_guard lock(core_->mutex);
    core_->dropDevice = bytes;
}

void MidiBus::failSends(unsigned count)
{
    std::lock_guard lock(core_->mutex);
    core_->failSend = count;
}

void MidiBus::failOpens(unsigned count)
{
    std::lock_guard lock(core_->mutex);
    core_->failOpen = count;
}

void MidiBus::failPortObjects(bool on)
{
    std::lock_guard lock(core_->mutex);
    core_->failObjects = on;
}

void MidiBus::setPortsChangedHook(std::function<void()> hook)
{
    std::lock_guard lock(core_->mutex);
    core_->portsChanged = std::move(hook);
}

std::vector<std::string> MidiBus::inputNames() const
{
    std::lock_guard lock(core_->mutex);
    std::vector<std::string> names;
    for (const auto& p : core_->inputs)
        names.push_back(p.name);
    return names;
}

std::vector<std::string> MidiBus::outputNames() const
{
    std::lock_guard lock(core_->mutex);
    std::vector<std::string> names;
    for (const auto& p : core_->outputs)
        names.push_back(p.name);
    return names;
}

unsigned MidiBus::openCount(PortId id) const
{
    std::lock_guard lock(g_registryMutex);
    unsigned n = 0;
    for (auto& [core, in] : g_ins)
        if (core == core_.get() && in->bound() == id)
            ++n;
    for (auto& [core, out] : g_outs)
        if (core == core_.get() && out->bound() == id)
            ++n;
    return n;
}

unsigned MidiBus::sendsSeen() const
{
    std::lock_guard lock(core_->mutex);
    return core_->sends;
}

std::unique_ptr<Orvo::MidiInPort> MidiBus::makeInput(const std::string&, unsigned)
{
    {
        std::lock_guard lock(core_->mutex);
        if (core_->failObjects)
            return nullptr;
    }
    return std::make_unique<Tracked<SimIn>>(core_, g_ins);
}

std::unique_ptr<Orvo::MidiOutPort> MidiBus::makeOutput(const std::string&)
{
    {
        std::lock_guard lock(core_->mutex);
        if (core_->failObjects)
            return nullptr;
    }
    return std::make_unique<Tracked<SimOut>>(core_, g_outs);
}

} // namespace orvo::sim
