#pragma once
// Small conveniences for driving a simulated mixer the way the bus would.

#include "sim/mixer/descriptors.h"
#include "sim/mixer/uac2.h"
#include "sim/mixer/usb_audio_device.h"

#include <cstdint>
#include <vector>

namespace sim::mixer::testing {

using kplat::usb::ControlResult;
using kplat::usb::DeviceStatus;
using kplat::usb::SetupPacket;

inline uint32_t le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline SetupPacket clockRequest(bool in, uint8_t request, uint8_t selector, uint16_t length,
                                uint8_t entity = kPlaybackUsbTerminalId) {
    return {static_cast<uint8_t>(in ? 0xA1 : 0x21), request, static_cast<uint16_t>(selector << 8),
            static_cast<uint16_t>(entity << 8), length};
}

struct Reply {
    ControlResult result;
    std::vector<uint8_t> data;
};

inline Reply get(UsbAudioDevice& dev, const SetupPacket& setup) {
    Reply r{{}, std::vector<uint8_t>(setup.wLength, 0xEE)};
    r.result = dev.controlTransfer(setup, r.data);
    return r;
}

inline std::optional<uint32_t> readRate(UsbAudioDevice& dev, uint8_t entity = kPlaybackUsbTerminalId) {
    Reply r = get(dev, clockRequest(true, uac2::kRequestCur, uac2::kCsSamFreqControl, 4, entity));
    if (r.result.status != DeviceStatus::Ok || r.result.length != 4)
        return std::nullopt;
    return le32(r.data.data());
}

inline ControlResult setRate(UsbAudioDevice& dev, uint32_t rate) {
    uint8_t data[4] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate >> 16),
                       static_cast<uint8_t>(rate >> 24)};
    return dev.controlTransfer(clockRequest(false, uac2::kRequestCur, uac2::kCsSamFreqControl, 4), data);
}

// Configured, with both streaming interfaces at alternate setting 1.
inline void startStreaming(UsbAudioDevice& dev) {
    dev.setConfiguration(kConfigurationValue);
    dev.setInterface(kPlaybackInterface, 1);
    dev.setInterface(kRecordInterface, 1);
}

// The host's packet buffer for one microframe, sized as the driver sizes it:
// one frame more than the nominal frames per microframe.
inline uint32_t driverPacketBytes(uint32_t rate, uint32_t channels) {
    return ((rate * channels * 4 / 1000) / 8 / (channels * 4) + 1) * channels * 4;
}

} // namespace sim::mixer::testing
