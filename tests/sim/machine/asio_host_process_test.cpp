// ASIO hosts in processes of their own beside the machine process, each with
// the driver library loaded as an application loads it: what reaches the
// mixer's OUT side is their exact clipped sum, a host killed while it
// streams leaves the others' blocks and the kernel's tables as they were,
// and a replugged mixer brings every host back through its reset request.

#include "tests/sim/machine/machine_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <deque>
#include <random>
#include <thread>

namespace {

using orvo::test::ChildProcess;
using orvo::test::clientLine;
using orvo::test::MachineProcess;
using State = MachineProcess::State;

constexpr uint32_t kPort = 1;
constexpr uint32_t kRate = 48000;

struct AsioHostProcesses : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(machine.ready());
        ASSERT_FALSE(machine.plug().empty());
        // Long blocks: a host that a loaded machine runs late misses its
        // block, which is what the soak measures at the smallest block, not
        // what these tests are about.
        machine.command("buffer 20");
        ASSERT_FALSE(machine.lineStarting("buffer ms=20", 5000).empty());
    }
    // A host streaming `signal` for `seconds`, started.
    std::unique_ptr<ChildProcess> launch(double seconds, const std::string& signal, double level = 0)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", level);
        return machine.client(ASIO_HOST_PROGRAM, {"--buffers", "--seconds", std::to_string(seconds), "--signal",
                                                  signal, "--level", text});
    }
    static bool streaming(ChildProcess& h) { return !clientLine(h, "callback bufferSwitch", 20000).empty(); }
    // The same, once its first buffer switch came.
    std::unique_ptr<ChildProcess> host(double seconds, const std::string& signal, double level = 0)
    {
        auto h = launch(seconds, signal, level);
        EXPECT_TRUE(streaming(*h)) << signal << " " << level;
        return h;
    }
    MachineProcess machine;
};

// The host's sample for a level, as it writes it (outputs 1, 3, ... take the
// level, 2, 4, ... its negation).
int32_t levelSample(double level, uint32_t channel)
{
    return static_cast<int32_t>((channel % 2 ? -level : level) * 2147483648.0);
}

// What the mixer receives when the hosts in `mask` contribute: each adds its
// sample's top 24 bits, the sum is clipped to 24 bits.
uint32_t mixed(const std::vector<double>& levels, uint32_t mask, uint32_t channel)
{
    int64_t sum = 0;
    for (size_t k = 0; k < levels.size(); ++k)
        if (mask & (1u << k))
            sum += levelSample(levels[k], channel) >> 8;
    return static_cast<uint32_t>(std::clamp<int64_t>(sum, -0x800000, 0x7FFFFF)) << 8;
}

// Four levels whose sums tell which hosts sound, and a level summed twice
// from any of them.
const std::vector<double> kFourLevels{1.0 / 4, 1.0 / 16, 1.0 / 64, 1.0 / 256};

struct Mix {
    const char* name;
    std::vector<double> levels;
};

struct HostsMixing : AsioHostProcesses, ::testing::WithParamInterface<Mix> {};

TEST_P(HostsMixing, MixerReceivesTheirExactClippedSum)
{
    const std::vector<double>& levels = GetParam().levels;
    const auto hosts = static_cast<uint32_t>(levels.size());
    const uint32_t all = (1u << hosts) - 1;
    ASSERT_TRUE(machine.capture(kPort, kRate * 20));
    std::vector<std::unique_ptr<ChildProcess>> running;
    for (double level : levels)
        running.push_back(host(4, "level", level));
    for (auto& h : running)
        EXPECT_EQ(h->wait(), 0);
    const MachineProcess::Played played = machine.played(kPort);
    ASSERT_GT(played.frames(), 0u);

    // On every output every frame is the exact clipped sum of some set of the
    // hosts: nothing summed twice, in part or wrongly clipped.
    std::vector<uint32_t> who(played.frames(), 0);
    uint64_t unexplained = 0, firstUnexplained = 0, tornBlocks = 0;
    bool wasTorn = false;
    for (uint64_t f = 0; f < played.frames(); ++f) {
        bool torn = false;
        for (uint32_t c = 0; c < played.channels; ++c) {
            uint32_t mask = 0;
            while (mask <= all && played.at(f, c) != mixed(levels, mask, c))
                ++mask;
            if (mask > all && unexplained++ == 0)
                firstUnexplained = f;
            torn = torn || (c > 0 && mask != who[f]);
            if (c == 0)
                who[f] = mask;
        }
        tornBlocks += torn && !wasTorn;
        wasTorn = torn;
    }
    EXPECT_EQ(unexplained, 0u) << "first at frame " << firstUnexplained << ": 0x" << std::hex
                               << played.at(firstUnexplained, 0) << " 0x" << played.at(firstUnexplained, 1);
    // While all of them stream, the blocks hold all of them but the few that
    // a host a loaded machine ran late missed (its addition dropped, or cut
    // short by the block's conversion: then outputs differ).
    const auto first = std::find(who.begin(), who.end(), all);
    const auto last = std::find(who.rbegin(), who.rend(), all).base();
    ASSERT_NE(first, who.end()) << "the hosts never sounded together";
    const auto span = static_cast<uint64_t>(last - first);
    const auto together = static_cast<uint64_t>(std::count(first, last, all));
    EXPECT_GT(together, kRate) << "at least a second of all " << hosts << " hosts";
    EXPECT_GT(together, span - span / 20) << together << " of " << span << " frames";
    std::printf("mixing: %llu of %llu frames with all %u hosts, %llu blocks that outputs disagree on\n",
                static_cast<unsigned long long>(together), static_cast<unsigned long long>(span), hosts,
                static_cast<unsigned long long>(tornBlocks));
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostsMixing,
                         ::testing::Values(Mix{"TwoClippingBothWays", {0.75, 0.5}},
                                           Mix{"FourTellingWhoSounds", kFourLevels}),
                         [](const ::testing::TestParamInfo<Mix>& info) { return std::string(info.param.name); });

// Output 1 holds a host counting frames (bits 8..23), a steady host's level
// (bit 26) and a victim's (bit 28); output 2 the count with both levels
// negated. Victims come two at a time, one starting while the other
// streams, so the second plays bit 29. A host that a loaded machine runs late
// misses its block, so the count or a level may be missing from a block;
// nothing else may be there.
constexpr uint32_t kSteadyLevel = 1u << 26, kVictimLevel = 1u << 28, kSecondVictimLevel = 1u << 29;

struct CountedFrame {
    uint32_t count = 0;     // 0: the counting host's block is missing
    uint32_t levels[2] = {}; // per output, the levels summed
    bool wellFormed() const
    {
        constexpr uint32_t known = kSteadyLevel | kVictimLevel | kSecondVictimLevel;
        return (levels[0] & ~known) == 0 && (levels[1] & ~known) == 0;
    }
};

CountedFrame decode(uint32_t first, uint32_t second)
{
    CountedFrame f;
    f.count = first & 0xFFFF00;
    f.levels[0] = first - f.count;
    f.levels[1] = f.count - second;
    return f;
}

TEST_F(AsioHostProcesses, HostsKilledWhileStreamingLeaveTheOthersAndTheKernelAsTheyWere)
{
    constexpr int kRounds = 100;
    auto counting = host(120, "count");
    auto steady = host(120, "level", double(kSteadyLevel) / 2147483648.0);
    State baseline = machine.waitFor([](const State& st) { return st.clients == 2; });
    ASSERT_EQ(baseline.clients, 2u);
    // Each host's status monitor opens a handle of its own soon after: the
    // baseline is the state once it holds for half a second.
    for (int tries = 0; tries < 20; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const State again = machine.state();
        if (again == baseline)
            break;
        baseline = again;
    }
    ASSERT_TRUE(machine.capture(kPort, kRate * 110));

    std::mt19937 random(15);
    std::deque<std::unique_ptr<ChildProcess>> victims;
    for (int round = 0; round < kRounds + 1; ++round) {
        SCOPED_TRACE(round);
        if (round < kRounds)
            victims.push_back(launch(120, "level", double(round % 2 ? kSecondVictimLevel : kVictimLevel) / 2147483648.0));
        if (victims.size() < 2 && round < kRounds)
            continue;
        // The older victim is killed at any point of its block.
        ChildProcess& victim = *victims.front();
        EXPECT_TRUE(streaming(victim));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        victim.signal(SIGKILL);
        victim.wait();
        victims.pop_front();
    }
    // Client table, slots, views, the machine's descriptors and memfds as before.
    EXPECT_EQ(machine.waitFor([&](const State& st) { return st == baseline; }), baseline);
    const MachineProcess::Played played = machine.played(kPort);
    ASSERT_GT(played.frames(), 0u);

    // Every frame holds each host at most once, and a victim on both outputs
    // but in the block it was adding to when it died: nothing summed twice
    // or in part, and no dead host's partial sum in later blocks.
    uint64_t malformed = 0, repeated = 0, missing = 0, victimFrames = 0, tornBlocks = 0, firstFault = 0;
    uint32_t lastCount = 0;
    bool wasTorn = false;
    for (uint64_t f = 0; f < played.frames(); ++f) {
        const CountedFrame now = decode(played.at(f, 0), played.at(f, 1));
        const bool torn = now.levels[0] != now.levels[1];
        const uint32_t step = (now.count - lastCount) & 0xFFFF00;
        const bool back = now.count != 0 && lastCount != 0 && (step == 0 || step >= 0x800000);
        if (!now.wellFormed() && malformed++ == 0)
            firstFault = f;
        repeated += back;
        missing += now.count == 0 || !(now.levels[0] & kSteadyLevel);
        victimFrames += (now.levels[0] & (kVictimLevel | kSecondVictimLevel)) != 0;
        tornBlocks += torn && !wasTorn;
        wasTorn = torn;
        if (now.count != 0)
            lastCount = now.count;
    }
    EXPECT_EQ(malformed, 0u) << "first at frame " << firstFault << ": 0x" << std::hex << played.at(firstFault, 0)
                             << " 0x" << played.at(firstFault, 1);
    EXPECT_LE(tornBlocks, uint64_t(kRounds));
    EXPECT_GT(victimFrames, 0u);
    // The steady hosts streamed on. Blocks that a loaded machine ran every
    // client late for are missed (their hosts' part missing) or play the
    // ring's previous cycle (the count goes back): few, on any machine.
    EXPECT_LT(missing + repeated, played.frames() / 20);
    std::printf("killed hosts: of %llu frames %llu missed a steady host, %llu went back a cycle; %llu blocks with "
                "a dead host's partial sum\n",
                static_cast<unsigned long long>(played.frames()), static_cast<unsigned long long>(missing),
                static_cast<unsigned long long>(repeated), static_cast<unsigned long long>(tornBlocks));
}

TEST_F(AsioHostProcesses, ReplugWhileFourStreamBringsAllBackThroughResetRequests)
{
    const std::vector<double>& levels = kFourLevels;
    std::vector<std::unique_ptr<ChildProcess>> hosts;
    for (double level : levels)
        hosts.push_back(host(20, "level", level));
    machine.command("replug " + std::to_string(kPort));
    const std::string plugged = machine.lineStarting("plugged ", 10000);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(plugged.c_str(), "plugged port=%u", &port), 1);
    for (auto& h : hosts) {
        EXPECT_FALSE(clientLine(*h, "answering the reset request", 15000).empty());
        EXPECT_EQ(clientLine(*h, "start: ", 15000), "start: 0");
    }
    // All four are back at the mixer: a second of their full sum.
    ASSERT_TRUE(machine.capture(port, kRate * 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const MachineProcess::Played played = machine.played(port);
    uint64_t together = 0;
    for (uint64_t f = 0; f < played.frames(); ++f)
        together += played.at(f, 0) == mixed(levels, 0xF, 0) && played.at(f, 1) == mixed(levels, 0xF, 1);
    EXPECT_GT(together, kRate);
    for (auto& h : hosts)
        h->signal(SIGTERM);
}

} // namespace
