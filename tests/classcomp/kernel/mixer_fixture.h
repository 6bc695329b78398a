#pragma once
// The kernel driver with simulated mixers plugged into its bus, on the
// virtual clock.

#include "driver_fixture.h"

#include "classcomp/kernel/asio_info.h"
#include "sim/mixer/mixer.h"

#include <memory>
#include <string>
#include <vector>

namespace orvo::kernel::testing {

class MixerFixture : public DriverFixture {
protected:
    ~MixerFixture() override
    {
        if (!bus_)
            return;
        for (uint32_t port : ports_)
            if (bus_->device(port))
                bus_->unplug(port);
        // The bus goes before the devices it may still hold.
        bus_.reset();
    }

    // Makes a mixer (not yet plugged in).
    sim::mixer::UsbAudioDevice& make(const sim::mixer::Profile& profile, uint32_t serial = 1000)
    {
        mixers_.push_back(std::make_unique<sim::mixer::Mixer>(profile, serial));
        return mixers_.back()->usb('A');
    }
    uint32_t plugIn(kplat::usb::DeviceBackend& device)
    {
        uint32_t port = bus_->plug(device);
        ports_.push_back(port);
        return port;
    }
    // Makes and plugs a mixer in; the driver's context of it (null when the
    // driver refused it).
    DeviceContext* plugMixer(const sim::mixer::Profile& profile, uint32_t serial = 1000)
    {
        return context(plugIn(make(profile, serial)));
    }
    void advanceMs(uint64_t ms) { kplat::kernelClock().advance(kplat::msToTicks(ms)); }

    static AsioInfo info(DeviceContext* c) { return AsioInfo(c->asioInfo); }
    static std::u16string productName(DeviceContext* c)
    {
        return c->productName ? std::u16string(c->productName) : std::u16string();
    }
    // The zero-terminated names of a published list, in order.
    static std::vector<std::u16string> names(std::span<const uint8_t> area)
    {
        std::vector<std::u16string> out;
        std::u16string name;
        for (size_t i = 0; i + 1 < area.size(); i += 2) {
            char16_t ch = static_cast<char16_t>(area[i] | area[i + 1] << 8);
            if (ch == 0) {
                out.push_back(name);
                name.clear();
            } else {
                name += ch;
            }
        }
        // Trailing empty entries are unused space.
        while (!out.empty() && out.back().empty())
            out.pop_back();
        return out;
    }

    std::vector<std::unique_ptr<sim::mixer::Mixer>> mixers_;
    std::vector<uint32_t> ports_;
};

} // namespace orvo::kernel::testing
