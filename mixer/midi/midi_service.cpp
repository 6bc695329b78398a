#include "mixer/midi/midi_service.h"

#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/port_pairing.h"
#include "platform/win32/clock.h"

#include <cstdio>
#include <cstdlib>

namespace Orvo {

using common::threads::CCondition;
using common::threads::CMutexGuard;
using common::threads::CThread;

// ---- listener lists ----

std::shared_ptr<const MidiListenerList::List> MidiListenerList::snapshot() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

void MidiListenerList::add(void* function, void* userData)
{
    std::lock_guard lock(mutex_);
    for (const std::shared_ptr<Entry>& e : *entries_) {
        if (e->function == function) {
            std::lock_guard entry(e->mutex);
            e->userData = userData;
            return;
        }
    }
    auto next = std::make_shared<List>(*entries_);
    next->push_back(std::make_shared<Entry>(function, userData));
    entries_ = std::move(next);
}

bool MidiListenerList::remove(void* function)
{
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(entries_->begin(), entries_->end(),
                                 [&](const std::shared_ptr<Entry>& e) { return e->function == function; });
    if (it == entries_->end())
        return false;
    {
        std::lock_guard entry((*it)->mutex);
        (*it)->removed = true; // copies still iterating skip it from now on
    }
    auto next = std::make_shared<List>(*entries_);
    next->erase(next->begin() + (it - entries_->begin()));
    entries_ = std::move(next);
    return true;
}

size_t MidiListenerList::size() const { return snapshot()->size(); }

void MidiListenerList::clear()
{
    std::lock_guard lock(mutex_);
    for (const std::shared_ptr<Entry>& e : *entries_) {
        std::lock_guard entry(e->mutex);
        e->removed = true;
    }
    entries_ = std::make_shared<const List>();
}

// ---- static state ----

std::atomic<uint8_t> Midi::SendErrorFlag{0};
std::atomic<uint8_t> Midi::UpdateForceFlag{0};
std::atomic<void (*)()> Midi::BeforeBatchLockHook{nullptr};

namespace {
std::atomic<Midi*> g_instance{nullptr};
MidiPortFactory* g_factory = nullptr;
std::once_flag g_atexit;
} // namespace

Midi::Locks& Midi::locks()
{
    // Made on first use and never destroyed: nothing can touch a destroyed
    // lock during static destruction.
    static Locks* l = new Locks;
    return *l;
}

void Midi::SetPortFactory(MidiPortFactory* factory) { g_factory = factory; }

Midi* Midi::Instance() { return g_instance.load(); }

Midi* Midi::GetInstance()
{
    if (Midi* m = g_instance.load())
        return m;
    std::call_once(g_atexit, [] { std::atexit(&Midi::DestroyInstance); });
    auto* m = new Midi(g_factory ? *g_factory : defaultMidiPortFactory());
    g_instance = m;
    return m;
}

void Midi::DestroyInstance()
{
    // The pointer stays while the destructor runs, so closing the open pair
    // still sends what is queued for it.
    delete g_instance.load();
    g_instance = nullptr;
}

Midi::Midi(MidiPortFactory& factory) : devices_([] { locks().deviceEvent.Signal(); }), protocol_(devices_)
{
    locks(); // the locks exist before any thread of ours
    midiInit();
    framingPort_ = midiOpenPort(0);
    midiSetSendCallback(framingPort_, &Midi::OnFrameSend);
    midiSetChannelCallback(framingPort_, &Midi::OnChannelMessage);
    midiSetSysExCallback(framingPort_, &Midi::OnSysEx);
    protocol_.address(OwnProtocol::kNoDevice, OwnProtocol::kNoDevice);

    input_ = factory.makeInput(kMidiInputClientName, kMidiInputQueueLimit);
    output_ = factory.makeOutput(kMidiOutputClientName);
    if (!input_ || !output_) {
        std::printf("OMIDI: no MIDI port objects, ports cannot be opened\r\n");
        input_.reset();
        output_.reset();
    }
    if (input_) {
        input_->ignoreTypes(false, true, true);
        input_->setInputCallback(&Midi::OnMidiInput, nullptr);
        input_->setErrorCallback(&Midi::OnRtMidiError, nullptr);
        output_->setErrorCallback(&Midi::OnRtMidiError, nullptr);
        input_->setDeviceChangeCallback(&Midi::OnDeviceChange, this);
        output_->setDeviceChangeCallback(&Midi::OnDeviceChange, this);
    }

    serviceThread_ = new CThread(&Midi::ServiceThreadProc, this);
    rescanThread_ = new CThread(&Midi::RescanThreadProc, this);
    deviceEventThread_ = new CThread(&Midi::DeviceEventThreadProc, this);
    serviceThread_->Start();
    rescanThread_->Start();
    deviceEventThread_->Start();
}

void Midi::StopThread(CThread*& thread, CCondition& wake)
{
    if (!thread)
        return;
    thread->RequestStop();
    wake.Signal(); // so the stop is seen now, not after the thread's wait times out
    thread->Stop();
    delete thread;
    thread = nullptr;
}

Midi::~Midi()
{
    Locks& l = locks();
    stopping_ = true;
    StopThread(rescanThread_, l.rescan);
    l.rescanDone.Signal(); // a RequestRescan(true) still waiting
    StopThread(deviceEventThread_, l.deviceEvent);
    StopThread(serviceThread_, l.service);
    if (input_)
        input_->setDeviceChangeCallback(nullptr, nullptr);
    if (output_)
        output_->setDeviceChangeCallback(nullptr, nullptr);
    ClosePortPair();
    input_.reset();
    output_.reset();
    midiClosePort(framingPort_);
    framingPort_ = nullptr;
    pairs_.replace({});
    channelListeners_.clear();
    sysExListeners_.clear();
    updateListeners_.clear();
    deviceListeners_.clear();
    // The device records go with devices_.
}

// ---- listeners ----

void Midi::AddMessageListener(MidiChannelListener fn, void* u) { channelListeners_.add(reinterpret_cast<void*>(fn), u); }
bool Midi::RemoveMessageListener(MidiChannelListener fn) { return channelListeners_.remove(reinterpret_cast<void*>(fn)); }
void Midi::AddSysExListener(MidiSysExListener fn, void* u) { sysExListeners_.add(reinterpret_cast<void*>(fn), u); }
bool Midi::RemoveSysExListener(MidiSysExListener fn) { return sysExListeners_.remove(reinterpret_cast<void*>(fn)); }
void Midi::AddUpdateListener(MidiUpdateListener fn, void* u) { updateListeners_.add(reinterpret_cast<void*>(fn), u); }
bool Midi::RemoveUpdateListener(MidiUpdateListener fn) { return updateListeners_.remove(reinterpret_cast<void*>(fn)); }
void Midi::AddDeviceListener(MidiDeviceListener fn, void* u) { deviceListeners_.add(reinterpret_cast<void*>(fn), u); }
bool Midi::RemoveDeviceListener(MidiDeviceListener fn) { return deviceListeners_.remove(reinterpret_cast<void*>(fn)); }

// ---- lists ----

size_t Midi::PortPairCount() const { return pairs_.count(); }
MidiPortPair* Midi::PortPairAt(size_t index) const { return pairs_.at(index); }
int Midi::IndexOfPortPair(const MidiPortPair* pair) const { return pairs_.indexOf(pair); }
size_t Midi::DeviceCount() const { return devices_.deviceCount(); }
MidiDevice* Midi::DeviceAt(size_t index) const { return devices_.deviceAt(index); }
int Midi::IndexOfDevice(const MidiDevice* device) const { return devices_.indexOfDevice(device); }
MidiDevice* Midi::FindDevice(const MidiDeviceDescriptor& d) const { return devices_.findDevice(d); }
MidiDevice* Midi::DeviceOnPortPair(const MidiPortPair* pair) const { return devices_.deviceOnPortPair(pair); }
MidiDevice* Midi::TakePreviousDevice(const MidiDeviceDescriptor& d) { return devices_.takePreviousDevice(d); }

// ---- the open pair ----

bool Midi::OpenPortPair(MidiPortPair* pair)
{
    if (pair && pair == openPair_.load())
        return true;
    if (IndexOfPortPair(pair) < 0 || !input_ || !output_)
        return false;
    ClosePortPair();
    receiving_ = true;
    input_->openPort(pair->inputIndex, kMidiInputPortName);
    if (!input_->isPortOpen()) {
        receiving_ = false;
        return false;
    }
    output_->openPort(pair->outputIndex, kMidiOutputPortName);
    if (output_->isPortOpen()) {
        openPair_ = pair;
        return true;
    }
    input_->closePort();
    receiving_ = false;
    midiFlushReceive(framingPort_);
    return false;
}

// What was queued for the open pair goes out on it, and what came in on it is
// delivered while it is still the open pair, so nothing crosses to the next.
void Midi::DrainOpenPair()
{
    const uint32_t start = w32::GetTickCount();
    while (midiTransmitPending(framingPort_) != 0 && w32::GetTickCount() - start < kDrainMs) {
        if (!midiServiceTransmit(framingPort_))
            w32::Sleep(1); // a sender holds the ring for a moment
    }
    if (input_)
        input_->closePort(); // no input callback runs after this
    receiving_ = false;
    const bool onServiceThread = serviceThreadId_.load() == std::this_thread::get_id();
    if (!onServiceThread && serviceThread_) { // the pump still runs: let it take what came in
        locks().service.Signal();
        while (midiReceivePending(framingPort_) != 0 && w32::GetTickCount() - start < kDrainMs)
            w32::Sleep(1);
    }
    midiFlushReceive(framingPort_); // what is left is not credited to another pair
    if (const uint32_t dropped = midiDropTransmit(framingPort_))
        std::printf("OMIDI: dropped %u unsent frames after %u ms\r\n", dropped, kDrainMs);
    midiFlushPort(framingPort_);
}

bool Midi::ClosePortPair()
{
    if (!openPair_.load())
        return true;
    DrainOpenPair();
    openPair_ = nullptr;
    if (output_)
        output_->closePort();
    return true;
}

bool Midi::OpenDevice(MidiPortPair* pair)
{
    CMutexGuard guard(locks().selection);
    return OpenPortPair(pair);
}

bool Midi::CloseDevice()
{
    CMutexGuard guard(locks().selection);
    return ClosePortPair();
}

// ---- rescans ----

bool Midi::RequestRescan(bool wait)
{
    Locks& l = locks();
    uint64_t mine;
    {
        CMutexGuard guard(l.rescanCounter);
        ++pendingRescans_;
        mine = ++rescansCounted_;
    }
    l.rescan.Signal();
    // Waits for the batch that holds this request, not for one that ended
    // before it (the condition may still hold that batch's signal).
    while (wait && !stopping_.load()) {
        {
            CMutexGuard guard(l.rescanCounter);
            if (rescansDone_ >= mine)
                break;
        }
        l.rescanDone.Wait(1000);
    }
    return true;
}

int Midi::OnDeviceChange(void* userData)
{
    auto* self = static_cast<Midi*>(userData);
    if (!self)
        return 0;
    Locks& l = locks();
    {
        CMutexGuard guard(l.rescanCounter);
        ++self->pendingRescans_;
        ++self->rescansCounted_;
    }
    l.rescan.Signal();
    return 1;
}

uint32_t Midi::PendingRescans() const
{
    CMutexGuard guard(locks().rescanCounter);
    return pendingRescans_;
}

bool Midi::RescanPorts() { return rescanPorts(*this, pairs_, devices_); }

bool Midi::IsPortPairAllowed(const MidiPortPair* pair)
{
    return pair != nullptr && isPortPairAllowed(pair->inputName, pair->outputName);
}

bool Midi::ProbePortPair(MidiPortPair* pair, unsigned count) { return probePortPair(*this, devices_, pair, count); }

void Midi::ForgetDevice(MidiDevice* device) { devices_.forgetDevice(device); }

bool Midi::PruneDevices() { return devices_.pruneDevices(); }

// ---- threads ----

void Midi::ServiceThreadProc(CThread*, std::atomic<bool>* run, void* arg)
{
    auto* self = static_cast<Midi*>(arg);
    self->serviceThreadId_ = std::this_thread::get_id();
    while (*run) {
        if (locks().service.Wait(1000) == CCondition::kTimeout)
            continue;
        while (*run && midiService()) {
        }
    }
}

void Midi::RescanThreadProc(CThread*, std::atomic<bool>* run, void* arg)
{
    auto* self = static_cast<Midi*>(arg);
    Locks& l = locks();
    while (*run) {
        l.rescan.Wait(1000);
        if (self->PendingRescans() == 0)
            continue;
        // Whether the batch needs SelectionLock is decided with ExclusiveLock
        // held, since only then can the own-protocol flag not change under
        // it: set, its owner (an update waiting for the bootloader) holds
        // SelectionLock and the batch runs without it; clear, the batch needs
        // SelectionLock. The update and the flash write take SelectionLock
        // first, so the batch never waits for it holding ExclusiveLock: it
        // lets go of both and tries again.
        bool tookSelection = false;
        bool holding = false;
        while (*run) {
            if (auto hook = BeforeBatchLockHook.load())
                hook();
            l.exclusive.Lock();
            holding = true;
            if (self->protocol_.active())
                break;
            if (l.selection.TryLock() == 1) {
                tookSelection = true;
                break;
            }
            l.exclusive.Unlock();
            holding = false;
            w32::Sleep(1);
        }
        if (!holding)
            continue;
        self->rescanning_ = true;
        while (*run && self->PendingRescans() > 0) {
            self->RescanPorts();
            CMutexGuard guard(l.rescanCounter);
            --self->pendingRescans_;
            ++self->rescansDone_;
        }
        self->rescanning_ = false;
        if (tookSelection)
            l.selection.Unlock();
        l.exclusive.Unlock();
        l.rescanDone.Signal();
        l.deviceEvent.Signal();
    }
}

void Midi::DeviceEventThreadProc(CThread*, std::atomic<bool>* run, void* arg)
{
    auto* self = static_cast<Midi*>(arg);
    while (*run) {
        if (locks().deviceEvent.Wait(1000) != CCondition::kTimeout)
            self->DispatchDeviceEvents();
    }
}

void Midi::DispatchDeviceEvents()
{
    devices_.dispatchDeviceEvents(openPair_.load(), [this](MidiDevice* d) {
        deviceListeners_.forEach(
            [&](void* fn, void* user) { reinterpret_cast<MidiDeviceListener>(fn)(this, d, user); });
    });
}

void Midi::NotifyUpdateProgress(MidiDevice* device, uint8_t percent, int error)
{
    updateListeners_.forEach(
        [&](void* fn, void* user) { reinterpret_cast<MidiUpdateListener>(fn)(this, device, percent, error, user); });
}

void Midi::WakeService() { locks().service.Signal(); }

// ---- port scan host ----

bool Midi::havePortObjects() { return input_ && output_; }
unsigned Midi::inputCount() { return input_ ? input_->portCount() : 0; }
std::string Midi::inputName(unsigned index) { return input_ ? input_->portName(index) : std::string(); }
unsigned Midi::outputCount() { return output_ ? output_->portCount() : 0; }
std::string Midi::outputName(unsigned index) { return output_ ? output_->portName(index) : std::string(); }

bool Midi::SendSysExOnOpenPair(uint32_t idWord, const uint8_t* payload, uint32_t length)
{
    const int queued = midiQueueSysEx(framingPort_, idWord, payload, length);
    WakeService();
    return queued == 1;
}

void Midi::sendQuery()
{
    const uint8_t query = static_cast<uint8_t>(ProtoCommand::Query);
    SendSysExOnOpenPair(kMixerSysExId, &query, 1);
}

// ---- port and framing callbacks ----

void Midi::OnMidiInput(double, const uint8_t* bytes, size_t length, void*)
{
    Midi* self = g_instance.load();
    if (!self || !self->receiving_.load())
        return;
    // A message longer than a ring slot goes in slot-sized pieces; the parser
    // joins the pieces of a System Exclusive message.
    for (size_t at = 0; at < length; at += MIDI_MAX_FRAME_SIZE) {
        const size_t n = length - at < MIDI_MAX_FRAME_SIZE ? length - at : MIDI_MAX_FRAME_SIZE;
        midiRecvPayload(self->framingPort_, static_cast<uint32_t>(n), bytes + at);
    }
    locks().service.Signal();
}

namespace {
// Set while the service's own send runs on this thread: an error the port
// reports then is that send's failure.
thread_local std::string* t_sendError = nullptr;
} // namespace

void Midi::OnRtMidiError(MidiPortErrorType type, const std::string& text, void*)
{
    if (t_sendError) {
        *t_sendError = text;
        return;
    }
    Midi* self = g_instance.load();
    if (self && self->rescanning_.load())
        return; // ports vanishing while they are listed
    SendErrorFlag = 1;
    std::printf("OMIDI: ERROR type %d '%s'\r\n", static_cast<int>(type), text.c_str());
}

bool Midi::OnFrameSend(uint32_t, uint32_t length, const uint8_t* bytes)
{
    Midi* self = g_instance.load();
    SendErrorFlag = 0;
    if (!self || !self->output_)
        return true;
    std::string error;
    t_sendError = &error;
    const bool ok = self->output_->sendMessage(bytes, length);
    t_sendError = nullptr;
    if (!ok || !error.empty()) {
        std::printf("OMIDI: failed to sendMessage(): '%s'\r\n", error.c_str());
        SendErrorFlag = 1;
    }
    const bool sent = SendErrorFlag.load() == 0;
    if (sent) {
        self->sendFailures_ = 0;
        return true;
    }
    // The frame is offered again at the next pump call, a bounded number of
    // times, so a port that keeps failing cannot keep the service thread busy.
    if (++self->sendFailures_ < kSendAttempts)
        return false;
    self->sendFailures_ = 0;
    std::printf("OMIDI: dropped a frame of %u bytes after %u failed sends\r\n", length, kSendAttempts);
    return true;
}

void Midi::OnChannelMessage(MidiPortHandle, uint8_t channel, uint32_t type, uint8_t data1, int16_t data2)
{
    Midi* self = g_instance.load();
    if (!self)
        return;
    MidiPortPair* pair = self->openPair_.load();
    self->channelListeners_.forEach([&](void* fn, void* user) {
        reinterpret_cast<MidiChannelListener>(fn)(self, pair, channel, static_cast<int>(type), data1, data2, user);
    });
}

void Midi::OnSysEx(MidiPortHandle, uint32_t idWord, const uint8_t* payload, uint32_t length)
{
    Midi* self = g_instance.load();
    if (!self)
        return;
    MidiPortPair* pair = self->openPair_.load();
    if (self->protocol_.receive(idWord, payload, length, pair))
        return;
    self->sysExListeners_.forEach([&](void* fn, void* user) {
        reinterpret_cast<MidiSysExListener>(fn)(self, pair, idWord, payload, static_cast<int>(length), user);
    });
}

} // namespace Orvo
