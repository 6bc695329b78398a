#include "mixer/midi/rtmidi_port.h"

#include "mixer/midi/midi_service.h"
#include "mixer/midi/rtmidi_output_keeper.h"
#include "platform/win32/window.h"

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <semaphore>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Orvo {

namespace {

std::atomic<unsigned long> g_dropped{0};

RtMidi::Api chooseApi()
{
    if (const char* name = std::getenv("ORVO_MIDI_API"); name && *name) {
        const RtMidi::Api api = RtMidi::getCompiledApiByName(name);
        if (api != RtMidi::UNSPECIFIED)
            return api;
    }
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    auto has = [&](RtMidi::Api a) { return std::find(apis.begin(), apis.end(), a) != apis.end(); };
    if (has(RtMidi::LINUX_ALSA) && access("/dev/snd/seq", F_OK) == 0)
        return RtMidi::LINUX_ALSA;
    if (has(RtMidi::UNIX_JACK))
        return RtMidi::UNIX_JACK;
    return RtMidi::RTMIDI_DUMMY;
}

// Reports RtMidi's errors to the port's error callback. Warnings do not make
// a call fail.
struct ErrorSink {
    std::mutex mutex;
    MidiErrorCallback callback = nullptr;
    void* userData = nullptr;
    std::atomic<bool> failed{false};

    static void fromRtMidi(RtMidiError::Type type, const std::string& text, void* self)
    {
        static_cast<ErrorSink*>(self)->report(static_cast<MidiPortErrorType>(type), text);
    }
    void report(MidiPortErrorType type, const std::string& text)
    {
        if (type != MidiPortErrorType::Warning && type != MidiPortErrorType::DebugWarning)
            failed = true;
        MidiErrorCallback cb;
        void* user;
        {
            std::lock_guard lock(mutex);
            cb = callback;
            user = userData;
        }
        if (cb)
            cb(type, text, user);
    }
    void set(MidiErrorCallback cb, void* user)
    {
        std::lock_guard lock(mutex);
        callback = cb;
        userData = user;
    }
};

// Runs `call`, turning an RtMidi exception into an error report; true when
// nothing failed.
template <class F>
bool guarded(ErrorSink& sink, F&& call)
{
    sink.failed = false;
    try {
        call();
    } catch (const RtMidiError& e) {
        sink.report(static_cast<MidiPortErrorType>(e.getType()), e.getMessage());
    } catch (const std::exception& e) {
        sink.report(MidiPortErrorType::Unspecified, e.what());
    }
    return !sink.failed.load();
}

// The ports a port object opens to connect are ports of the MIDI system too
// (JACK and ALSA list them to every client). They are left out of every list
// here: they are not devices, and opening the input of a pair must not shift
// the indexes of the outputs before the output is opened.
bool ownConnectionPort(const std::string& name)
{
    const size_t colon = name.find(':');
    const std::string port = colon == std::string::npos ? name : name.substr(colon + 1);
    return port.rfind(kMidiInputPortName, 0) == 0 || port.rfind(kMidiOutputPortName, 0) == 0;
}

// Indexes of the listed ports, in the back end's numbering.
std::vector<unsigned> visiblePorts(RtMidi& rt, ErrorSink& errors, std::vector<std::string>* names = nullptr)
{
    std::vector<unsigned> raw;
    guarded(errors, [&] {
        for (unsigned i = 0, n = rt.getPortCount(); i < n; ++i) {
            std::string name = rt.getPortName(i);
            if (ownConnectionPort(name))
                continue;
            raw.push_back(i);
            if (names)
                names->push_back(std::move(name));
        }
    });
    return raw;
}

unsigned visibleCount(RtMidi& rt, ErrorSink& errors) { return static_cast<unsigned>(visiblePorts(rt, errors).size()); }

std::string visibleName(RtMidi& rt, ErrorSink& errors, unsigned index)
{
    std::vector<std::string> names;
    visiblePorts(rt, errors, &names);
    if (index < names.size())
        return names[index];
    errors.report(MidiPortErrorType::Warning,
                  "RtMidi: the 'portNumber' argument (" + std::to_string(index) + ") is invalid.");
    return {};
}

constexpr int kJackConnectSettleMs = 30; // a few cycles of a usual period

// Opens the port at `index`. Some back ends (JACK) open a local port and call
// it open even when the index names nothing to connect to: that is refused here
// as the others refuse it, and an open that reported an error is undone.
bool openChecked(RtMidi& rt, ErrorSink& errors, unsigned index, const std::string& localName)
{
    const std::vector<unsigned> raw = visiblePorts(rt, errors);
    if (index >= raw.size()) {
        errors.report(MidiPortErrorType::InvalidParameter,
                      "RtMidi: the 'portNumber' argument (" + std::to_string(index) + ") is invalid.");
        return false;
    }
    if (!guarded(errors, [&] { rt.openPort(raw[index], localName); })) {
        guarded(errors, [&] { rt.closePort(); });
        return false;
    }
    // A JACK connection carries from one of the server's next cycles only:
    // a message sent at once (the update engine's first request) would be
    // lost. The wait is the server's real time, not the product's clock.
    if (chooseApi() == RtMidi::UNIX_JACK && rt.isPortOpen())
        std::this_thread::sleep_for(std::chrono::milliseconds(kJackConnectSettleMs));
    return rt.isPortOpen();
}

// One producer (the back end's input thread), one consumer (the hand-over
// thread). Each record: u32 length, u32 epoch, bytes.
class HandOver {
public:
    static constexpr size_t kSize = 1 << 16;

    bool push(const uint8_t* bytes, uint32_t length, uint32_t epoch)
    {
        const size_t need = 8 + length;
        const size_t head = head_.load(std::memory_order_relaxed);
        const size_t tail = tail_.load(std::memory_order_acquire);
        if (kSize - (head - tail) < need)
            return false;
        put(head, &length, 4);
        put(head + 4, &epoch, 4);
        put(head + 8, bytes, length);
        head_.store(head + need, std::memory_order_release);
        return true;
    }

    // Copies the next record out; false when empty.
    bool pop(std::vector<uint8_t>& out, uint32_t& epoch)
    {
        const size_t tail = tail_.load(std::memory_order_relaxed);
        if (head_.load(std::memory_order_acquire) == tail)
            return false;
        uint32_t length;
        get(tail, &length, 4);
        get(tail + 4, &epoch, 4);
        out.resize(length);
        get(tail + 8, out.data(), length);
        tail_.store(tail + 8 + length, std::memory_order_release);
        return true;
    }

private:
    void put(size_t at, const void* src, size_t n)
    {
        const auto* s = static_cast<const uint8_t*>(src);
        for (size_t i = 0; i < n; ++i)
            buffer_[(at + i) % kSize] = s[i];
    }
    void get(size_t at, void* dst, size_t n) const
    {
        auto* d = static_cast<uint8_t*>(dst);
        for (size_t i = 0; i < n; ++i)
            d[i] = buffer_[(at + i) % kSize];
    }
    uint8_t buffer_[kSize] = {};
    std::atomic<size_t> head_{0}, tail_{0};
};

// Watches the back end's port lists and raises the device-change notice.
class PortListWatcher {
public:
    // Never destroyed: the last port object stops its thread, whenever that
    // object goes (the service's go at its explicit destroy, or at exit).
    static PortListWatcher& instance()
    {
        static PortListWatcher* w = new PortListWatcher;
        return *w;
    }
    void addUser()
    {
        std::lock_guard lock(mutex_);
        if (users_++ == 0) {
            stop_ = false;
            thread_ = std::thread([this] { run(); });
        }
    }
    void removeUser()
    {
        std::thread t;
        {
            std::lock_guard lock(mutex_);
            if (--users_ != 0)
                return;
            stop_ = true;
            wake_.notify_all();
            t = std::move(thread_);
        }
        if (t.joinable())
            t.join();
    }
private:
    void run()
    {
        ErrorSink quiet;
        std::unique_ptr<RtMidiIn> in;
        KeptRtMidiOut out;
        try {
            in = std::make_unique<RtMidiIn>(chooseApi(), "Orvo Port Watcher");
            out = makeKeptRtMidiOut(chooseApi(), "Orvo Port Watcher");
            in->setErrorCallback(&ErrorSink::fromRtMidi, &quiet);
            out->setErrorCallback(&ErrorSink::fromRtMidi, &quiet);
        } catch (...) {
            return; // no back end: no device-change notices
        }
        std::vector<std::string> last = names(*in, *out);
        std::unique_lock lock(mutex_);
        while (!stop_) {
            wake_.wait_for(lock, std::chrono::milliseconds(250), [&] { return stop_; });
            if (stop_)
                break;
            lock.unlock();
            std::vector<std::string> now = names(*in, *out);
            if (now != last) {
                last = std::move(now);
                w32::BroadcastDeviceChange();
            }
            lock.lock();
        }
    }
    static std::vector<std::string> names(RtMidiIn& in, RtMidiOut& out)
    {
        std::vector<std::string> n;
        try {
            for (unsigned i = 0, c = in.getPortCount(); i < c; ++i)
                n.push_back("i:" + in.getPortName(i));
            for (unsigned i = 0, c = out.getPortCount(); i < c; ++i)
                n.push_back("o:" + out.getPortName(i));
        } catch (...) {
        }
        // Ports opened to connect (ours among them) are no device change.
        n.erase(std::remove_if(n.begin(), n.end(), [](const std::string& s) { return ownConnectionPort(s.substr(2)); }),
                n.end());
        return n;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;
    unsigned users_ = 0;
    bool stop_ = false;
};

class RtIn final : public MidiInPort {
public:
    RtIn(std::unique_ptr<RtMidiIn> rt) : rt_(std::move(rt))
    {
        rt_->setErrorCallback(&ErrorSink::fromRtMidi, &errors_);
        rt_->setCallback(&RtIn::fromBackEnd, this);
        rt_->ignoreTypes(true, true, true);
        worker_ = std::thread([this] { handOver(); });
        PortListWatcher::instance().addUser();
    }
    ~RtIn() override
    {
        PortListWatcher::instance().removeUser();
        closePort();
        guarded(errors_, [&] { rt_->cancelCallback(); });
        stop_ = true;
        ready_.release();
        worker_.join();
    }

    unsigned portCount() override { return visibleCount(*rt_, errors_); }
    std::string portName(unsigned index) override { return visibleName(*rt_, errors_, index); }
    void openPort(unsigned index, const std::string& localName) override
    {
        std::lock_guard lock(deliver_);
        if (!openChecked(*rt_, errors_, index, localName))
            return;
        open_ = rt_->isPortOpen();
    }
    void closePort() override
    {
        guarded(errors_, [&] { rt_->closePort(); });
        std::lock_guard lock(deliver_); // waits for a callback that runs
        open_ = false;
        epoch_.fetch_add(1); // messages queued before the close are never delivered
    }
    bool isPortOpen() const override { return rt_->isPortOpen(); }
    void setErrorCallback(MidiErrorCallback callback, void* userData) override { errors_.set(callback, userData); }
    void setInputCallback(MidiInputCallback callback, void* userData) override
    {
        std::lock_guard lock(deliver_);
        callback_ = callback;
        userData_ = userData;
    }
    void cancelInputCallback() override { setInputCallback(nullptr, nullptr); }
    void ignoreTypes(bool sysEx, bool timing, bool activeSensing) override
    {
        guarded(errors_, [&] { rt_->ignoreTypes(sysEx, timing, activeSensing); });
    }

private:
    // The back end's thread (JACK: the server's process thread): no locks, no waits.
    static void fromBackEnd(double, std::vector<unsigned char>* message, void* self)
    {
        auto* in = static_cast<RtIn*>(self);
        if (!message || message->empty())
            return;
        if (!in->queue_.push(message->data(), static_cast<uint32_t>(message->size()), in->epoch_.load()))
            g_dropped.fetch_add(1);
        in->ready_.release();
    }

    void handOver()
    {
        std::vector<uint8_t> bytes;
        while (!stop_.load()) {
            ready_.try_acquire_for(std::chrono::milliseconds(50));
            uint32_t epoch;
            while (queue_.pop(bytes, epoch)) {
                std::lock_guard lock(deliver_);
                if (open_ && epoch == epoch_.load() && callback_)
                    callback_(0.0, bytes.data(), bytes.size(), userData_);
            }
        }
    }

    std::unique_ptr<RtMidiIn> rt_;
    ErrorSink errors_;
    HandOver queue_;
    std::counting_semaphore<> ready_{0};
    std::atomic<uint32_t> epoch_{0};
    std::atomic<bool> stop_{false};
    std::mutex deliver_;
    bool open_ = false;
    MidiInputCallback callback_ = nullptr;
    void* userData_ = nullptr;
    std::thread worker_;
};

class RtOut final : public MidiOutPort {
public:
    RtOut(KeptRtMidiOut rt) : rt_(std::move(rt))
    {
        rt_->setErrorCallback(&ErrorSink::fromRtMidi, &errors_);
        PortListWatcher::instance().addUser();
    }
    ~RtOut() override
    {
        PortListWatcher::instance().removeUser();
        closePort();
    }
    unsigned portCount() override { return visibleCount(*rt_, errors_); }
    std::string portName(unsigned index) override { return visibleName(*rt_, errors_, index); }
    void openPort(unsigned index, const std::string& localName) override
    {
        openChecked(*rt_, errors_, index, localName);
    }
    void closePort() override
    {
        // JACK sends what was queued only in the server's next cycle: closing
        // at once would drop the last message (the update's restart request
        // is followed by a close at once).
        if (unsent_ && chooseApi() == RtMidi::UNIX_JACK && rt_->isPortOpen())
            std::this_thread::sleep_for(std::chrono::milliseconds(kJackConnectSettleMs));
        unsent_ = false;
        guarded(errors_, [&] { rt_->closePort(); });
    }
    bool isPortOpen() const override { return rt_->isPortOpen(); }
    void setErrorCallback(MidiErrorCallback callback, void* userData) override { errors_.set(callback, userData); }
    bool sendMessage(const uint8_t* bytes, size_t length) override
    {
        if (!rt_->isPortOpen()) {
            errors_.report(MidiPortErrorType::InvalidUse, "RtMidiOut: no open port to send to.");
            return false;
        }
        unsent_ = true;
        return guarded(errors_, [&] { rt_->sendMessage(bytes, length); });
    }

private:
    ErrorSink errors_;
    KeptRtMidiOut rt_; // outlives no cycle that reads it (rtmidi_output_keeper.h)
    bool unsent_ = false; // sent since the port opened: JACK may not have carried it yet
};

} // namespace

std::unique_ptr<MidiInPort> RtMidiPortFactory::makeInput(const std::string& clientName, unsigned queueLimit)
{
    try {
        return std::make_unique<RtIn>(std::make_unique<RtMidiIn>(chooseApi(), clientName, queueLimit));
    } catch (...) {
        return nullptr;
    }
}

std::unique_ptr<MidiOutPort> RtMidiPortFactory::makeOutput(const std::string& clientName)
{
    try {
        return std::make_unique<RtOut>(makeKeptRtMidiOut(chooseApi(), clientName));
    } catch (...) {
        return nullptr;
    }
}

std::string RtMidiPortFactory::apiName() { return RtMidi::getApiName(chooseApi()); }

unsigned long RtMidiPortFactory::droppedMessages() { return g_dropped.load(); }

MidiPortFactory& defaultMidiPortFactory()
{
    static RtMidiPortFactory factory;
    return factory;
}

} // namespace Orvo
