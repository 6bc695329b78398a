#include "sim/midi/midi_bus.h"

#include "platform/win32/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using orvo::sim::MidiBus;
using Bytes = std::vector<uint8_t>;

namespace {

struct Received {
    std::mutex mutex;
    std::vector<Bytes> messages;
    static void onInput(double, const uint8_t* b, size_t n, void* self)
    {
        auto* r = static_cast<Received*>(self);
        std::lock_guard lock(r->mutex);
        r->messages.emplace_back(b, b + n);
    }
    std::vector<Bytes> take()
    {
        std::lock_guard lock(mutex);
        return std::move(messages);
    }
};

struct Errors {
    std::vector<Orvo::MidiPortErrorType> types;
    static void onError(Orvo::MidiPortErrorType t, const std::string&, void* self)
    {
        static_cast<Errors*>(self)->types.push_back(t);
    }
};

class BusTest : public ::testing::Test {
protected:
    MidiBus bus;
    Received received;
    Errors errors;
    std::vector<Bytes> atDevice;
    std::unique_ptr<Orvo::MidiInPort> in = bus.makeInput("in", 100);
    std::unique_ptr<Orvo::MidiOutPort> out = bus.makeOutput("out");

    void SetUp() override
    {
        in->setInputCallback(&Received::onInput, &received);
        in->setErrorCallback(&Errors::onError, &errors);
        out->setErrorCallback(&Errors::onError, &errors);
    }
    MidiBus::PortId addDeviceOut(const std::string& name, int position = -1)
    {
        return bus.addOutputPort(name, [this](const uint8_t* b, size_t n) { atDevice.emplace_back(b, b + n); },
                                 position);
    }
};

} // namespace

TEST_F(BusTest, PortsShiftIndexesAsTheyComeAndGo)
{
    const auto a = bus.addInputPort("A");
    bus.addInputPort("B");
    bus.addInputPort("C", 0);
    EXPECT_EQ(bus.inputNames(), (std::vector<std::string>{"C", "A", "B"}));
    ASSERT_TRUE(bus.removePort(a));
    EXPECT_EQ(in->portCount(), 2u);
    EXPECT_EQ(in->portName(1), "B");
    EXPECT_EQ(in->portName(2), "");
    EXPECT_EQ(errors.types, std::vector{Orvo::MidiPortErrorType::Warning});
    EXPECT_FALSE(bus.removePort(a));
}

TEST_F(BusTest, MessagesFlowBothWaysOnTheOpenPorts)
{
    const auto other = bus.addInputPort("other");
    const auto dev = bus.addInputPort("dev");
    addDeviceOut("dev");
    in->openPort(1, Orvo::kMidiInputPortName);
    out->openPort(0, Orvo::kMidiOutputPortName);
    ASSERT_TRUE(in->isPortOpen());
    ASSERT_TRUE(out->isPortOpen());
    EXPECT_EQ(bus.openCount(dev), 1u);

    bus.toHost(other, Bytes{0x90, 1, 2});
    bus.toHost(dev, Bytes{0xB0, 7, 100});
    bus.flush();
    EXPECT_EQ(received.take(), std::vector<Bytes>{Bytes({0xB0, 7, 100})});

    const uint8_t cc[] = {0xB1, 8, 9};
    EXPECT_TRUE(out->sendMessage(cc, sizeof cc));
    EXPECT_EQ(atDevice, std::vector<Bytes>{Bytes({0xB1, 8, 9})});
}

TEST_F(BusTest, IgnoredTypesAreDroppedWhole)
{
    const auto dev = bus.addInputPort("dev");
    in->openPort(0, "x");
    in->ignoreTypes(false, true, true);
    for (const Bytes& m : {Bytes{0xF8}, Bytes{0xFE}, Bytes{0xF0, 1, 0xF7}, Bytes{0xF1, 0x12}})
        bus.toHost(dev, m);
    bus.flush();
    EXPECT_EQ(received.take(), std::vector<Bytes>{Bytes({0xF0, 1, 0xF7})});
}

TEST_F(BusTest, FaultsOnDemand)
{
    const auto dev = bus.addInputPort("dev");
    addDeviceOut("dev");
    bus.failOpens(1);
    out->openPort(0, "x");
    EXPECT_FALSE(out->isPortOpen());
    out->openPort(0, "x");
    out->openPort(0, "x"); // already open: a warning, stays open
    EXPECT_TRUE(out->isPortOpen());
    in->openPort(5, "x"); // no such port
    EXPECT_FALSE(in->isPortOpen());
    EXPECT_EQ(errors.types, (std::vector{Orvo::MidiPortErrorType::DriverError, Orvo::MidiPortErrorType::Warning,
                                         Orvo::MidiPortErrorType::InvalidParameter}));

    bus.failSends(1);
    const uint8_t b[] = {0xC0, 1};
    EXPECT_FALSE(out->sendMessage(b, 2));
    EXPECT_TRUE(out->sendMessage(b, 2));
    bus.dropToDevice(1);
    EXPECT_TRUE(out->sendMessage(b, 2));
    EXPECT_EQ(atDevice, (std::vector<Bytes>{Bytes{0xC0, 1}, Bytes{1}}));

    in->openPort(0, "x");
    bus.dropToHost(4);
    bus.toHost(dev, Bytes{0x90, 1, 2});
    bus.toHost(dev, Bytes{0x80, 3, 4});
    bus.flush();
    EXPECT_EQ(received.take(), std::vector<Bytes>{Bytes({3, 4})});

    bus.failPortObjects(true);
    EXPECT_EQ(bus.makeInput("in", 100), nullptr);
}

TEST_F(BusTest, SendToAVanishedPortFails)
{
    const auto port = addDeviceOut("dev");
    out->openPort(0, "x");
    bus.removePort(port);
    const uint8_t b[] = {0xF8};
    EXPECT_FALSE(out->sendMessage(b, 1));
    EXPECT_EQ(errors.types, std::vector{Orvo::MidiPortErrorType::DriverError});
}

TEST_F(BusTest, DelayRunsOnTheClock)
{
    w32::VirtualClock clock(0, false);
    w32::setClock(&clock);
    const auto dev = bus.addInputPort("dev");
    in->openPort(0, "x");
    bus.setDelay(50);
    bus.toHost(dev, Bytes{0x90, 1, 1});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(received.take().empty());
    clock.advance(50);
    bus.flush();
    EXPECT_EQ(received.take().size(), 1u);
    w32::setClock(nullptr);
}

TEST_F(BusTest, ClosePortWaitsForARunningCallbackAndStopsDelivery)
{
    struct Slow {
        std::atomic<bool> inside{false}, release{false};
        std::atomic<int> calls{0};
        static void onInput(double, const uint8_t*, size_t, void* self)
        {
            auto* s = static_cast<Slow*>(self);
            s->calls++;
            s->inside = true;
            while (!s->release)
                std::this_thread::yield();
        }
    } slow;
    const auto dev = bus.addInputPort("dev");
    in->setInputCallback(&Slow::onInput, &slow);
    in->openPort(0, "x");
    bus.toHost(dev, Bytes{0x90, 1, 1});
    while (!slow.inside)
        std::this_thread::yield();
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        in->closePort();
        closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed);
    slow.release = true;
    closer.join();
    bus.toHost(dev, Bytes{0x90, 1, 1});
    bus.flush();
    EXPECT_EQ(slow.calls, 1);
}

TEST_F(BusTest, PortsChangedHookSeesEveryChange)
{
    int changes = 0;
    bus.setPortsChangedHook([&] { ++changes; });
    const auto a = bus.addInputPort("a");
    addDeviceOut("a");
    bus.removePort(a);
    EXPECT_EQ(changes, 3);
}
