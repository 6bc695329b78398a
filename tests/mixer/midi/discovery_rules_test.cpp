#include "mixer/midi/device_state_rule.h"
#include "mixer/midi/port_pairing.h"
#include "mixer/midi/port_probe.h"

#include "platform/win32/clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Orvo;
using Names = std::vector<std::string>;

struct PairingCase {
    const char* what;
    Names inputs;
    Names outputs;
    std::vector<PortPairing> pairs;
};
void PrintTo(const PairingCase& c, std::ostream* os) { *os << c.what; }

class PairingTable : public ::testing::TestWithParam<PairingCase> {};

TEST_P(PairingTable, Pairs)
{
    EXPECT_EQ(pairPorts(GetParam().inputs, GetParam().outputs), GetParam().pairs) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Rule, PairingTable,
    ::testing::Values(
        PairingCase{"equal names", {"QX1600"}, {"Other", "QX1600"}, {{0, 1}}},
        PairingCase{"two empty names", {""}, {"", "x"}, {{0, 0}}},
        PairingCase{"half the positions agree", {"ABCD"}, {"WXYZ", "ABYZ"}, {{0, 1}}},
        PairingCase{"fewer than half agree", {"ABCD"}, {"AXYZ", "WXYZ"}, {}},
        PairingCase{"nothing alike, equal counts", {"ABCD"}, {"WXYZ"}, {{0, 0}}},
        PairingCase{"one input, two unlike outputs", {"ABCD"}, {"WXYZ", "STUV"}, {}},
        PairingCase{"an output is used once", {"QX1600 A", "QX1600 B", "Extra"}, {"QX1600 A", "QX1600 B"},
                    {{0, 0}, {1, 1}}},
        PairingCase{"used outputs are skipped", {"MIX", "MIX"}, {"MIX", "NOP", "MIX"}, {{0, 0}, {1, 2}}},
        PairingCase{"a one-character name matches anything", {"M"}, {"N", "M"}, {{0, 0}}},
        PairingCase{"equal counts take the first free output", {"QX1600 B", "QX1600 A"}, {"QX1600 A", "QX1600 B"},
                    {{0, 0}, {1, 1}}},
        PairingCase{"no ports", {}, {}, {}}));

TEST(Exclusion, TableIgnoresCase)
{
    EXPECT_TRUE(isPortPairAllowed("QX1600", "QX1600"));
    EXPECT_FALSE(isPortPairAllowed("my korva-tan 2", "QX1600"));
    EXPECT_FALSE(isPortPairAllowed("QX1600", "Korva-Green"));
    for (const char* entry : PortNameExclusionTable) {
        EXPECT_FALSE(isPortPairAllowed(std::string("x ") + entry, "")) << entry;
        EXPECT_FALSE(isPortPairAllowed("", entry)) << entry;
    }
    EXPECT_TRUE(isPortPairAllowed("KORVA", "ZK4"));
}

struct StateCase {
    const char* what;
    uint8_t from;
    bool fromBootloader;
    bool parked;
    DescriptorStateChange expected;
};
void PrintTo(const StateCase& c, std::ostream* os) { *os << c.what; }

class StateTable : public ::testing::TestWithParam<StateCase> {};

TEST_P(StateTable, Follows)
{
    const auto& c = GetParam();
    const auto r = descriptorStateChange(c.from, c.fromBootloader, c.parked);
    EXPECT_EQ(r.state, c.expected.state) << c.what;
    EXPECT_EQ(r.event, c.expected.event) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Rule, StateTable,
    ::testing::Values(StateCase{"new record, application", 0, false, false, {1, true}},
                      StateCase{"new record, bootloader", 0, true, false, {2, true}},
                      StateCase{"parked application back in its bootloader", 1, true, true, {3, true}},
                      StateCase{"application restarted some other way", 1, true, false, {2, true}},
                      StateCase{"bootloader back to the application", 2, false, false, {1, true}},
                      StateCase{"application again", 1, false, false, {1, false}},
                      StateCase{"bootloader again", 2, true, false, {2, false}},
                      StateCase{"updating, bootloader reply", 3, true, false, {3, false}},
                      StateCase{"updating, application reply", 3, false, true, {3, false}}));

// Probing on the virtual clock.
class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override { previous_ = w32::setClock(&clock_); }
    void TearDown() override { w32::setClock(previous_); }

    // Probes with a device count that becomes 1 at `appearsAt` ms (never when 0).
    std::vector<uint32_t> probe(unsigned count, uint32_t appearsAt, bool* changed)
    {
        std::vector<uint32_t> times;
        const uint32_t start = w32::GetTickCount();
        *changed = runProbe(
            count, [&] { times.push_back(w32::GetTickCount() - start); },
            [&] { return (appearsAt != 0 && w32::GetTickCount() - start >= appearsAt) ? size_t{1} : size_t{0}; });
        return times;
    }

    w32::VirtualClock clock_{1000};
    w32::Clock* previous_ = nullptr;
};

TEST_F(ProbeTest, SilentPairGetsTenQueriesAHundredMillisecondsApart)
{
    bool changed = true;
    const auto times = probe(10, 0, &changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(times, (std::vector<uint32_t>{0, 100, 200, 300, 400, 500, 600, 700, 800, 900}));
}

TEST_F(ProbeTest, ThreeMoreQueriesFollowACountChange)
{
    bool changed = false;
    // Seen after the first query: three more.
    EXPECT_EQ(probe(10, 5, &changed), (std::vector<uint32_t>{0, 100, 200, 300}));
    EXPECT_TRUE(changed);
    // Seen late: the probe runs on past its ten.
    EXPECT_EQ(probe(10, 850, &changed).size(), 12u);
    EXPECT_TRUE(changed);
}

// A reply handled before the first query's send returns (a fast mixer, a
// busy prober) is still a change seen by this probe.
TEST_F(ProbeTest, AReplyBeforeTheFirstSendReturnsIsAChange)
{
    size_t devices = 0;
    unsigned sent = 0;
    const bool changed = runProbe(
        10,
        [&] {
            ++sent;
            devices = 1;
        },
        [&] { return devices; });
    EXPECT_TRUE(changed);
    EXPECT_EQ(sent, 4u);
}

TEST_F(ProbeTest, ClockWrapDoesNotStallTheProbe)
{
    clock_.advance(0xFFFFFFFFu - 1000 - 150); // wraps during the probe
    bool changed = true;
    EXPECT_EQ(probe(10, 0, &changed).size(), 10u);
}

} // namespace
