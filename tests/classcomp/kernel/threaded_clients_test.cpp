#include "client_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;

class ThreadedClientsTest : public ClientFixture {};

TEST_F(ThreadedClientsTest, ConcurrentSetUpsCannotOverflowTheTableOrRegisterAHandleTwice)
{
    constexpr int kThreads = 6;
    constexpr int kHandlesPerThread = 20; // 120 handles for 100 entries
    std::vector<std::vector<Client*>> handles(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        auto process = ob::Process::create();
        for (int i = 0; i < kHandlesPerThread; ++i) {
            Client& client = open(process);
            prepare(client);
            handles[t].push_back(&client);
        }
    }
    std::atomic<int> succeeded{0}, refused{0}, other{0};
    std::vector<uint32_t> slots;
    std::mutex slotsMutex;
    auto setUp = [&](Client& client) {
        Reply r = initBuffers(client);
        if (r.status == status::kSuccess) {
            ++succeeded;
            std::lock_guard lock(slotsMutex);
            slots.push_back(r.u32(init_buffers_result::kClientSlotOffset));
        } else if (r.status == status::kInvalidDeviceRequest) {
            ++refused;
        } else {
            ++other;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Each handle is tried twice, from two threads at once.
            for (int i = 0; i < kHandlesPerThread; ++i) {
                std::thread twin([&] { setUp(*handles[t][i]); });
                setUp(*handles[t][i]);
                twin.join();
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(succeeded.load(), int(kMaxClients));
    EXPECT_EQ(refused.load(), 2 * kThreads * kHandlesPerThread - int(kMaxClients));
    EXPECT_EQ(other.load(), 0);
    EXPECT_EQ(c_->clientCount, kMaxClients);
    std::set<uint32_t> unique(slots.begin(), slots.end());
    EXPECT_EQ(unique.size(), kMaxClients);
    std::set<uint32_t> ids;
    for (uint32_t i = 0; i < c_->clientCount; ++i)
        ids.insert(c_->clients[i].clientId);
    EXPECT_EQ(ids.size(), kMaxClients);
    // The refused set-ups left no views behind: the kernel's, one per
    // registered handle.
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1 + kMaxClients);
}

TEST_F(ThreadedClientsTest, AQueuedRequestWaitsOutOfD0AndIsCancelledAtRemoval)
{
    Client& a = open();
    const pnp::NodeId node = bus_->node(ports_.back());
    auto waitUntilHeld = [&] {
        while (c_->defaultQueue->heldRequestCount() != 1)
            std::this_thread::yield();
    };

    ASSERT_EQ(pnp::setLowPower(node, true), status::kSuccess);
    auto version = std::async(std::launch::async, [&] { return message(a, kMsgDriverVersion, device_message::kGet); });
    waitUntilHeld();
    EXPECT_EQ(version.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    ASSERT_EQ(pnp::setLowPower(node, false), status::kSuccess);
    Reply r = version.get();
    EXPECT_EQ(r.status, status::kSuccess);
    EXPECT_EQ(r.u32(), kDriverVersion);

    ASSERT_EQ(pnp::setLowPower(node, true), status::kSuccess);
    auto clientId = std::async(std::launch::async, [&] { return ioctl(a, kIoCtlGetClientId, nullptr, 0, 4); });
    waitUntilHeld();
    bus_->unplug(ports_.back());
    r = clientId.get();
    EXPECT_EQ(r.status, status::kCancelled);
    EXPECT_EQ(r.bytes, 0u);
    // After release every request fails with an invalid handle, queued or not.
    EXPECT_EQ(message(a, kMsgDriverVersion, device_message::kGet).status, status::kInvalidHandle);
    EXPECT_EQ(ioctl(a, kIoCtlGetClientId, nullptr, 0, 4).status, status::kInvalidHandle);
}

// Cleanup runs when the last handle goes, while requests on the handle may
// still be running: a mapping request that gets past cleanup must not leave
// a view or a process reference behind once the file is closed.
TEST_F(ThreadedClientsTest, AMappingRequestRacingTheLastCloseLeavesNothingBehind)
{
    auto process = ob::Process::create();
    constexpr int kRounds = 200;
    const long baseline = process.use_count();
    for (int round = 0; round < kRounds; ++round) {
        Client& a = open(process);
        prepare(a);
        std::atomic<bool> started{false};
        std::thread racer([&, mine = a] () mutable {
            ob::ProcessScope scope(process);
            started = true;
            while (ioctl(mine, kIoCtlGetAsioInfo, nullptr, 0, 8).status != status::kInvalidHandle) {
            }
        });
        while (!started)
            std::this_thread::yield();
        for (int spin = 0; spin < round * 7; ++spin)
            std::this_thread::yield();
        {
            ob::ProcessScope scope(process);
            close(a);
        }
        racer.join();
    }
    EXPECT_EQ(mdlMappingCount(*c_->statusRecordMdl), 1u); // the kernel's own view only
    EXPECT_EQ(process.use_count(), baseline + kRounds); // the fixture's client records hold one each
}

// The process that set up ends while the other holder of its handle closes
// the last handle: whichever undoes the views, none is left when the ending
// process's address space goes (the stand-in stops the test if one is).
TEST_F(ThreadedClientsTest, AProcessEndingWhileTheOtherHolderClosesLeavesNothingBehind)
{
    constexpr int kRounds = 100;
    for (int round = 0; round < kRounds; ++round) {
        auto [a, b, clipped] = setUpAndShare();
        (void)clipped;
        std::atomic<bool> go{false};
        auto ending = std::async(std::launch::async, [&go, process = a.process] {
            while (!go)
                std::this_thread::yield();
            process->terminate(0);
        });
        go = true;
        for (int spin = 0; spin < round % 13 * 5; ++spin)
            std::this_thread::yield();
        close(b);
        a.file = nullptr;
        EXPECT_NO_THROW(ending.get()) << round;
        EXPECT_EQ(c_->clientCount, 0u);
        EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u) << round; // the kernel's own view only
    }
}

// Set-ups and disposes of one handle from several threads at once: a
// set-up whose entry was disposed of and reserved again by a later set-up
// must not publish its views and event into that one's (views were left
// mapped, and a replaced event was set after it was dereferenced).
TEST_F(ThreadedClientsTest, RacingSetUpsAndDisposesOfOneHandleLeaveNoViewBehind)
{
    Client& a = open();
    prepare(a);
    std::atomic<bool> stop{false};
    std::atomic<int> ok{0};
    auto setUps = [&] {
        while (!stop)
            ok += initBuffers(a).status == status::kSuccess;
    };
    std::thread first(setUps), second(setUps);
    while (ok < 2000) // until both set-up threads have been at it for a while
        ioctl(a, kIoCtlDisposeOfBuffers, nullptr, 0, 0);
    stop = true;
    first.join();
    second.join();
    close(a);
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u); // the kernel's own view only
    EXPECT_NO_THROW(a.process->terminate(0));
}

} // namespace
} // namespace orvo::kernel::testing
