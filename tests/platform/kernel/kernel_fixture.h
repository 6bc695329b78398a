#pragma once
// A clean kernel side for each test: virtual clock at 0, no faults armed,
// violations thrown as StrictnessViolation.

#include "platform/kernel/clock.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/level.h"

#include <gtest/gtest.h>

namespace kplat::testing {

class KernelFixture : public ::testing::Test {
protected:
    KernelFixture()
    {
        kernelClock().useVirtual(0);
        disarmFaults();
        resetTimerResolution();
    }
    ~KernelFixture() override
    {
        disarmFaults();
        EXPECT_EQ(currentLevel(), Level::Passive);
    }

    ViolationTrap trap_;
};

} // namespace kplat::testing
