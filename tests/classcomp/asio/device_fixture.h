#pragma once
// The kernel driver with a simulated mixer, reached by the ASIO driver's
// transport from user mode: kernel and user-mode clocks both virtual.

#include "drive_fixture.h"
#include "mixer_fixture.h"

#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/device_wrapper.h"
#include "classcomp/asio/driver_threads.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/kernel/io_manager.h"
#include "platform/registry/registry.h"
#include "platform/win32/handles.h"
#include "sim/mixer/profile.h"

#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace orvo::asio::testing {

class DeviceFixture : public orvo::kernel::testing::MixerFixture, public DriveFixture {
protected:
    DeviceFixture()
    {
        // The class key every machine has, under which the kernel driver
        // registers each slot's class.
        reg::Registry& r = reg::Registry::machine();
        reg::KeyRef k;
        EXPECT_EQ(r.create(r.hiveRoot(reg::Hive::LocalMachine), u"Software\\Classes\\CLSID", false, k), reg::Error::Ok);
        InitDeviceSlotTable();
    }
    ~DeviceFixture() override
    {
        closeWrappers();
        // Every monitor has been told to end: none may outlive the machine
        // and the clock it uses.
        EXPECT_TRUE(driverThreadsEnded());
    }

    void closeWrappers()
    {
        for (auto& [slot, wrapper] : wrappers_)
            DeleteDeviceInterfaceWrapper(slot, wrapper);
        wrappers_.clear();
    }

    // Waits (in real time, moving nothing) until `done` or 20 s have passed.
    static bool waitFor(const std::function<bool()>& done)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    // Until no thread of the driver runs.
    static bool driverThreadsEnded()
    {
        return waitFor([] { return !DriverThreadsRunning(); });
    }

    // The first mixer on the bus: slot 0.
    orvo::kernel::DeviceContext* plugQx1600(uint32_t serial = 1000)
    {
        port_ = plugIn(mixerDevice_ ? *mixerDevice_ : *(mixerDevice_ = &make(sim::mixer::profiles::qx1600(), serial)));
        return context(port_);
    }
    void unplugMixer() { bus_->unplug(port_); }

    // A wrapper that is not listed under its slot, so no status monitor
    // runs beside the test's own requests.
    AudioDeviceInterfaceWrapper* openUnlisted(int slot = 0)
    {
        return keep(slot, uCreateOrvoAudioDeviceInterfaceWrapper(slot, false));
    }

    AudioDeviceInterfaceWrapper* keep(int slot, AudioDeviceInterfaceWrapper* wrapper)
    {
        if (wrapper)
            wrappers_.push_back({slot, wrapper});
        return wrapper;
    }
    void forget(AudioDeviceInterfaceWrapper* wrapper)
    {
        std::erase_if(wrappers_, [&](const auto& p) { return p.second == wrapper; });
    }

    // True when `address` can be read (a probe that does not fault).
    static bool readable(const void* address)
    {
        int fds[2];
        if (::pipe(fds) != 0)
            return false;
        const bool ok = ::write(fds[1], address, 1) == 1;
        ::close(fds[0]);
        ::close(fds[1]);
        return ok;
    }

    sim::mixer::UsbAudioDevice* mixerDevice_ = nullptr;
    uint32_t port_ = 0;
    std::vector<std::pair<int, AudioDeviceInterfaceWrapper*>> wrappers_;
};

} // namespace orvo::asio::testing
