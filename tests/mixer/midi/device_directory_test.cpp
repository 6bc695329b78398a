#include "mixer/midi/device_directory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace Orvo;

MidiDeviceDescriptor descriptor(uint32_t serial, char letter = 'A', uint8_t major = 1, const char* name = "QX1600")
{
    MidiDeviceDescriptor d;
    d.setUsbId(kUsbIdFirstModel);
    d.setSerialNumber(serial);
    d.setPortLetter(letter);
    d.setFirmwareVersion(major, 0, 5, 94);
    d.setName(name);
    return d;
}

struct Event {
    MidiDevice* device;
    uint8_t state;
    bool operator==(const Event&) const = default;
};

class DeviceDirectoryTest : public ::testing::Test {
protected:
    std::vector<Event> dispatch(MidiPortPair* open = nullptr)
    {
        std::vector<Event> seen;
        dir.dispatchDeviceEvents(open, [&](MidiDevice* d) { seen.push_back({d, d->state}); });
        return seen;
    }
    // A rescan after a change of the pair list in which the given mixers answer.
    void rescan(std::initializer_list<std::pair<MidiDeviceDescriptor, MidiPortPair*>> answers)
    {
        dir.beginProbing();
        for (const auto& [d, pair] : answers)
            dir.onDescriptor(d, pair);
        dir.pruneDevices();
    }

    std::atomic<int> signals{0};
    DeviceDirectory dir{[this] { ++signals; }};
    MidiPortPair pairA{0, "QX1600", 0, "QX1600"}, pairB{1, "2- QX1600", 1, "2- QX1600"};
};

TEST_F(DeviceDirectoryTest, PlugUnplugReplug)
{
    rescan({{descriptor(7), &pairA}});
    ASSERT_EQ(dir.deviceCount(), 1u);
    MidiDevice* first = dir.deviceAt(0);
    EXPECT_EQ(first->portPair, &pairA);
    EXPECT_EQ(dispatch(), (std::vector<Event>{{first, kDeviceApplication}}));

    // Still there after another change of the pair list: same record, no event.
    rescan({{descriptor(7), &pairB}});
    EXPECT_EQ(dir.deviceAt(0), first);
    EXPECT_EQ(first->portPair, &pairB);
    EXPECT_TRUE(dispatch().empty());

    // Unplugged: delivered once as removed, then deleted (the leak checker
    // would see it otherwise).
    const int before = signals;
    rescan({});
    EXPECT_GT(signals, before);
    EXPECT_EQ(dir.deviceCount(), 0u);
    EXPECT_EQ(dispatch(), (std::vector<Event>{{first, kDeviceRemoved}}));
    EXPECT_TRUE(dispatch().empty());

    // Plugged in again: a new record.
    rescan({{descriptor(7), &pairA}});
    ASSERT_EQ(dir.deviceCount(), 1u);
    EXPECT_EQ(dispatch().at(0).state, kDeviceApplication);
}

TEST_F(DeviceDirectoryTest, UnpluggingOneOfTwoMixers)
{
    rescan({{descriptor(7), &pairA}, {descriptor(8), &pairB}});
    EXPECT_EQ(dispatch().size(), 2u);
    MidiDevice* stays = dir.findDevice(descriptor(8));
    ASSERT_NE(stays, nullptr);
    rescan({{descriptor(8), &pairB}});
    const auto events = dispatch();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].state, kDeviceRemoved);
    EXPECT_NE(events[0].device, stays);
    EXPECT_EQ(dir.deviceCount(), 1u);
    EXPECT_EQ(dir.deviceAt(0), stays);
    EXPECT_EQ(stays->state, kDeviceApplication);
}

TEST_F(DeviceDirectoryTest, BothPortsOfOneMixerAreTwoDevices)
{
    rescan({{descriptor(7, 'A'), &pairA}, {descriptor(7, 'B'), &pairB}});
    EXPECT_EQ(dir.deviceCount(), 2u);
    EXPECT_EQ(dir.deviceOnPortPair(&pairB)->descriptor.portLetter(), 'B');
}

TEST_F(DeviceDirectoryTest, ParkedDeviceComesBackUpdatingWithItsDescriptor)
{
    rescan({{descriptor(7, 'A', 1, "before"), &pairA}});
    dispatch();
    MidiDevice* d = dir.deviceAt(0);
    dir.forgetDevice(d);
    EXPECT_EQ(dir.indexOfDevice(d), -1);
    EXPECT_EQ(dir.parkedDevice(), d);
    EXPECT_TRUE(dispatch().empty()); // parking alone is no event

    // The bootloader answers: the same record, now updating.
    rescan({{descriptor(7, 'A', 0, "bootloader"), &pairB}});
    EXPECT_EQ(dir.parkedDevice(), nullptr);
    EXPECT_EQ(dir.indexOfDevice(d), 0);
    EXPECT_EQ(dispatch(), (std::vector<Event>{{d, kDeviceUpdating}}));
    EXPECT_EQ(d->descriptor.name(), "before");
    EXPECT_EQ(d->descriptor.firmwareMajor(), 1);
    EXPECT_EQ(d->portPair, &pairB);

    // Later replies change nothing while it is updating.
    dir.onDescriptor(descriptor(7, 'A', 2), &pairB);
    EXPECT_TRUE(dispatch().empty());
}

TEST_F(DeviceDirectoryTest, RestartedByOtherMeansIsInItsBootloader)
{
    rescan({{descriptor(7), &pairA}});
    dispatch();
    MidiDevice* d = dir.deviceAt(0);
    rescan({{descriptor(7, 'A', 0), &pairA}});
    EXPECT_EQ(dispatch(), (std::vector<Event>{{d, kDeviceBootloader}}));
    rescan({{descriptor(7, 'A', 1), &pairA}});
    EXPECT_EQ(dispatch(), (std::vector<Event>{{d, kDeviceApplication}}));
}

TEST_F(DeviceDirectoryTest, ParkingAnotherDeliversTheFormerAsRemoved)
{
    rescan({{descriptor(7), &pairA}, {descriptor(8), &pairB}});
    dispatch();
    MidiDevice* a = dir.findDevice(descriptor(7));
    MidiDevice* b = dir.findDevice(descriptor(8));
    dir.forgetDevice(a);
    dir.forgetDevice(a); // the same again: no event
    EXPECT_TRUE(dispatch().empty());
    dir.forgetDevice(b);
    EXPECT_EQ(dispatch(), (std::vector<Event>{{a, kDeviceRemoved}}));
    EXPECT_EQ(dir.parkedDevice(), b);
    // A parked device is not pruned.
    rescan({});
    EXPECT_TRUE(dispatch().empty());
    dir.dropParkedDevice();
    EXPECT_EQ(dispatch(), (std::vector<Event>{{b, kDeviceRemoved}}));
}

TEST_F(DeviceDirectoryTest, OtherPairsAreDeliveredBeforeTheOpenOne)
{
    dir.onDescriptor(descriptor(1), &pairA);
    dir.onDescriptor(descriptor(2), &pairB);
    dir.onDescriptor(descriptor(3), &pairA);
    const auto events = dispatch(&pairA);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].device->portPair, &pairB);
    EXPECT_EQ(events[1].device->portPair, &pairA);
    EXPECT_EQ(events[2].device->portPair, &pairA);
}

TEST_F(DeviceDirectoryTest, RecordRemovedWhileItsListenersRunIsDeletedOnce)
{
    dir.onDescriptor(descriptor(7), &pairA);
    MidiDevice* d = dir.deviceAt(0);
    std::vector<uint8_t> seen;
    dir.dispatchDeviceEvents(nullptr, [&](MidiDevice* r) {
        seen.push_back(r->state);
        if (r->state == kDeviceApplication)
            dir.removeDevice(r); // another thread's removal, meanwhile
    });
    // Delivered as it was, then as removed; deleted after the second (ASan
    // reports a use after free or double delete otherwise).
    EXPECT_EQ(seen, (std::vector<uint8_t>{kDeviceApplication, kDeviceRemoved}));
    EXPECT_EQ(dir.indexOfDevice(d), -1);
    EXPECT_EQ(dir.pendingEvents(), 0u);
}

TEST_F(DeviceDirectoryTest, AccessorsOutOfRange)
{
    EXPECT_EQ(dir.deviceAt(0), nullptr);
    EXPECT_EQ(dir.indexOfDevice(nullptr), -1);
    dir.onDescriptor(descriptor(7), &pairA);
    EXPECT_EQ(dir.deviceAt(1), nullptr);
    EXPECT_EQ(dir.findDevice(descriptor(7, 'B')), nullptr);
    EXPECT_EQ(dir.deviceOnPortPair(&pairB), nullptr);
    MidiDevice stranger;
    EXPECT_EQ(dir.indexOfDevice(&stranger), -1);
}

} // namespace

// The service thread takes replies into a record while the update changes its
// state and the device-event thread delivers it: every write of `state` and
// `portPair` is under the records' lock and every read sees a whole value
// (run under ThreadSanitizer).
TEST_F(DeviceDirectoryTest, StateAndPairChangeWhileReadElsewhere)
{
    rescan({{descriptor(7), &pairA}});
    MidiDevice* d = dir.deviceAt(0);
    ASSERT_NE(d, nullptr);
    std::atomic<bool> stop{false};
    std::thread replies([&] {
        for (int i = 0; i < 2000; ++i)
            dir.onDescriptor(descriptor(7, 'A', static_cast<uint8_t>(i % 2)), i % 3 ? &pairA : &pairB);
    });
    std::thread update([&] {
        for (int i = 0; i < 2000; ++i) {
            dir.setStateAndQueue(d, kDeviceUpdating);
            const MidiDevice* on = dir.deviceOnPortPair(&pairA); // the pair may change meanwhile
            EXPECT_TRUE(on == nullptr || on == d);
        }
    });
    std::thread reader([&] { // as the update reads the record it holds, with no lock
        while (!stop) {
            EXPECT_NE(static_cast<uint8_t>(d->state), kDeviceRemoved);
            EXPECT_NE(static_cast<MidiPortPair*>(d->portPair), nullptr);
        }
    });
    std::thread events([&] {
        while (!stop)
            dir.dispatchDeviceEvents(&pairA, [&](MidiDevice* e) {
                EXPECT_NE(static_cast<uint8_t>(e->state), kDeviceRemoved);
                EXPECT_TRUE(e->portPair == &pairA || e->portPair == &pairB);
            });
    });
    replies.join();
    update.join();
    stop = true;
    events.join();
    reader.join();
    EXPECT_EQ(dir.deviceCount(), 1u);
}
