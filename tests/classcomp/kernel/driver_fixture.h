#pragma once
// The kernel driver loaded on a fresh kernel side with a USB bus.

#include "kernel_fixture.h"
#include "test_usb_device.h"

#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/device_slots.h"
#include "classcomp/kernel/driver.h"
#include "platform/kernel/usb_bus.h"
#include "platform/registry/registry.h"

#include <unistd.h>

#include <filesystem>
#include <string>

#include <deque>
#include <memory>

namespace orvo::kernel::testing {

class DriverFixture : public kplat::testing::KernelFixture {
protected:
    DriverFixture()
    {
        // The driver writes the machine's registry: give each test its own.
        registryRoot_ = std::filesystem::temp_directory_path() /
                        ("orvo-kernel-registry-" + std::to_string(::getpid()) + "-" +
                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(registryRoot_);
        reg::Registry::setMachineRoot(registryRoot_);
        EXPECT_EQ(kplat::pnp::loadDriver(&DriverEntry, u"OrvoUAC2"), kplat::status::kSuccess);
        bus_ = std::make_unique<kplat::usb::HostController>();
    }
    ~DriverFixture() override
    {
        bus_.reset();
        kplat::pnp::unloadDriver();
        std::filesystem::remove_all(registryRoot_);
    }

    // Plugs a new device in; returns its port.
    uint32_t plug()
    {
        devices_.emplace_back();
        return bus_->plug(devices_.back());
    }
    DeviceContext* context(uint32_t port)
    {
        kplat::Device* device = bus_->device(port);
        return device ? GetDeviceContext(*device) : nullptr;
    }

    std::filesystem::path registryRoot_;
    std::deque<kplat::testing::TestUsbDevice> devices_;
    std::unique_ptr<kplat::usb::HostController> bus_;
};

} // namespace orvo::kernel::testing
