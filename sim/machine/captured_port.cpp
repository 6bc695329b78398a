#include "sim/machine/captured_port.h"

#include <utility>

namespace orvo::machine {

void CapturedPort::startCapture(uint64_t frames, uint64_t packets)
{
    sim::mixer::PlaybackRecorder fresh;
    fresh.enable(channels_, frames, packets); // sized here, not under the packet path's lock
    std::lock_guard lock(mutex_);
    std::swap(capture_, fresh);
}

sim::mixer::PlaybackRecorder CapturedPort::takeCapture()
{
    sim::mixer::PlaybackRecorder taken;
    {
        std::lock_guard lock(mutex_);
        std::swap(capture_, taken);
    }
    return taken;
}

kplat::usb::IsochPacketResult CapturedPort::isochOut(uint8_t endpointAddress, uint64_t microframe,
                                                     std::span<const uint8_t> packet)
{
    const kplat::usb::IsochPacketResult result = device_.isochOut(endpointAddress, microframe, packet);
    const uint32_t frameBytes = 4 * channels_;
    if (result.status == kplat::usb::DeviceStatus::Ok && frameBytes != 0) {
        std::lock_guard lock(mutex_);
        capture_.record(microframe, packet.data(), result.length / frameBytes);
    }
    return result;
}

} // namespace orvo::machine
