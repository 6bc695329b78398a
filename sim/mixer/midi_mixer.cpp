#include "sim/mixer/midi_mixer.h"

#include "platform/win32/clock.h"

#include <condition_variable>
#include <deque>
#include <thread>

namespace orvo::sim {

namespace {

constexpr uint8_t kId[] = {0x00, 0x00, 0x4E};
constexpr size_t kMaxMessage = 4096; // longer System Exclusive input is dropped

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Data bytes that follow a status byte.
size_t dataBytes(uint8_t status)
{
    if (status < 0xF0) {
        const uint8_t kind = status & 0xF0;
        return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
    }
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 1;
    case 0xF2:
        return 2;
    default:
        return 0;
    }
}

} // namespace

struct MidiMixer::PortState {
    Sink sink;
    bool plugged = true;
    unsigned queries = 0;
    // input parser
    std::vector<uint8_t> message;
    bool inSysEx = false;
    bool overlong = false;
    uint8_t status = 0;
};

// Answers held back by the reply delay, sent on a thread of their own when
// their time on w32::clock() has come (virtual in tests).
struct MidiMixer::Delayed {
    struct Item {
        uint32_t due;
        unsigned port;
        std::vector<uint8_t> bytes;
    };
    explicit Delayed(MidiMixer& m) : mixer(m), worker([this] { run(); }) {}
    ~Delayed()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            if (waiting)
                waiting->wake();
        }
        cv.notify_all();
        worker.join();
    }
    void push(Item item)
    {
        {
            std::lock_guard lock(mutex);
            queue.push_back(std::move(item));
            if (waiting)
                waiting->wake();
        }
        cv.notify_all();
    }
    void run()
    {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (queue.empty()) {
                cv.wait(lock);
                continue;
            }
            const int32_t remaining = static_cast<int32_t>(queue.front().due - w32::GetTickCount());
            if (remaining > 0) {
                w32::WaitBlock block;
                waiting = &block;
                lock.unlock();
                w32::clock().wait(block, static_cast<uint32_t>(remaining));
                lock.lock();
                waiting = nullptr;
                continue;
            }
            Item item = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            mixer.deliver(item.port, item.bytes);
            lock.lock();
        }
    }

    MidiMixer& mixer;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Item> queue;
    w32::WaitBlock* waiting = nullptr;
    bool stopping = false;
    std::thread worker;
};

MidiMixer::MidiMixer(MidiMixerConfig config) : config_(std::move(config))
{
    for (unsigned i = 0; i < portCount(); ++i)
        ports_.push_back(std::make_unique<PortState>());
    parameters_ = defaultMixerParameters(config_.usbId);
    delayed_ = std::make_unique<Delayed>(*this);
}

MidiMixer::~MidiMixer()
{
    delayed_.reset();
}

std::string MidiMixer::inputName(unsigned port) const
{
    std::string base = config_.portName.empty() ? config_.name : config_.portName;
    if (config_.twoPorts)
        base += std::string(" ") + portLetter(port);
    return base;
}

std::string MidiMixer::outputName(unsigned port) const
{
    return inputName(port);
}

namespace {
// Sinks this thread is inside: a sink that swaps sinks must not wait for itself.
thread_local unsigned t_inSink = 0;
} // namespace

void MidiMixer::setSink(unsigned port, Sink sink)
{
    std::unique_lock lock(mutex_);
    ports_.at(port)->sink = std::move(sink);
    if (t_inSink == 0)
        sinkIdle_.wait(lock, [this] { return delivering_ == 0; });
}

std::vector<uint8_t> MidiMixer::pack(const uint8_t* bytes, size_t n)
{
    std::vector<uint8_t> out;
    for (size_t g = 0; g < n; g += 7) {
        const size_t header = out.size();
        out.push_back(0);
        for (size_t j = 0; j < 7 && g + j < n; ++j) {
            out[header] = static_cast<uint8_t>(out[header] | ((bytes[g + j] >> 7) << j));
            out.push_back(bytes[g + j] & 0x7F);
        }
    }
    return out;
}

std::vector<uint8_t> MidiMixer::unpack(const uint8_t* bytes, size_t m)
{
    std::vector<uint8_t> out;
    uint8_t header = 0;
    for (size_t i = 0; i < m; ++i) {
        if (i % 8 == 0)
            header = bytes[i];
        else
            out.push_back(static_cast<uint8_t>((bytes[i] & 0x7F) | (((header >> (i % 8 - 1)) & 1) << 7)));
    }
    return out;
}

std::vector<uint8_t> MidiMixer::descriptor(unsigned port) const
{
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> d(48, 0);
    put32(d, 0, config_.usbId);
    // bytes 4..11 and 20..23 are the device's own; the host ignores them
    for (size_t i = 4; i < 12; ++i)
        d[i] = static_cast<uint8_t>(0xA0 + i);
    d[12] = config_.firmwareBuild;
    d[13] = config_.firmwarePatch;
    d[14] = config_.firmwareMinor;
    d[15] = bootloaderRunning_ ? 0 : config_.firmwareMajor;
    put32(d, 16, config_.serialNumber);
    put32(d, 20, 0xFFFFFFFF);
    put32(d, 24, config_.regionNumber);
    for (size_t i = 0; i < 19 && i < config_.name.size(); ++i)
        d[28 + i] = static_cast<uint8_t>(config_.name[i]);
    d[47] = static_cast<uint8_t>(portLetter(port));
    return d;
}

uint8_t MidiMixer::channel() const
{
    std::lock_guard lock(mutex_);
    return config_.channel;
}

std::map<uint8_t, uint8_t> MidiMixer::parameters() const
{
    std::lock_guard lock(mutex_);
    return parameters_;
}

void MidiMixer::setParameter(uint8_t key, uint8_t value)
{
    std::lock_guard lock(mutex_);
    parameters_[key] = value;
}

std::vector<MidiMixer::ControlChange> MidiMixer::receivedControlChanges() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

void MidiMixer::clearReceived()
{
    std::lock_guard lock(mutex_);
    received_.clear();
}

unsigned MidiMixer::queriesSeen(unsigned port) const
{
    std::lock_guard lock(mutex_);
    return ports_.at(port)->queries;
}

void MidiMixer::setSilent(bool on)
{
    std::lock_guard lock(mutex_);
    silent_ = on;
}

void MidiMixer::setReplyDelay(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    delay_ = ms;
}

void MidiMixer::setMalformed(Malformed how)
{
    std::lock_guard lock(mutex_);
    malformed_ = how;
}

void MidiMixer::setPlugHook(std::function<void(unsigned, bool)> hook)
{
    std::lock_guard lock(mutex_);
    plugHook_ = std::move(hook);
}

void MidiMixer::setPlugged(bool plugged)
{
    for (unsigned i = 0; i < portCount(); ++i)
        setPortPlugged(i, plugged);
}

void MidiMixer::setPortPlugged(unsigned port, bool plugged)
{
    std::function<void(unsigned, bool)> hook;
    {
        std::lock_guard lock(mutex_);
        PortState& p = *ports_.at(port);
        if (p.plugged == plugged)
            return;
        p.plugged = plugged;
        p.message.clear();
        p.inSysEx = false;
        p.status = 0;
        hook = plugHook_;
    }
    if (hook)
        hook(port, plugged);
}

bool MidiMixer::portPlugged(unsigned port) const
{
    std::lock_guard lock(mutex_);
    return ports_.at(port)->plugged;
}

void MidiMixer::setBootloader(MidiMixerBootloader* bootloader)
{
    std::lock_guard lock(mutex_);
    bootloader_ = bootloader;
}

void MidiMixer::setBootloaderRunning(bool on)
{
    std::lock_guard lock(mutex_);
    bootloaderRunning_ = on;
}

bool MidiMixer::bootloaderRunning() const
{
    std::lock_guard lock(mutex_);
    return bootloaderRunning_;
}

void MidiMixer::setFirmwareVersion(uint8_t major, uint8_t minor, uint8_t patch, uint8_t build)
{
    std::lock_guard lock(mutex_);
    config_.firmwareMajor = major;
    config_.firmwareMinor = minor;
    config_.firmwarePatch = patch;
    config_.firmwareBuild = build;
}

void MidiMixer::sendData(unsigned port, const uint8_t* message, size_t length)
{
    std::vector<uint8_t> body(8 + length);
    put32(body, 0, config_.usbId);
    put32(body, 4, config_.serialNumber);
    std::copy(message, message + length, body.begin() + 8);
    std::vector<uint8_t> payload{'s'};
    const auto packed = pack(body.data(), body.size());
    payload.insert(payload.end(), packed.begin(), packed.end());
    emitSysEx(port, payload);
}

void MidiMixer::sendFlashAck(unsigned port, uint32_t value)
{
    std::vector<uint8_t> body(13);
    put32(body, 0, config_.usbId);
    put32(body, 4, config_.serialNumber);
    put32(body, 8, value);
    body[12] = 0x7F;
    std::vector<uint8_t> payload{'x'};
    const auto packed = pack(body.data(), body.size());
    payload.insert(payload.end(), packed.begin(), packed.end());
    emitSysEx(port, payload);
}

void MidiMixer::sendRaw(unsigned port, const std::vector<uint8_t>& bytes)
{
    emit(port, bytes);
}

void MidiMixer::emitSysEx(unsigned port, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> frame{0xF0, kId[0], kId[1], kId[2]};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(0xF7);
    emit(port, std::move(frame));
}

void MidiMixer::emit(unsigned port, std::vector<uint8_t> bytes)
{
    uint32_t delay;
    {
        std::lock_guard lock(mutex_);
        if (silent_)
            return;
        delay = delay_;
    }
    if (delay > 0)
        delayed_->push({w32::GetTickCount() + delay, port, std::move(bytes)});
    else
        deliver(port, bytes);
}

void MidiMixer::deliver(unsigned port, const std::vector<uint8_t>& bytes)
{
    Sink sink;
    {
        std::lock_guard lock(mutex_);
        const PortState& p = *ports_.at(port);
        if (!p.plugged)
            return;
        if (!p.sink)
            return;
        sink = p.sink;
        ++delivering_;
    }
    ++t_inSink;
    sink(bytes.data(), bytes.size());
    --t_inSink;
    std::lock_guard lock(mutex_);
    --delivering_;
    sinkIdle_.notify_all();
}

void MidiMixer::receive(unsigned port, const uint8_t* bytes, size_t length)
{
    std::vector<std::vector<uint8_t>> complete;
    {
        std::lock_guard lock(mutex_);
        PortState& p = *ports_.at(port);
        if (!p.plugged)
            return;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t b = bytes[i];
            if (b >= 0xF8)
                continue; // real-time bytes pass through anything
            if (p.inSysEx) {
                if (b == 0xF7) {
                    p.message.push_back(b);
                    if (!p.overlong)
                        complete.push_back(std::move(p.message));
                    p.message.clear();
                    p.inSysEx = false;
                    continue;
                }
                if (b < 0x80) {
                    if (p.message.size() < kMaxMessage)
                        p.message.push_back(b);
                    else
                        p.overlong = true;
                    continue;
                }
                p.inSysEx = false; // a status byte ends an unterminated frame
                p.message.clear();
            }
            if (b == 0xF0) {
                p.inSysEx = true;
                p.overlong = false;
                p.status = 0;
                p.message.assign(1, b);
                continue;
            }
            if (b & 0x80) {
                p.status = (b < 0xF0) ? b : 0; // running status only for channel messages
                p.message.assign(1, b);
                if (dataBytes(b) == 0) {
                    complete.push_back(p.message);
                    p.message.clear();
                }
                continue;
            }
            if (p.message.empty()) {
                if (p.status == 0)
                    continue; // stray data byte
                p.message.assign(1, p.status);
            }
            p.message.push_back(b);
            if (p.message.size() == 1 + dataBytes(p.message[0])) {
                complete.push_back(std::move(p.message));
                p.message.clear();
            }
        }
    }
    for (const auto& m : complete)
        handleMessage(port, m);
}

void MidiMixer::handleMessage(unsigned port, const std::vector<uint8_t>& m)
{
    if ((m[0] & 0xF0) == 0xB0 && m.size() == 3) {
        std::lock_guard lock(mutex_);
        received_.push_back({port, static_cast<uint8_t>((m[0] & 0x0F) + 1), m[1], m[2]});
        auto it = parameters_.find(m[1]);
        if (it != parameters_.end())
            it->second = m[2];
        return;
    }
    if (m[0] == 0xF0 && m.size() >= 5 && m[1] == kId[0] && m[2] == kId[1] && m[3] == kId[2])
        handleSysEx(port, m.data() + 4, m.size() - 5);
}

void MidiMixer::handleSysEx(unsigned port, const uint8_t* payload, size_t length)
{
    if (length == 0)
        return;
    MidiMixerBootloader* boot;
    bool inBootloader;
    Malformed malformed;
    {
        std::lock_guard lock(mutex_);
        boot = bootloader_;
        inBootloader = bootloaderRunning_;
        malformed = malformed_;
    }
    switch (payload[0]) {
    case 'p': {
        {
            std::lock_guard lock(mutex_);
            ++ports_.at(port)->queries;
        }
        auto d = descriptor(port);
        if (malformed == Malformed::ShortDescriptor)
            d.pop_back();
        else if (malformed == Malformed::LongDescriptor)
            d.push_back(0);
        std::vector<uint8_t> reply{'q'};
        const auto packed = pack(d.data(), d.size());
        reply.insert(reply.end(), packed.begin(), packed.end());
        if (malformed == Malformed::BrokenFrame)
            reply.insert(reply.begin() + 20, 0x90);
        emitSysEx(port, reply);
        return;
    }
    case 'r':
        if (boot)
            boot->onEnterBootloader(*this, port);
        return;
    case 's':
    case 'x': {
        const auto body = unpack(payload + 1, length - 1);
        if (body.size() < 8 || get32(body.data()) != config_.usbId || get32(body.data() + 4) != config_.serialNumber)
            return;
        if (!boot)
            return;
        if (payload[0] == 's') {
            if (body.size() > 8)
                boot->onData(*this, port, body.data() + 8, body.size() - 8);
        } else if (body.size() == 13) {
            boot->onFlashParam(*this, port, get32(body.data() + 8), body[12]);
        }
        return;
    }
    default:
        break;
    }
    if (inBootloader)
        return; // the settings dialogue is the application's
    switch (payload[0]) {
    case 0x07: {
        if (malformed == Malformed::ChannelWithoutData)
            emitSysEx(port, {0x08});
        else
            emitSysEx(port, {0x08, channel()});
        return;
    }
    case 0x05: {
        const uint8_t ch = secondModel() ? 15 : channel();
        for (const auto& [key, value] : parameters())
            emit(port, {static_cast<uint8_t>(0xB0 | (ch - 1)), key, static_cast<uint8_t>(value & 0x7F)});
        emitSysEx(port, {0x06});
        return;
    }
    case 0x0B:
        if (length >= 2 && payload[1] >= 1 && payload[1] <= 16) {
            std::lock_guard lock(mutex_);
            config_.channel = payload[1];
        }
        return;
    default:
        return;
    }
}

} // namespace orvo::sim
