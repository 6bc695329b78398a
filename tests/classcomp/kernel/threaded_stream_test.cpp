#include "stream_fixture.h"

#include <chrono>
#include <thread>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;

class RealTimeStreamTest : public StreamFixture {};

TEST_F(RealTimeStreamTest, StreamsOnTheClockThreadAndUnplugsCleanly)
{
    start(48000, 2, false);
    addClient(96);
    kernelClock().useRealTime();
    uint64_t blocks = 0;
    for (int i = 0; i < 2000 && blocks < 20; ++i) { // generous: the machine may be busy
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        blocks = info().asioBlockCount();
    }
    // On a loaded machine the clock thread may fall behind a transfer's
    // start frame now and then: the stream resynchronises and goes on.
    EXPECT_GE(blocks, 20u);
    // The unplug races the clock thread's completions.
    bus_->unplug(port_);
    port_ = 0;
    kernelClock().useVirtual(0);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
