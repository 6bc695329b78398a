// ASIO hosts in processes of their own beside the machine process, each with
// the driver library loaded as an application loads it: what reaches the
// mixer's OUT side is their exact clipped sum, a host killed while it
// streams leaves the others' blocks and the kernel's tables as they were,
// a replugged mixer brings every host back through its reset request, and
// the status monitors of two processes share the device's settings-pushed
// byte: they push once, follow a changed buffer time, and then stay quiet.

#include "tests/sim/machine/machine_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
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

// Of 2 s that the mixer on `port` plays from now, the frames that hold the
// full sum of `levels` on outputs 1 and 2.
uint64_t framesOfFullSum(MachineProcess& machine, uint32_t port, const std::vector<double>& levels)
{
    const uint32_t all = (1u << levels.size()) - 1;
    EXPECT_TRUE(machine.capture(port, kRate * 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const MachineProcess::Played played = machine.played(port);
    uint64_t together = 0;
    for (uint64_t f = 0; f < played.frames(); ++f)
        together += played.at(f, 0) == mixed(levels, all, 0) && played.at(f, 1) == mixed(levels, all, 1);
    return together;
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
    EXPECT_GT(framesOfFullSum(machine, port, levels), kRate);
    for (auto& h : hosts)
        h->signal(SIGTERM);
}

// The status monitors' logs, by file name: a monitor's thread begins its
// log with its first line.
using Logs = std::map<std::string, std::string>;

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

size_t total(const Logs& logs, const std::string& what)
{
    size_t n = 0;
    for (const auto& [name, text] : logs)
        n += occurrences(text, what);
    return n;
}

// The monitors' logs once `done` holds for them, or as they are after timeoutMs.
template <class Done> Logs monitorLogs(const MachineProcess& machine, Done done, int timeoutMs = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Logs logs;
        for (auto& [name, text] : machine.debugLogs())
            if (text.rfind("Orvo UAC2: Begin ASIO event notification thread", 0) == 0)
                logs.emplace(name, std::move(text));
        if (done(logs) || std::chrono::steady_clock::now() >= end)
            return logs;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// The host answered a reset request and streams again with `frames` a block.
void expectResetTo(ChildProcess& h, int frames)
{
    EXPECT_FALSE(clientLine(h, "answering the reset request", 15000).empty());
    std::string channels;
    for (int lines = 0; lines < 4 && channels.find("; buffer size ") == std::string::npos; ++lines)
        channels = clientLine(h, "channels ", 15000);
    EXPECT_NE(channels.find("; buffer size " + std::to_string(frames) + ";"), std::string::npos) << channels;
    EXPECT_EQ(clientLine(h, "start: ", 15000), "start: 0");
}

constexpr const char* kPush = "Initializing settings to buf msecs ";
constexpr const char* kRelooped = "Settings changed, re-looping";

// Byte 906 of the status record is shared by the monitors of every process
// on the device: the first to see it clear pushes, and one whose settings
// differ from what it last pushed or accepted clears it. Two monitors that
// disagree must settle on one push, not clear and push in turn for ever.
TEST_F(AsioHostProcesses, TwoProcessesMonitorsShareTheSettingsPushedByteAndSettle)
{
    machine.enableDebugLog();
    const std::vector<double> levels{1.0 / 4, 1.0 / 16};
    auto first = host(60, "level", levels[0]);
    Logs logs = monitorLogs(machine, [](const Logs& l) { return total(l, kPush) > 0; });
    ASSERT_EQ(logs.size(), 1u);
    const std::string firstMonitor = logs.begin()->first;
    EXPECT_EQ(occurrences(logs[firstMonitor], kPush), 1u) << logs[firstMonitor];
    EXPECT_NE(logs[firstMonitor].find(std::string(kPush) + "20, sample rate 48000, block samples 288"),
              std::string::npos)
        << logs[firstMonitor];

    // The second monitor starts from the rate it takes without a device (not
    // the device's), so its first pass finds the byte set with other settings
    // than its own: it clears the byte and re-loops.
    auto second = host(60, "level", levels[1]);
    logs = monitorLogs(machine, [](const Logs& l) { return l.size() == 2 && total(l, kRelooped) > 0; });
    ASSERT_EQ(logs.size(), 2u);
    std::string secondMonitor;
    for (const auto& [name, text] : logs)
        if (name != firstMonitor)
            secondMonitor = name;
    EXPECT_EQ(occurrences(logs[firstMonitor], kRelooped), 0u) << logs[firstMonitor];
    EXPECT_EQ(occurrences(logs[secondMonitor], kRelooped), 1u) << logs[secondMonitor];

    // One more push follows, by whichever pass finds the byte clear first
    // (both, when their passes find it clear within one push of each other);
    // then neither pushes nor clears again.
    monitorLogs(machine, [](const Logs& l) { return total(l, kPush) >= 2; });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    logs = monitorLogs(machine, [](const Logs&) { return true; });
    const size_t pushes = total(logs, kPush), reloops = total(logs, kRelooped);
    EXPECT_GE(pushes, 2u);
    EXPECT_LE(occurrences(logs[firstMonitor], kPush), 2u) << logs[firstMonitor];
    EXPECT_LE(occurrences(logs[secondMonitor], kPush), 1u) << logs[secondMonitor];
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    logs = monitorLogs(machine, [](const Logs&) { return true; });
    EXPECT_EQ(total(logs, kPush), pushes);
    EXPECT_EQ(total(logs, kRelooped), reloops);

    // A buffer time changed in the registry: a monitor re-loops, the new value
    // is pushed, and both hosts are reset to its block (the driver's table
    // gives 288 frames for 20 ms at 48 kHz, 144 for 10 ms).
    machine.command("buffer 10");
    ASSERT_FALSE(machine.lineStarting("buffer ms=10", 5000).empty());
    expectResetTo(*first, 144);
    expectResetTo(*second, 144);
    // Each host made its driver object again, and with it a monitor, which
    // starts from the rate it takes without a device as the second did: it
    // clears the byte once, and the new value is pushed again.
    const std::string newPush = std::string(kPush) + "10, sample rate 48000, block samples 144";
    logs = monitorLogs(machine, [&](const Logs& l) { return l.size() == 4 && total(l, newPush) > 0; });
    EXPECT_EQ(logs.size(), 4u);
    EXPECT_GT(total(logs, kRelooped), reloops);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    logs = monitorLogs(machine, [](const Logs&) { return true; });
    const size_t newPushes = total(logs, newPush), allPushes = total(logs, kPush);
    EXPECT_GE(newPushes, 1u);
    for (const auto& [name, text] : logs)
        EXPECT_LE(occurrences(text, newPush), 2u) << text;
    EXPECT_EQ(allPushes, pushes + newPushes) << "the old buffer time pushed again";

    // Steady state: over 2 s no monitor clears or pushes, while both hosts
    // stream at the new block.
    const size_t settledReloops = total(logs, kRelooped);
    EXPECT_GT(framesOfFullSum(machine, kPort, levels), kRate);
    logs = monitorLogs(machine, [](const Logs&) { return true; });
    EXPECT_EQ(total(logs, kPush), allPushes);
    EXPECT_EQ(total(logs, kRelooped), settledReloops);
    std::printf("two monitors: %zu pushes and %zu re-loops at start, %zu pushes of the new buffer time\n", pushes,
                reloops, newPushes);
}

} // namespace
