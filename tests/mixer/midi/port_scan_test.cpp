#include "mixer/midi/port_scan.h"

#include "platform/win32/clock.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using namespace Orvo;

MidiDeviceDescriptor descriptor(uint32_t serial, char letter = 'A')
{
    MidiDeviceDescriptor d;
    d.setUsbId(kUsbIdFirstModel);
    d.setSerialNumber(serial);
    d.setPortLetter(letter);
    d.setFirmwareVersion(1, 0, 5, 94);
    return d;
}

// Ports by name; a mixer answers a query at once on the pair whose input is its port.
class FakeHost : public PortScanHost {
public:
    FakeHost(PortPairList& pairs, DeviceDirectory& devices) : pairs_(pairs), devices_(devices) {}

    bool havePortObjects() override { return true; }
    unsigned inputCount() override { return static_cast<unsigned>(inputs.size()); }
    std::string inputName(unsigned i) override { return inputs.at(i); }
    unsigned outputCount() override { return static_cast<unsigned>(outputs.size()); }
    std::string outputName(unsigned k) override { return outputs.at(k); }
    MidiPortPair* openPair() override { return open_; }
    bool openPortPair(MidiPortPair* pair) override
    {
        if (pair == open_)
            return true;
        if (pairs_.indexOf(pair) < 0)
            return false;
        open_ = pair;
        return true;
    }
    void closePortPair() override { open_ = nullptr; }
    void sendQuery() override
    {
        ASSERT_NE(open_, nullptr);
        EXPECT_TRUE(own);
        ++queries[open_->inputName];
        auto it = mixers.find(open_->inputName);
        if (it != mixers.end() && open_->outputName == it->first)
            answers_.emplace_back(it->second, open_);
    }
    // Replies arrive on another thread while the probe sleeps.
    void deliverAnswers()
    {
        for (const auto& [d, pair] : answers_)
            devices_.onDescriptor(d, pair);
        answers_.clear();
    }
    bool ownProtocol() override { return own; }
    void setOwnProtocol(bool on) override { own = on; }

    std::vector<std::string> inputs, outputs;
    std::map<std::string, MidiDeviceDescriptor> mixers; // port name -> what answers there
    std::map<std::string, unsigned> queries;
    bool own = false;

private:
    PortPairList& pairs_;
    DeviceDirectory& devices_;
    MidiPortPair* open_ = nullptr;
    std::vector<std::pair<MidiDeviceDescriptor, MidiPortPair*>> answers_;
};

// Virtual time whose sleeps let the fake mixers' replies in.
class ReplyClock : public w32::Clock {
public:
    uint32_t tickCount() override { return time.tickCount(); }
    void sleep(uint32_t ms) override
    {
        time.sleep(ms);
        if (host)
            host->deliverAnswers();
    }
    w32::VirtualClock time{0};
    FakeHost* host = nullptr;
};

class PortScanTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clock_.host = &host;
        previous_ = w32::setClock(&clock_);
    }
    void TearDown() override { w32::setClock(previous_); }
    void ports(std::vector<std::string> names)
    {
        host.inputs = names;
        host.outputs = names;
    }
    std::vector<MidiDevice*> events()
    {
        std::vector<MidiDevice*> seen;
        devices.dispatchDeviceEvents(host.openPair(), [&](MidiDevice* d) { seen.push_back(d); });
        return seen;
    }

    ReplyClock clock_;
    w32::Clock* previous_ = nullptr;
    PortPairList pairs;
    DeviceDirectory devices{nullptr};
    FakeHost host{pairs, devices};
};

TEST_F(PortScanTest, ProbesAllowedPairsAndFindsTheMixers)
{
    ports({"QX1600", "my korva-tan", "Synth", "2- QX1600"});
    host.mixers["QX1600"] = descriptor(1);
    host.mixers["2- QX1600"] = descriptor(2);
    host.mixers["my korva-tan"] = descriptor(3);
    EXPECT_TRUE(rescanPorts(host, pairs, devices));
    EXPECT_EQ(pairs.count(), 4u);
    EXPECT_EQ(devices.deviceCount(), 2u);
    EXPECT_EQ(host.queries["my korva-tan"], 0u);
    EXPECT_EQ(host.queries["Synth"], 10u);
    EXPECT_EQ(host.queries["QX1600"], 4u); // found at the first query: three more
    EXPECT_FALSE(host.own);
    EXPECT_EQ(events().size(), 2u);
}

TEST_F(PortScanTest, UnchangedListProbesOnlyPairsWithoutADevice)
{
    ports({"QX1600", "Synth"});
    host.mixers["QX1600"] = descriptor(1);
    rescanPorts(host, pairs, devices);
    events();
    host.queries.clear();
    host.mixers["Synth"] = descriptor(9); // a mixer that starts answering late
    rescanPorts(host, pairs, devices);
    EXPECT_EQ(host.queries.count("QX1600"), 0u);
    EXPECT_EQ(host.queries["Synth"], 4u);
    EXPECT_EQ(devices.deviceCount(), 2u);
}

TEST_F(PortScanTest, UnplugAndReplugWithShiftingIndexes)
{
    ports({"QX1600", "2- QX1600"});
    host.mixers["QX1600"] = descriptor(1);
    host.mixers["2- QX1600"] = descriptor(2);
    rescanPorts(host, pairs, devices);
    events();
    MidiDevice* second = devices.findDevice(descriptor(2));
    ASSERT_TRUE(host.openPortPair(second->portPair)); // the GUI works with the second mixer

    ports({"2- QX1600"}); // the first is unplugged: the second moves to index 0
    rescanPorts(host, pairs, devices);
    const auto removed = events();
    ASSERT_EQ(removed.size(), 1u); // delivered removed, then deleted
    EXPECT_EQ(devices.deviceCount(), 1u);
    EXPECT_EQ(devices.deviceAt(0), second);
    EXPECT_EQ(second->portPair.load()->inputIndex, 0u);
    EXPECT_EQ(host.openPair(), second->portPair); // its pair is open again

    ports({"QX1600", "2- QX1600"});
    rescanPorts(host, pairs, devices);
    EXPECT_EQ(events().size(), 1u); // the first is back as a new record
    EXPECT_EQ(devices.deviceCount(), 2u);
    EXPECT_EQ(devices.findDevice(descriptor(2)), second);
}

TEST_F(PortScanTest, NoPortsNoPairs)
{
    EXPECT_FALSE(rescanPorts(host, pairs, devices));
    EXPECT_EQ(pairs.count(), 0u);
    host.own = true; // a scan during an update leaves the flag set
    ports({"QX1600"});
    EXPECT_TRUE(rescanPorts(host, pairs, devices));
    EXPECT_TRUE(host.own);
}

} // namespace
