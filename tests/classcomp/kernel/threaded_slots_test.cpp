#include "driver_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace orvo::kernel::testing {
namespace {

class SlotThreadsTest : public DriverFixture {};

TEST_F(SlotThreadsTest, TakingAndFreeingSlotsIsAtomicAcrossDevices)
{
    std::array<std::atomic<int>, kSlotCount> holders{};
    std::atomic<int> doubleHeld{0};
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            uint32_t slot = TakeFreeSlot();
            ASSERT_NE(slot, kNoSlot);
            if (holders[slot].fetch_add(1) != 0)
                ++doubleHeld;
            holders[slot].fetch_sub(1);
            FreeSlot(slot);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back(work);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(doubleHeld, 0);
    EXPECT_EQ(SlotsInUse(), 0u);
}

} // namespace
} // namespace orvo::kernel::testing
