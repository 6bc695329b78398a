// The plain kernel client in processes of its own beside the machine
// process: streaming, a client killed while it streams, and the owner rule
// between real processes.

#include "tests/sim/machine/machine_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

namespace {

using orvo::test::ChildProcess;
using orvo::test::clientLine;
using orvo::test::MachineProcess;
using State = MachineProcess::State;

struct Streamed {
    unsigned long long blocks = 0, wakeups = 0, resets = 0;
    long long lost = -1;
};

Streamed parse(const std::string& line)
{
    Streamed s;
    std::sscanf(line.c_str(), "client blocks=%llu wakeups=%llu lost=%lld resets=%llu", &s.blocks, &s.wakeups, &s.lost,
                &s.resets);
    return s;
}

struct KernelClientProcess : ::testing::Test {
    void SetUp() override
    {
        ASSERT_TRUE(machine.ready());
        interface = machine.plug();
        ASSERT_FALSE(interface.empty());
    }
    std::unique_ptr<ChildProcess> client(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--interface", interface});
        return machine.client(KERNEL_CLIENT_PROGRAM, args);
    }
    MachineProcess machine;
    std::string interface;
};

TEST_F(KernelClientProcess, StreamsThroughItsOwnMappingsAndLeavesNothingBehind)
{
    auto c = client({"--seconds", "1.5", "--block", "256"});
    const std::string registered = clientLine(*c, "client registered");
    ASSERT_FALSE(registered.empty());
    unsigned slot = 99, record = 0;
    std::sscanf(registered.c_str(), "client registered slot=%u record=0x%X", &slot, &record);
    EXPECT_EQ(slot, 0u);
    EXPECT_NE(record, 0u); // an address in the client, below 4 GiB
    const Streamed s = parse(clientLine(*c, "client blocks="));
    c->wait(); // a fresh stream's first blocks may miss their frames on a loaded machine
    // 1.5 s at 48 kHz in 256-frame blocks: about 280 blocks.
    EXPECT_GT(s.blocks, 200u);
    EXPECT_GT(s.wakeups, 100u);
    EXPECT_EQ(s.resets, 0u);
    const State after = machine.waitFor([](const State& st) { return st.processes == 0; });
    EXPECT_EQ(after.processes, 0u);
    EXPECT_EQ(after.connections, 0u);
    EXPECT_EQ(after.clients, 0u);
}

TEST_F(KernelClientProcess, KilledClientIsDisposedAndTheOtherStreamsOn)
{
    // The first client's set-up allocates the stream buffers, which stay.
    auto first = client({"--seconds", "0.3"});
    ASSERT_FALSE(clientLine(*first, "client registered").empty());
    first->wait();
    const State baseline = machine.waitFor([](const State& st) { return st.processes == 0; });
    ASSERT_EQ(baseline.clients, 0u);

    auto steady = client({"--seconds", "6"});
    ASSERT_FALSE(clientLine(*steady, "client registered").empty());
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        auto victim = client({"--seconds", "30"});
        ASSERT_FALSE(clientLine(*victim, "client registered").empty());
        EXPECT_EQ(machine.state().clients, 2u);
        victim->signal(SIGKILL);
        victim->wait();
        const State s = machine.waitFor([](const State& st) { return st.processes == 1 && st.clients == 1; });
        EXPECT_EQ(s.processes, 1u);
        EXPECT_EQ(s.clients, 1u);
    }
    const Streamed s = parse(clientLine(*steady, "client blocks="));
    EXPECT_EQ(steady->wait(), 0);
    EXPECT_EQ(s.resets, 0u);
    EXPECT_EQ(s.lost, 0);
    // Client table, views, descriptors and memfds as before the clients came.
    const State after = machine.waitFor([&](const State& st) { return st == baseline; });
    EXPECT_EQ(after, baseline);
}

TEST_F(KernelClientProcess, OwnerRuleBetweenRealProcesses)
{
    auto rate = [&](const char* hz) {
        auto c = client({"--set-rate", hz});
        const std::string line = clientLine(*c, "rate ");
        c->wait();
        return line;
    };
    // The owner registers a client at 44.1 kHz and then says nothing.
    auto owner = client({"--rate", "44100", "--stall", "30", "--seconds", "1"});
    ASSERT_FALSE(clientLine(*owner, "client registered").empty());
    EXPECT_EQ(rate("48000"), "rate 48000 refused"); // the owner was just heard
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(rate("48000"), "rate 48000 refused"); // silent, but it holds a client
    EXPECT_EQ(rate("44100"), "rate 44100 ok");       // the rate in force needs no ownership

    owner->signal(SIGKILL);
    owner->wait();
    machine.waitFor([](const State& st) { return st.processes == 0 && st.clients == 0; });
    // Silent for 2,000 ms counts from the last refusal, which saw the owner.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    EXPECT_EQ(rate("48000"), "rate 48000 ok");
}

} // namespace
