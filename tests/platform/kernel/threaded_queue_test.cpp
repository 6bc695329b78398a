#include "io_manager_fixture.h"

#include <chrono>
#include <future>
#include <thread>

namespace kplat::testing {
namespace {

using Log = std::vector<std::string>;

class PowerManagedQueueTest : public IoManagerTest {
protected:
    PowerManagedQueueTest()
    {
        port_ = bus_->plug(mixer_);
        EXPECT_EQ(io::openDeviceInterface(io::deviceInterfaces(kClass)[0], Caller{}, file_), status::kSuccess);
        takeLog();
    }

    // A client blocking on a queued request in its own thread.
    std::future<Status> sendQueued(uint32_t& reply)
    {
        return std::async(std::launch::async, [this, &reply] {
            uint32_t value = 41, bytes = 0;
            return io::deviceIoControl(file_, kQueued, &value, 4, &reply, 4, &bytes, Caller{});
        });
    }

    size_t held() { return pnp::deviceOf(bus_->node(port_))->defaultQueue()->heldRequestCount(); }

    void waitUntilHeld(size_t count)
    {
        while (held() != count)
            std::this_thread::yield();
    }

    uint32_t port_ = 0;
    io::FileRef file_;
};

TEST_F(PowerManagedQueueTest, RequestsWaitOutOfD0AndAreDispatchedOnReturn)
{
    ASSERT_EQ(pnp::setLowPower(bus_->node(port_), true), status::kSuccess);
    uint32_t reply = 0;
    auto pending = sendQueued(reply);
    waitUntilHeld(1);
    EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
    // A request handled in the caller's context is not queued.
    uint32_t value = 1, direct = 0, bytes = 0;
    EXPECT_EQ(io::deviceIoControl(file_, kDirect, &value, 4, &direct, 4, &bytes, Caller{}), status::kSuccess);
    EXPECT_EQ(direct, 2u);

    ASSERT_EQ(pnp::setLowPower(bus_->node(port_), false), status::kSuccess);
    EXPECT_EQ(pending.get(), status::kSuccess);
    EXPECT_EQ(reply, 42u);
    EXPECT_EQ(held(), 0u);
    // Presented only after D0 entry.
    EXPECT_EQ(takeLog(), (Log{"d0 exit to d3", "in caller context", "in caller context", "d0 entry from d3", "queue"}));
    io::closeFile(file_);
}

TEST_F(PowerManagedQueueTest, RemovalCancelsHeldRequestsAndRefusesNewOnes)
{
    ASSERT_EQ(pnp::setLowPower(bus_->node(port_), true), status::kSuccess);
    uint32_t reply = 0;
    auto pending = sendQueued(reply);
    waitUntilHeld(1);
    bus_->unplug(port_);
    EXPECT_EQ(pending.get(), status::kCancelled);
    EXPECT_EQ(reply, 0u);
    uint32_t value = 1, bytes = 0;
    EXPECT_EQ(io::deviceIoControl(file_, kQueued, &value, 4, &reply, 4, &bytes, Caller{}),
              status::kInvalidDeviceState);
    EXPECT_EQ(takeLog(), (Log{"d0 exit to d3", "in caller context", "surprise removal", "release",
                              "in caller context"}));
    io::closeFile(file_);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

} // namespace
} // namespace kplat::testing
