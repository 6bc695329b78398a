#pragma once
// A mixer that lies to the kernel driver: a simulated mixer whose
// descriptors, control replies, isochronous packet lengths and interrupt
// messages are replaced, call by call, by bytes from a script. While the
// script lasts, each call takes one byte that decides whether the mixer
// answers faithfully or with script bytes; once it runs out the mixer is
// faithful, so a short input still reaches streaming.

#include "platform/kernel/usb_device_backend.h"
#include "sim/mixer/usb_audio_device.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvo::kernel::testing {

struct ByteScript {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
};

class HostileMixer final : public kplat::usb::DeviceBackend {
public:
    HostileMixer(sim::mixer::UsbAudioDevice& real, ByteScript& script) : real_(real), script_(script)
    {
        auto device = real.deviceDescriptor();
        device_.assign(device.begin(), device.end());
        auto config = real.configurationDescriptor();
        config_.assign(config.begin(), config.end());
    }

    // Rewrites the descriptors from the script; done before plugging in.
    void lieAboutDescriptors()
    {
        // A script that has run out tells no lie (byte() gives 0 then, which
        // would mean an empty configuration of the script's own).
        if (script_.done())
            return;
        for (int n = script_.byte() % 4; n > 0 && !script_.done(); --n) {
            const uint8_t offset = script_.byte() % static_cast<uint8_t>(device_.size());
            device_[offset] = script_.byte();
        }
        if (script_.done())
            return;
        const uint8_t mode = script_.byte();
        if (mode < 0x20) { // a configuration of the script's own
            config_.resize(script_.u16() % 600);
            for (uint8_t& b : config_)
                b = script_.byte();
            return;
        }
        for (int n = mode % 16; n > 0 && !script_.done(); --n) {
            const size_t offset = script_.u16() % config_.size();
            config_[offset] = script_.byte();
        }
        if (mode >= 0xF0)
            config_.resize(script_.u16() % (config_.size() + 1));
    }

    std::span<const uint8_t> deviceDescriptor() const override { return device_; }
    std::span<const uint8_t> configurationDescriptor() const override { return config_; }
    bool highSpeed() const override { return real_.highSpeed(); }

    std::optional<std::u16string> stringDescriptor(uint8_t index, uint16_t langId) const override
    {
        const uint8_t what = script_.byte();
        if (script_.done() || what >= 0x40)
            return real_.stringDescriptor(index, langId);
        if (what < 0x08)
            return std::nullopt;
        std::u16string text(script_.byte() % 130, u'\0');
        for (char16_t& c : text)
            c = script_.u16();
        return text;
    }

    kplat::usb::ControlResult controlTransfer(const kplat::usb::SetupPacket& setup, std::span<uint8_t> data) override
    {
        const uint8_t what = script_.byte();
        if (script_.done() || what >= 0x60)
            return real_.controlTransfer(setup, data);
        // The device answers with any status and claims any length; it fills
        // at most the room it was given.
        const auto status = static_cast<kplat::usb::DeviceStatus>(what % 4);
        const uint32_t length = what < 0x30 ? script_.byte() : script_.u16();
        for (size_t i = 0; i < std::min<size_t>(length, data.size()); ++i)
            data[i] = script_.byte();
        return {status, length};
    }

    void setConfiguration(uint8_t value) override { real_.setConfiguration(value); }
    void setInterface(uint8_t number, uint8_t alternate) override { real_.setInterface(number, alternate); }

    kplat::usb::IsochPacketResult isochIn(uint8_t endpoint, uint64_t microframe, std::span<uint8_t> packet) override
    {
        auto result = real_.isochIn(endpoint, microframe, packet);
        const uint8_t what = script_.byte();
        if (script_.done() || what >= 0x20)
            return result;
        // Any length (a packet longer than its room, a part frame) and status.
        const uint32_t length = what < 0x10 ? script_.byte() : script_.u16();
        return {static_cast<kplat::usb::DeviceStatus>(what % 4), length};
    }

    kplat::usb::IsochPacketResult isochOut(uint8_t endpoint, uint64_t microframe,
                                           std::span<const uint8_t> packet) override
    {
        auto result = real_.isochOut(endpoint, microframe, packet);
        const uint8_t what = script_.byte();
        if (script_.done() || what >= 0x10)
            return result;
        return {static_cast<kplat::usb::DeviceStatus>(what % 4), script_.u16()};
    }

    std::optional<std::vector<uint8_t>> interruptIn(uint8_t endpoint) override
    {
        auto message = real_.interruptIn(endpoint);
        const uint8_t what = script_.byte();
        if (script_.done() || what >= 0x30)
            return message;
        if (what >= 0x20) { // the rate knob turns to any rate, announced or not
            const uint32_t rate = what & 1 ? 44100u << (script_.byte() % 3) : 48000u << (script_.byte() % 3);
            if (what & 2)
                real_.changeRateSilently(script_.u16() * 4u);
            else
                real_.changeRateFromPanel(rate);
            return real_.interruptIn(endpoint);
        }
        // A message of any length, the empty one included.
        std::vector<uint8_t> lie(what % 10);
        for (uint8_t& b : lie)
            b = script_.byte();
        return lie;
    }

    bool attached() const override { return real_.attached(); }

private:
    sim::mixer::UsbAudioDevice& real_;
    ByteScript& script_;
    std::vector<uint8_t> device_;
    std::vector<uint8_t> config_;
};

} // namespace orvo::kernel::testing
