#include "mixer/midi/midi_service.h"
#include "eventually.h"
#include "paced_clock.h"

#include "mixer/midi/midi_notifier.h"
#include "mixer/midi/mixer_protocol.h"
#include "platform/win32/window.h"
#include "sim/midi/midi_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Orvo;
using orvo::sim::MidiBus;
using Bytes = std::vector<uint8_t>;

using orvo::testing::eventually;

namespace {

// One simulated device: an input and an output port of the same name.
struct Device {
    MidiBus& bus;
    std::mutex mutex;
    std::vector<Bytes> received;
    MidiBus::PortId in = 0, out = 0;
    std::atomic<int> slowMs{0}; // the next message received takes this long
    Device(MidiBus& b, const std::string& name) : bus(b)
    {
        in = bus.addInputPort(name);
        out = bus.addOutputPort(name, [this](const uint8_t* p, size_t n) {
            if (const int ms = slowMs.exchange(0))
                w32::Sleep(static_cast<uint32_t>(ms)); // on the test's clock
            std::lock_guard lock(mutex);
            received.emplace_back(p, p + n);
        });
    }
    std::vector<Bytes> take()
    {
        std::lock_guard lock(mutex);
        return std::move(received);
    }
    size_t count()
    {
        std::lock_guard lock(mutex);
        return received.size();
    }
};

struct Heard {
    std::mutex mutex;
    std::vector<std::pair<MidiPortPair*, std::string>> messages;
    void add(MidiPortPair* p, std::string s)
    {
        std::lock_guard lock(mutex);
        messages.emplace_back(p, std::move(s));
    }
    size_t size()
    {
        std::lock_guard lock(mutex);
        return messages.size();
    }
};

void onChannel(Midi*, MidiPortPair* pair, uint8_t ch, int type, uint8_t d1, short d2, void* user)
{
    static_cast<Heard*>(user)->add(pair, "ch" + std::to_string(ch) + " t" + std::to_string(type) + " " +
                                             std::to_string(d1) + " " + std::to_string(d2));
}

void onSysEx(Midi*, MidiPortPair* pair, uint32_t id, const uint8_t* payload, int n, void* user)
{
    std::string s = "sysex " + std::to_string(id) + " n" + std::to_string(n) + " first " +
                    std::to_string(n > 0 ? payload[0] : 0);
    static_cast<Heard*>(user)->add(pair, s);
}

class Service : public ::testing::Test {
protected:
    orvo::testing::PacedClock paced; // first made, last gone
    MidiBus bus;
    Midi* midi = nullptr;

    void SetUp() override
    {
        bus.setPortsChangedHook(nullptr); // ports come without device changes, so no scan interferes
        Midi::SetPortFactory(&bus);
        midi = Midi::GetInstance();
    }
    void TearDown() override
    {
        Midi::DestroyInstance();
        Midi::SetPortFactory(nullptr);
    }
    // Puts pairs for the bus's ports (by equal names) into the service's list,
    // as a scan would, without probing.
    void listPairs()
    {
        PortPairList::Pairs pairs;
        const auto ins = bus.inputNames(), outs = bus.outputNames();
        for (uint32_t i = 0; i < ins.size(); ++i)
            for (uint32_t k = 0; k < outs.size(); ++k)
                if (ins[i] == outs[k])
                    pairs.push_back(std::make_unique<MidiPortPair>(MidiPortPair{i, ins[i], k, outs[k]}));
        midi->Pairs().replace(std::move(pairs));
    }
    void queueControl(uint8_t channel, uint8_t controller, uint8_t value)
    {
        ASSERT_EQ(midiSendMessage(midi->FramingPort(), channel, MIDI_CONTROL_CHANGE, controller, value), 1);
        midi->WakeService();
    }
};

} // namespace

TEST_F(Service, DestroysCleanlyWithItsThreadsRunning)
{
    for (int i = 0; i < 3; ++i) {
        Midi::DestroyInstance();
        midi = Midi::GetInstance();
        ASSERT_NE(midi, nullptr);
        midi->RequestRescan(false);
    }
    EXPECT_EQ(Midi::GetInstance(), midi);
}

TEST_F(Service, ListenerListsReplaceAndRemove)
{
    Heard a, b;
    midi->AddMessageListener(&onChannel, &a);
    midi->AddMessageListener(&onChannel, &b);
    EXPECT_FALSE(midi->RemoveSysExListener(&onSysEx));
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    bus.toHost(dev.in, Bytes{0xB0, 1, 2});
    ASSERT_TRUE(eventually([&] { return b.size() == 1; }));
    EXPECT_EQ(a.size(), 0u); // one entry, with the second user data
    EXPECT_TRUE(midi->RemoveMessageListener(&onChannel));
    EXPECT_FALSE(midi->RemoveMessageListener(&onChannel));
}

TEST_F(Service, OpensOnlyListedPairs)
{
    Device a(bus, "Mixer A"), b(bus, "Mixer B");
    listPairs();
    ASSERT_EQ(midi->PortPairCount(), 2u);
    EXPECT_EQ(midi->PortPairAt(2), nullptr);
    MidiPortPair stranger{0, "Mixer A", 0, "Mixer A"};
    EXPECT_FALSE(midi->OpenPortPair(&stranger));
    EXPECT_EQ(midi->OpenPair(), nullptr);
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(1)));
    EXPECT_EQ(bus.openCount(b.in), 1u);
    EXPECT_EQ(bus.openCount(b.out), 1u);
    EXPECT_FALSE(midi->OpenPortPair(&stranger));
    EXPECT_EQ(midi->OpenPair(), midi->PortPairAt(1));
    EXPECT_TRUE(midi->OpenPortPair(midi->PortPairAt(1)));
    bus.failOpens(1);
    EXPECT_FALSE(midi->OpenPortPair(midi->PortPairAt(0)));
    EXPECT_EQ(bus.openCount(a.in) + bus.openCount(b.in), 0u);
    EXPECT_TRUE(midi->CloseDevice());
}

TEST_F(Service, PumpsBothDirectionsAndDeliversToListeners)
{
    Heard heard;
    midi->AddMessageListener(&onChannel, &heard);
    midi->AddSysExListener(&onSysEx, &heard);
    Device dev(bus, "Mixer A");
    listPairs();
    MidiPortPair* pair = midi->PortPairAt(0);
    ASSERT_TRUE(midi->OpenDevice(pair));

    queueControl(3, 7, 100);
    const uint8_t payload[] = {0x07};
    ASSERT_TRUE(midi->SendSysExOnOpenPair(0x4E000003, payload, 1));
    ASSERT_TRUE(eventually([&] { return dev.count() >= 2; }));
    EXPECT_EQ(dev.take(), (std::vector<Bytes>{{0xB2, 7, 100}, {0xF0, 0, 0, 0x4E, 0x07, 0xF7}}));

    bus.toHost(dev.in, Bytes{0xBE, 0x10, 0x20});
    bus.toHost(dev.in, Bytes{0xF0, 0x00, 0x00, 0x4E, 0x08, 0x0A, 0xF7});
    ASSERT_TRUE(eventually([&] { return heard.size() == 2; }));
    EXPECT_EQ(heard.messages[0], std::make_pair(pair, std::string("ch15 t3 16 32")));
    EXPECT_EQ(heard.messages[1], std::make_pair(pair, std::string("sysex 1308622851 n2 first 8")));
}

TEST_F(Service, SwitchingPairsDrainsFirst)
{
    Heard heard;
    midi->AddMessageListener(&onChannel, &heard);
    Device a(bus, "Mixer A"), b(bus, "Mixer B");
    listPairs();
    MidiPortPair* pa = midi->PortPairAt(0);
    MidiPortPair* pb = midi->PortPairAt(1);
    ASSERT_TRUE(midi->OpenDevice(pa));
    bus.toHost(a.in, Bytes{0x90, 1, 1});
    bus.flush(); // in the receive ring, perhaps not parsed yet
    ASSERT_EQ(midiSendMessage(midi->FramingPort(), 1, MIDI_NOTE_ON, 2, 2), 1); // queued, not yet woken
    ASSERT_TRUE(midi->OpenDevice(pb));
    EXPECT_EQ(a.take(), std::vector<Bytes>{Bytes({0x90, 2, 2})});
    EXPECT_TRUE(b.take().empty());
    ASSERT_TRUE(eventually([&] { return heard.size() == 1; }));
    EXPECT_EQ(heard.messages[0].first, pa);
    bus.toHost(a.in, Bytes{0x90, 3, 3}); // from a pair no longer open: not taken
    bus.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(heard.size(), 1u);
}

TEST_F(Service, SendThatKeepsFailingIsDroppedAfterBoundedRetries)
{
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    const unsigned before = bus.sendsSeen();
    bus.failSends(1000);
    testing::internal::CaptureStdout();
    queueControl(1, 1, 1);
    ASSERT_TRUE(eventually([&] { return midiTransmitPending(midi->FramingPort()) == 0; }));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(bus.sendsSeen() - before, Midi::kSendAttempts);
    EXPECT_NE(log.find("OMIDI: failed to sendMessage(): 'simulated MIDI: error sending MIDI message to port.'\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("OMIDI: dropped a frame of 3 bytes after 3 failed sends\r\n"), std::string::npos);
    EXPECT_EQ(Midi::SendErrorFlag.load(), 1);
    bus.failSends(0);
    queueControl(1, 2, 2);
    ASSERT_TRUE(eventually([&] { return dev.count() != 0; }));
    EXPECT_EQ(dev.take(), std::vector<Bytes>{Bytes({0xB0, 2, 2})});
    EXPECT_EQ(Midi::SendErrorFlag.load(), 0);
}

TEST_F(Service, OneDeviceChangeCountsARescanPerPortObject)
{
    bus.setPortsChangedHook([] { w32::BroadcastDeviceChange(); });
    ASSERT_TRUE(eventually([] { return notifierWindow() != 0; }));
    Midi::Locks& l = Midi::locks();
    ASSERT_EQ(l.selection.Lock(), 1); // holds the rescan thread back
    bus.addInputPort("appears"); // the system's device-change notice
    EXPECT_TRUE(eventually([&] { return midi->PendingRescans() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(midi->PendingRescans(), 2u);
    l.selection.Unlock();
    EXPECT_TRUE(eventually([&] { return midi->PendingRescans() == 0; }));
}

TEST_F(Service, CountedRescansRunInOneBatch)
{
    Midi::Locks& l = Midi::locks();
    ASSERT_EQ(l.selection.Lock(), 1);
    for (int i = 0; i < 5; ++i)
        Midi::OnDeviceChange(midi);
    Midi::OnDeviceChange(nullptr); // no service: nothing
    EXPECT_TRUE(eventually([&] { return midi->PendingRescans() == 5; }));
    l.selection.Unlock();
    EXPECT_TRUE(midi->RequestRescan(true)); // returns once the batch with it is done
    EXPECT_EQ(midi->PendingRescans(), 0u);
    EXPECT_FALSE(midi->IsRescanning());
}

TEST_F(Service, RemovingAListenerDuringItsCallStopsLaterCallsWithoutWaiting)
{
    static std::atomic<bool> inside, release;
    static std::atomic<int> calls;
    inside = release = false;
    calls = 0;
    auto blocking = [](Midi*, MidiPortPair*, uint8_t, int, uint8_t, short, void*) {
        ++calls;
        inside = true;
        while (!release)
            std::this_thread::yield();
    };
    midi->AddMessageListener(blocking, nullptr);
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    bus.toHost(dev.in, Bytes{0xB0, 1, 1});
    ASSERT_TRUE(eventually([] { return inside.load(); }));
    EXPECT_TRUE(midi->RemoveMessageListener(blocking)); // returns with the call still running
    bus.toHost(dev.in, Bytes{0xB0, 1, 2});
    release = true;
    bus.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(Service, AListenerMayRemoveItself)
{
    static std::atomic<int> calls;
    calls = 0;
    static MidiChannelListener self = [](Midi* m, MidiPortPair*, uint8_t, int, uint8_t, short, void*) {
        ++calls;
        m->RemoveMessageListener(self);
    };
    midi->AddMessageListener(self, nullptr);
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    bus.toHost(dev.in, Bytes{0xB0, 1, 1});
    bus.toHost(dev.in, Bytes{0xB0, 1, 2});
    bus.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(Service, ErrorsOutsideARescanAreLoggedAndFlagged)
{
    Midi::SendErrorFlag = 0;
    testing::internal::CaptureStdout();
    Midi::OnRtMidiError(MidiPortErrorType::DriverError, "gone", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OMIDI: ERROR type 8 'gone'\r\n");
    EXPECT_EQ(Midi::SendErrorFlag.load(), 1);
}

TEST_F(Service, WithoutPortObjectsNothingOpens)
{
    Midi::DestroyInstance();
    bus.failPortObjects(true);
    testing::internal::CaptureStdout();
    midi = Midi::GetInstance();
    testing::internal::GetCapturedStdout();
    Device dev(bus, "Mixer A");
    listPairs();
    EXPECT_FALSE(midi->OpenDevice(midi->PortPairAt(0)));
    EXPECT_FALSE(midi->havePortObjects());
    EXPECT_TRUE(midi->RequestRescan(true));
}

TEST_F(Service, ErrorsDuringARescanAreDropped)
{
    Device dev(bus, "Mixer A");
    Midi::SendErrorFlag = 0;
    bus.failOpens(1000); // every open of the scan fails and reports an error
    testing::internal::CaptureStdout();
    midi->RequestRescan(true);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log.find("OMIDI: ERROR"), std::string::npos) << log;
    EXPECT_EQ(Midi::SendErrorFlag.load(), 0);
    EXPECT_EQ(midi->PortPairCount(), 1u); // the scan paired the ports
    EXPECT_EQ(midi->OpenPair(), nullptr);
}

TEST_F(Service, LongReceivedSysExArrivesWhole)
{
    Heard heard;
    midi->AddSysExListener(&onSysEx, &heard);
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    Bytes big{0xF0, 0x7D};
    big.resize(2 + 1500, 0x11);
    big.push_back(0xF7);
    bus.toHost(dev.in, big);
    ASSERT_TRUE(eventually([&] { return heard.size() >= 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Handed over in pieces, slot by slot, under one id: 1,500 payload bytes in all.
    size_t total = 0;
    std::lock_guard lock(heard.mutex);
    for (auto& [pair, text] : heard.messages) {
        const size_t n = std::stoul(text.substr(text.find(" n") + 2));
        total += n;
    }
    EXPECT_EQ(total, 1500u);
}

TEST_F(Service, DestroySendsWhatIsQueuedFirst)
{
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    ASSERT_EQ(midiSendMessage(midi->FramingPort(), 1, MIDI_NOTE_OFF, 5, 0), 1); // the service thread is not woken
    Midi::DestroyInstance();
    EXPECT_EQ(dev.take(), std::vector<Bytes>{Bytes({0x80, 5, 0})});
    midi = Midi::GetInstance();
}

// Ports that come and go reach the pair list through the system's
// device-change notice, the notifier and the rescan thread. Excluded names are
// paired but not probed, so each scan is immediate.
TEST_F(Service, DeviceChangesKeepThePairListCurrent)
{
    bus.setPortsChangedHook([] { w32::BroadcastDeviceChange(); });
    ASSERT_TRUE(eventually([] { return notifierWindow() != 0; }));
    auto pairsNow = [&] {
        std::vector<std::string> v;
        for (size_t i = 0; i < midi->PortPairCount(); ++i) {
            MidiPortPair* p = midi->PortPairAt(i);
            v.push_back(std::to_string(p->inputIndex) + ":" + p->inputName + "/" + std::to_string(p->outputIndex) +
                        ":" + p->outputName);
        }
        return v;
    };
    auto settled = [&] { return midi->PendingRescans() == 0 && !midi->IsRescanning(); };

    Device red(bus, "KORVA-RED 1");
    ASSERT_TRUE(eventually([&] { return midi->PortPairCount() == 1 && settled(); }));
    EXPECT_EQ(pairsNow(), std::vector<std::string>{"0:KORVA-RED 1/0:KORVA-RED 1"});

    const auto in0 = bus.addInputPort("ZK41 in", 0); // ahead of the others: their indexes shift
    const auto out0 = bus.addOutputPort("ZK41 in", nullptr, 0);
    ASSERT_TRUE(eventually([&] { return midi->PortPairCount() == 2 && settled(); }));
    EXPECT_EQ(pairsNow(), (std::vector<std::string>{"0:ZK41 in/0:ZK41 in", "1:KORVA-RED 1/1:KORVA-RED 1"}));

    bus.removePort(in0);
    bus.removePort(out0);
    ASSERT_TRUE(eventually([&] { return midi->PortPairCount() == 1 && settled(); }));
    EXPECT_EQ(pairsNow(), std::vector<std::string>{"0:KORVA-RED 1/0:KORVA-RED 1"});
}

// An update ends its exchange (own-protocol flag cleared, ExclusiveLock
// released) and reopens its pair holding SelectionLock only. A batch that was
// waiting for ExclusiveLock meanwhile must not run until SelectionLock is
// free: its choice to go without SelectionLock is taken with ExclusiveLock held.
TEST_F(Service, BatchWaitingThroughAnUpdateRunsOnlyUnderSelectionLock)
{
    static std::atomic<int> atLock;
    atLock = 0;
    Midi::BeforeBatchLockHook = [] { ++atLock; };
    Midi::Locks& l = Midi::locks();
    ASSERT_EQ(l.selection.Lock(), 1); // the update, waiting for the bootloader
    midi->Protocol().setActive(true);
    ASSERT_EQ(l.exclusive.Lock(), 1); // its engine runs
    midi->RequestRescan(false);
    ASSERT_TRUE(eventually([] { return atLock.load() >= 1; })); // the batch has read the flag
    midi->Protocol().setActive(false); // the exchange ends ...
    l.exclusive.Unlock();
    // ... and the update reopens its pair under SelectionLock alone.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(midi->IsRescanning());
    EXPECT_EQ(midi->PendingRescans(), 1u);
    l.selection.Unlock();
    EXPECT_TRUE(midi->RequestRescan(true));
    EXPECT_EQ(midi->PendingRescans(), 0u);
    Midi::BeforeBatchLockHook = nullptr;
}

// A listener that hands its message to the GUI thread and waits for it there
// (a blocking queued connection), while the GUI thread removes that listener:
// removal must not wait for the call that waits for the remover.
TEST_F(Service, RemovingAListenerBlockedOnTheRemoverDoesNotDeadlock)
{
    struct Gui {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<std::function<void()>> queue;
        std::atomic<int> calls{0};
        std::atomic<int> returned{0}; // the listener's last touch of this object
        // Runs `f` on the GUI thread and waits for it (bounded, so a deadlock
        // fails the test instead of hanging it).
        bool blockingCall(std::function<void()> f)
        {
            auto done = std::make_shared<std::atomic<bool>>(false);
            {
                std::lock_guard lock(mutex);
                queue.push_back([f, done] {
                    f();
                    *done = true;
                });
                cv.notify_all();
            }
            return eventually([done] { return done->load(); }, 3000);
        }
        void runOne()
        {
            std::function<void()> f;
            {
                std::unique_lock lock(mutex);
                cv.wait(lock, [&] { return !queue.empty(); });
                f = std::move(queue.front());
                queue.erase(queue.begin());
            }
            f();
        }
    } gui;
    static Gui* current;
    current = &gui;
    auto forward = [](Midi*, MidiPortPair*, uint8_t, int, uint8_t, short, void*) {
        ++current->calls;
        current->blockingCall([] {});
        ++current->returned;
    };
    midi->AddMessageListener(forward, nullptr);
    Device dev(bus, "Mixer A");
    listPairs();
    ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
    bus.toHost(dev.in, Bytes{0xB0, 1, 1});
    ASSERT_TRUE(eventually([&] { return gui.calls.load() == 1; })); // the listener now waits for the GUI thread

    std::atomic<bool> removed{false};
    std::thread guiThread([&] { // the GUI thread removes the listener, then serves its queue
        midi->RemoveMessageListener(forward);
        removed = true;
        gui.runOne();
    });
    EXPECT_TRUE(eventually([&] { return removed.load(); }, 1000));
    guiThread.join();
    ASSERT_TRUE(eventually([&] { return gui.returned.load() == 1; })); // gone before `gui` goes
    // Removed: no later call.
    bus.toHost(dev.in, Bytes{0xB0, 1, 2});
    bus.flush();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(gui.calls.load(), 1);
}

// Each failure prints its one line, exactly.
TEST_F(Service, FailuresPrintTheirLines)
{
    Device dev(bus, "Mixer A");
    listPairs();
    const uint8_t payload[] = {0x70};
    const std::string failedSend =
        "OMIDI: failed to sendMessage(): 'simulated MIDI: error sending MIDI message to port.'\r\n";
    const struct {
        const char* what;
        std::function<void()> run;
        std::string printed;
    } cases[] = {
        {"SysEx to a null port", [&] { EXPECT_EQ(midiSendSysEx(nullptr, kMixerSysExId, payload, 1), 0); },
         "MIDI: send SysEx to invalid port handle NULL\r\n"},
        {"SysEx with a bad id length",
         [&] { EXPECT_EQ(midiQueueSysEx(midi->FramingPort(), 0x4E000002, payload, 1), 0); },
         "MIDI: port 0 send SysEx with invalid id length 2\r\n"},
        {"SysEx with a null payload",
         [&] { EXPECT_EQ(midiQueueSysEx(midi->FramingPort(), kMixerSysExId, nullptr, 4), 0); },
         "MIDI: port 0 send SysEx with payload NULL\r\n"},
        {"a send that keeps failing",
         [&] {
             ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
             bus.failSends(Midi::kSendAttempts);
             queueControl(1, 1, 1);
             ASSERT_TRUE(eventually([&] { return midiTransmitPending(midi->FramingPort()) == 0; }));
             midi->CloseDevice();
         },
         failedSend + failedSend + failedSend + "OMIDI: dropped a frame of 3 bytes after 3 failed sends\r\n"},
        {"frames still unsent when the pair closes",
         [&] {
             // The service thread is gone, so the closing drains the ring
             // itself; its first send takes longer than the drain may.
             ASSERT_TRUE(midi->OpenDevice(midi->PortPairAt(0)));
             // The service thread idles with no wake-up pending, so it does not
             // take the frames queued below before it stops.
             auto idle = [] { return Midi::locks().service.IsWaiting(); };
             ASSERT_TRUE(eventually(idle));
             std::this_thread::sleep_for(std::chrono::milliseconds(20));
             ASSERT_TRUE(idle());
             dev.slowMs = Midi::kDrainMs + 100;
             ASSERT_EQ(midiSendMessage(midi->FramingPort(), 1, MIDI_NOTE_ON, 1, 1), 1);
             ASSERT_EQ(midiQueueSysEx(midi->FramingPort(), kMixerSysExId, payload, 1), 1);
             Midi::DestroyInstance();
             midi = Midi::GetInstance();
         },
         "OMIDI: dropped 1 unsent frames after 500 ms\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStdout();
        c.run();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    }
}
