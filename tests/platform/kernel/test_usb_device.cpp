#include "test_usb_device.h"

#include <algorithm>
#include <cstring>

namespace kplat::testing {

namespace {
void put16(std::vector<uint8_t>& v, uint16_t x)
{
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void streamingInterface(std::vector<uint8_t>& c, uint8_t number, uint8_t endpoint, uint8_t channels,
                        uint16_t maxPacket)
{
    // Alternate setting 0: no endpoint.
    c.insert(c.end(), {9, 4, number, 0, 0, 1, 2, 0x20, 0});
    // Alternate setting 1: AS_GENERAL and one isochronous endpoint.
    c.insert(c.end(), {9, 4, number, 1, 1, 1, 2, 0x20, 0});
    c.insert(c.end(), {16, 0x24, 1, 9, 0, 1, 1, 0, 0, 0, channels, 0, 0, 0, 0, 10});
    c.insert(c.end(), {7, 5, endpoint, 0x05});
    put16(c, maxPacket);
    c.push_back(1);
}
} // namespace

TestUsbDevice::TestUsbDevice(const Options& options) : options_(options)
{
    device_ = {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64};
    put16(device_, options.vendor);
    put16(device_, options.product);
    put16(device_, 0x0100);
    device_.insert(device_.end(), {1, 2, 3, 1});

    std::vector<uint8_t> c = {9, 2, 0, 0, 3, 1, 0, 0x80, 250};
    c.insert(c.end(), {9, 4, 0, 0, 1, 1, 1, 0x20, 0});
    c.insert(c.end(), {7, 5, kInterruptEndpoint, 0x03, 8, 0, 4});
    streamingInterface(c, 1, kPlaybackEndpoint, options.channels, options.isochMaxPacket);
    streamingInterface(c, 2, kRecordEndpoint, options.channels, options.isochMaxPacket);
    c[2] = static_cast<uint8_t>(c.size());
    c[3] = static_cast<uint8_t>(c.size() >> 8);
    config_ = c;
}

std::optional<std::u16string> TestUsbDevice::stringDescriptor(uint8_t index, uint16_t langId) const
{
    if (langId != 0x0409)
        return std::nullopt;
    switch (index) {
    case 1: return u"Test Maker";
    case 2: return u"Test Mixer";
    case 3: return u"0000004711";
    default: return index >= 10 && index < 10 + options_.channels ? std::optional<std::u16string>(u"Ch") : std::nullopt;
    }
}

usb::ControlResult TestUsbDevice::controlTransfer(const usb::SetupPacket& setup, std::span<uint8_t> data)
{
    {
        std::lock_guard lock(mutex_);
        calls_.push_back("control " + std::to_string(setup.bRequest));
    }
    if (onControl)
        return onControl(setup, data);
    return {usb::DeviceStatus::Stall, 0};
}

void TestUsbDevice::setConfiguration(uint8_t value)
{
    std::lock_guard lock(mutex_);
    calls_.push_back("configuration " + std::to_string(value));
}

void TestUsbDevice::setInterface(uint8_t interfaceNumber, uint8_t alternateSetting)
{
    std::lock_guard lock(mutex_);
    calls_.push_back("interface " + std::to_string(interfaceNumber) + " " + std::to_string(alternateSetting));
}

usb::IsochPacketResult TestUsbDevice::isochIn(uint8_t, uint64_t microframe, std::span<uint8_t> packet)
{
    std::lock_guard lock(mutex_);
    if (options_.recordOut)
        in_.push_back(microframe);
    if (zeroLengthIn && zeroLengthIn(microframe))
        return {usb::DeviceStatus::Ok, 0};
    if (options_.sampleRate) {
        inAccumulator_ += options_.sampleRate;
        uint64_t frames = inAccumulator_ / 8000;
        inAccumulator_ %= 8000;
        uint32_t frameBytes = options_.channels * 4u;
        frames = std::min<uint64_t>(frames, packet.size() / frameBytes);
        for (uint64_t f = 0; f < frames; ++f, ++inFrames_)
            for (uint32_t c = 0; c < options_.channels; ++c) {
                uint32_t v = streamSample(inFrames_, c);
                std::memcpy(packet.data() + f * frameBytes + c * 4, &v, 4);
            }
        return {usb::DeviceStatus::Ok, static_cast<uint32_t>(frames * frameBytes)};
    }
    uint32_t n = std::min<uint32_t>(options_.inPacketBytes, static_cast<uint32_t>(packet.size()));
    for (uint32_t i = 0; i < n; ++i)
        packet[i] = inByte(microframe, i);
    return {usb::DeviceStatus::Ok, n};
}

usb::IsochPacketResult TestUsbDevice::isochOut(uint8_t, uint64_t microframe, std::span<const uint8_t> packet)
{
    std::lock_guard lock(mutex_);
    if (options_.recordOut)
        out_.push_back({microframe, std::vector<uint8_t>(packet.begin(), packet.end())});
    return {usb::DeviceStatus::Ok, static_cast<uint32_t>(packet.size())};
}

std::optional<std::vector<uint8_t>> TestUsbDevice::interruptIn(uint8_t)
{
    std::lock_guard lock(mutex_);
    if (interrupts_.empty())
        return std::nullopt;
    auto message = interrupts_.front();
    interrupts_.pop_front();
    return message;
}

void TestUsbDevice::queueInterrupt(std::vector<uint8_t> message)
{
    std::lock_guard lock(mutex_);
    interrupts_.push_back(std::move(message));
}

std::vector<TestUsbDevice::OutPacket> TestUsbDevice::outPackets() const
{
    std::lock_guard lock(mutex_);
    return out_;
}

std::vector<uint64_t> TestUsbDevice::inMicroframes() const
{
    std::lock_guard lock(mutex_);
    return in_;
}

std::vector<std::string> TestUsbDevice::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

} // namespace kplat::testing
