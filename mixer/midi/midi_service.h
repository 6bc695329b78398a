#pragma once
// Orvo::Midi, the device service: the one object through which a program
// talks to the mixers. It owns the two MIDI port objects, the framing port,
// the port-pair list and the device records, runs the service, rescan and
// device-event threads, and hands received messages and device events to
// four listener lists.
//
// Threads entering it: the caller's (API, senders), the port objects' input
// thread (OnMidiInput), the notifier thread (OnDeviceChange), the service
// thread (framing callbacks: channel and SysEx listeners), the rescan thread
// and the device-event thread (device listeners). Channel, SysEx and device
// listeners run with none of the service's locks held, so they may call back
// into it (accessors, senders, Remove*Listener of another listener).
//
// Lock order (one for everybody): SelectionLock, ExclusiveLock, then the
// pair list's and the device records' own locks; RescanCounterLock and the
// listener lists' locks are leaves.
//
// Building on it:
//   - senders: make the target pair the open one with OpenDevice (no lock is
//     needed when it already is), queue with the framing builders on
//     FramingPort() (midiSendMessage, midiQueueSysEx), then WakeService();
//     success means queued. Closing or switching the pair sends what is
//     queued first, on the pair it was queued for.
//   - discovery and update: Pairs(), Devices() and Protocol() are the pair
//     list, the device records and the own-protocol state; the rescan thread
//     runs rescanPorts() on this object (a PortScanHost) under the locks
//     below; device events reach the device listeners through
//     DispatchDeviceEvents on the device-event thread; NotifyUpdateProgress
//     calls the update-progress listeners on the caller's thread.
//   - received channel and SysEx messages are credited to the pair open
//     when they are parsed; bytes that arrived on a pair are parsed before
//     another pair opens (up to kDrainMs), the rest is dropped.
//
// Lifetime: GetInstance builds it on first use; DestroyInstance stops and
// joins its threads and frees everything. The process calls DestroyInstance
// before exit (GetInstance registers it with atexit as a backstop).

#include "mixer/common/threads/threads.h"
#include "mixer/midi/device_directory.h"
#include "mixer/midi/midi_device.h"
#include "mixer/midi/midi_framing.h"
#include "mixer/midi/midi_port.h"
#include "mixer/midi/obin_file_buffer.h"
#include "mixer/midi/own_protocol.h"
#include "mixer/midi/port_pair_list.h"
#include "mixer/midi/port_scan.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Orvo {

class Midi;

// Listener signatures: the first argument is the service, the last the
// listener's user data.
using MidiChannelListener = void (*)(Midi* service, MidiPortPair* pair, uint8_t channel, int type, uint8_t data1,
                                     short data2, void* userData);
using MidiSysExListener = void (*)(Midi* service, MidiPortPair* pair, uint32_t idWord, const uint8_t* payload,
                                   int length, void* userData);
using MidiUpdateListener = void (*)(Midi* service, MidiDevice* device, uint8_t percent, int error, void* userData);
using MidiDeviceListener = void (*)(Midi* service, MidiDevice* device, void* userData);

struct MidiListener {
    void* function = nullptr;
    void* userData = nullptr;
};

// A listener list that a callback may change, on any thread. The list is
// copied on write and each entry is shared by the copies, so a call goes on
// with its own entry while the list changes. Add replaces the user data of
// an entry with the same function. Remove never waits: once it returns no
// new call of that entry starts; a call already running on another thread
// may still finish afterwards (waiting for it would deadlock a listener that
// waits for the removing thread, as a blocking hand-over to the GUI thread
// does), so what a listener's user data points to must outlive the service's
// threads or its own calls in flight.
class MidiListenerList {
public:
    void add(void* function, void* userData);
    bool remove(void* function);
    size_t size() const;
    void clear();
    // Calls `invoke(function, userData)` for each entry in list order, with
    // no lock held during a call; null functions are skipped.
    template <class F>
    void forEach(F&& invoke);

private:
    struct Entry {
        Entry(void* f, void* u) : function(f), userData(u) {}
        void* const function;
        std::mutex mutex; // orders a call's start against removal
        void* userData;
        bool removed = false;
    };
    using List = std::vector<std::shared_ptr<Entry>>;
    std::shared_ptr<const List> snapshot() const;

    mutable std::mutex mutex_;
    std::shared_ptr<const List> entries_ = std::make_shared<const List>();
};

class Midi final : public PortScanHost {
public:
    // The port factory the next construction uses (null: the RtMidi adapter).
    // The factory must outlive the instance.
    static void SetPortFactory(MidiPortFactory* factory);
    static Midi* GetInstance();
    static void DestroyInstance();
    static Midi* Instance(); // the current instance or null, never building one

    ~Midi() override;

    // Listeners.
    void AddMessageListener(MidiChannelListener fn, void* userData);
    bool RemoveMessageListener(MidiChannelListener fn);
    void AddSysExListener(MidiSysExListener fn, void* userData);
    bool RemoveSysExListener(MidiSysExListener fn);
    void AddUpdateListener(MidiUpdateListener fn, void* userData);
    bool RemoveUpdateListener(MidiUpdateListener fn);
    void AddDeviceListener(MidiDeviceListener fn, void* userData);
    bool RemoveDeviceListener(MidiDeviceListener fn);

    // Lists.
    size_t PortPairCount() const;
    MidiPortPair* PortPairAt(size_t index) const;
    int IndexOfPortPair(const MidiPortPair* pair) const;
    size_t DeviceCount() const;
    MidiDevice* DeviceAt(size_t index) const;
    int IndexOfDevice(const MidiDevice* device) const;
    MidiDevice* FindDevice(const MidiDeviceDescriptor& d) const;
    MidiDevice* DeviceOnPortPair(const MidiPortPair* pair) const;
    MidiDevice* TakePreviousDevice(const MidiDeviceDescriptor& d);
    bool IsRescanning() const { return rescanning_.load(); }

    // The open pair.
    bool OpenPortPair(MidiPortPair* pair);
    bool ClosePortPair();
    bool OpenDevice(MidiPortPair* pair);  // under SelectionLock
    bool CloseDevice();                   // under SelectionLock
    MidiPortPair* OpenPair() const { return openPair_.load(); }

    // Rescans.
    bool RequestRescan(bool wait);
    static int OnDeviceChange(void* userData);
    uint32_t PendingRescans() const;

    // Port and framing callbacks.
    static void OnMidiInput(double timeStamp, const uint8_t* bytes, size_t length, void* userData);
    static void OnRtMidiError(MidiPortErrorType type, const std::string& text, void* userData);
    static bool OnFrameSend(uint32_t port, uint32_t length, const uint8_t* bytes);
    static void OnChannelMessage(MidiPortHandle port, uint8_t channel, uint32_t type, uint8_t data1, int16_t data2);
    static void OnSysEx(MidiPortHandle port, uint32_t idWord, const uint8_t* payload, uint32_t length);

    // Own protocol, device records and events (discovery, update, flash write).
    OwnProtocol& Protocol() { return protocol_; }
    DeviceDirectory& Devices() { return devices_; }
    PortPairList& Pairs() { return pairs_; }
    MidiPortHandle FramingPort() const { return framingPort_; }
    // Discovery steps. The rescan thread's scan runs the same rules through
    // rescanPorts (port_scan.h); these are the service's own entry points.
    // False for a null pair or one whose input or output name holds an
    // excluded product name.
    static bool IsPortPairAllowed(const MidiPortPair* pair);
    // Probes `pair` with up to `count` queries (leaves no pair open); true when
    // the number of known devices changed meanwhile.
    bool ProbePortPair(MidiPortPair* pair, unsigned count);
    // Parks `device` across its restart into the bootloader; a device parked
    // before is delivered as removed.
    void ForgetDevice(MidiDevice* device);
    // Marks the previous records not found again removed; true when one was.
    bool PruneDevices();
    void DispatchDeviceEvents();
    void NotifyUpdateProgress(MidiDevice* device, uint8_t percent, int error);
    // Senders queue through the framing builders on FramingPort(), then wake
    // the service thread, which sends what is queued.
    void WakeService();
    // Sends the discovery query on the open pair (used by the port scan).
    bool SendSysExOnOpenPair(uint32_t idWord, const uint8_t* payload, uint32_t length);

    // Senders (midi_senders.cpp). Each makes `pair` the open pair when it is
    // not (false, nothing queued, when that fails), queues the message and
    // wakes the service thread; true means queued. Channels are 1..16.
    bool SendNoteOff(MidiPortPair* pair, uint8_t channel, uint8_t note, uint8_t velocity);
    bool SendNoteOn(MidiPortPair* pair, uint8_t channel, uint8_t note, uint8_t velocity);
    bool SendKeyPressure(MidiPortPair* pair, uint8_t channel, uint8_t note, uint8_t pressure);
    bool SendControlChange(MidiPortPair* pair, uint8_t channel, uint8_t controller, uint8_t value);
    bool SendProgramChange(MidiPortPair* pair, uint8_t channel, uint8_t program);
    bool SendChannelPressure(MidiPortPair* pair, uint8_t channel, uint8_t pressure);
    bool SendPitchBend(MidiPortPair* pair, uint8_t channel, short value); // 14-bit, 8192 = centre
    bool SendAllSoundOff(MidiPortPair* pair, uint8_t channel);
    bool SendResetAllControllers(MidiPortPair* pair, uint8_t channel);
    bool SendLocalControl(MidiPortPair* pair, uint8_t channel, uint8_t on);
    bool SendAllNotesOff(MidiPortPair* pair, uint8_t channel);
    bool SendOmniOff(MidiPortPair* pair, uint8_t channel);
    bool SendOmniOn(MidiPortPair* pair, uint8_t channel);
    bool SendMonoOn(MidiPortPair* pair, uint8_t channel, uint8_t channels);
    bool SendPolyOn(MidiPortPair* pair, uint8_t channel);
    // A zero length queues nothing and returns true.
    bool SendSysEx(MidiPortPair* pair, uint32_t idWord, const uint8_t* payload, int length);
    bool SendTimeCode(MidiPortPair* pair, uint8_t type, uint8_t value);
    bool SendSongPosition(MidiPortPair* pair, short position);
    bool SendSongSelect(MidiPortPair* pair, uint8_t song);
    bool SendTuneRequest(MidiPortPair* pair);
    bool SendClock(MidiPortPair* pair);
    bool SendStart(MidiPortPair* pair);
    bool SendContinue(MidiPortPair* pair);
    bool SendStop(MidiPortPair* pair);
    bool SendActiveSensing(MidiPortPair* pair);
    bool SendReset(MidiPortPair* pair);
    // By type code 0..24; any other type sends nothing and yields false.
    bool SendMessage(MidiPortPair* pair, uint8_t channel, int type, uint8_t data1, short data2);

    // Firmware update and flash-parameter write (midi_firmware.cpp). Both run
    // on the caller's thread and take SelectionLock, then ExclusiveLock.
    int UpdateFirmware(MidiDevice* device, const OBinFileBuffer& image, bool force);
    int UpdateFirmwareFromFile(MidiDevice* device, const char* path, bool force);
    bool WriteOFlashParam(MidiDevice* device, uint8_t command, uint32_t value);
    bool WriteOFlashParam3(MidiDevice* device, uint32_t value) { return WriteOFlashParam(device, 3, value); }
    bool WriteOFlashParam4(MidiDevice* device, uint32_t value) { return WriteOFlashParam(device, 4, value); }
    // The update engine's hooks and progress callback.
    static bool UpdateSend(int length, const uint8_t* bytes);
    static bool UpdateRecv(uint32_t* length, const uint8_t** bytes);
    static void OnUpdateProgress(uint8_t percent, int error);

    // The static locks, in the order they are made.
    struct Locks {
        common::threads::CMutex pairList; // the pair list guards itself; kept for the order of construction
        common::threads::CMutex deviceList;
        common::threads::CMutex eventMap;
        common::threads::CMutex selection;
        common::threads::CMutex exclusive;
        common::threads::CCondition service;
        common::threads::CCondition rescan;
        common::threads::CCondition deviceEvent;
        common::threads::CCondition rescanDone;
        common::threads::CMutex rescanCounter;
    };
    static Locks& locks();
    static std::atomic<uint8_t> SendErrorFlag;
    static std::atomic<uint8_t> UpdateForceFlag;
    // Called by the rescan thread each time it is about to take ExclusiveLock
    // for a batch (null: nothing), so a test can hold it at that point.
    static std::atomic<void (*)()> BeforeBatchLockHook;

    // PortScanHost (the rescan runs on the rescan thread).
    bool havePortObjects() override;
    unsigned inputCount() override;
    std::string inputName(unsigned index) override;
    unsigned outputCount() override;
    std::string outputName(unsigned index) override;
    MidiPortPair* openPair() override { return OpenPair(); }
    bool openPortPair(MidiPortPair* pair) override { return OpenPortPair(pair); }
    void closePortPair() override { ClosePortPair(); }
    void sendQuery() override;
    bool ownProtocol() override { return protocol_.active(); }
    void setOwnProtocol(bool on) override { protocol_.setActive(on); }

    // How many times a frame whose send fails is offered before it is dropped.
    static constexpr unsigned kSendAttempts = 3;
    // How long closing a pair waits for the pump to take what came in on it.
    static constexpr uint32_t kDrainMs = 500;

private:
    // The senders' common path: `pair` made the open pair, the message queued.
    bool SelectPair(MidiPortPair* pair);
    bool SendTyped(MidiPortPair* pair, uint8_t channel, MidiMessageType type, uint8_t data1, uint16_t data2);
    explicit Midi(MidiPortFactory& factory);
    bool RescanPorts();
    static void ServiceThreadProc(common::threads::CThread*, std::atomic<bool>* run, void* self);
    static void RescanThreadProc(common::threads::CThread*, std::atomic<bool>* run, void* self);
    static void DeviceEventThreadProc(common::threads::CThread*, std::atomic<bool>* run, void* self);
    void StopThread(common::threads::CThread*& thread, common::threads::CCondition& wake);
    void DrainOpenPair();

    std::atomic<MidiPortPair*> openPair_{nullptr};
    MidiPortHandle framingPort_ = nullptr;
    PortPairList pairs_;
    DeviceDirectory devices_;
    OwnProtocol protocol_;
    std::atomic<bool> rescanning_{false};
    MidiListenerList channelListeners_, sysExListeners_, updateListeners_, deviceListeners_;
    std::unique_ptr<MidiInPort> input_;
    std::unique_ptr<MidiOutPort> output_;
    std::atomic<bool> receiving_{false}; // the input port is open: bytes are taken
    std::atomic<unsigned> sendFailures_{0};
    uint32_t pendingRescans_ = 0; // under RescanCounterLock
    uint64_t rescansCounted_ = 0; // every rescan ever counted, under RescanCounterLock
    uint64_t rescansDone_ = 0;    // every rescan ever run, under RescanCounterLock
    std::atomic<bool> stopping_{false};
    common::threads::CThread* serviceThread_ = nullptr;
    common::threads::CThread* rescanThread_ = nullptr;
    common::threads::CThread* deviceEventThread_ = nullptr;
    std::atomic<std::thread::id> serviceThreadId_{};
};

template <class F>
void MidiListenerList::forEach(F&& invoke)
{
    const std::shared_ptr<const List> list = snapshot();
    for (const std::shared_ptr<Entry>& e : *list) {
        void* userData;
        {
            std::lock_guard lock(e->mutex);
            if (e->removed || e->function == nullptr)
                continue;
            userData = e->userData;
        }
        invoke(e->function, userData);
    }
}

// The RtMidi adapter (rtmidi_port.cpp): the production port factory.
MidiPortFactory& defaultMidiPortFactory();

} // namespace Orvo
