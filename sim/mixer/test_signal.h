#pragma once
// The samples the simulated mixer records, so that a test can check every
// sample that reaches the host: the top byte tags the channel (channel + 1),
// the low 24 bits are the device's absolute frame index modulo 2^24.

#include <cstdint>

namespace sim::mixer {

inline constexpr uint32_t kSignalFrameMask = 0x00FFFFFF;

inline constexpr uint32_t recordSample(uint32_t channel, uint64_t frame) {
    return (channel + 1) << 24 | static_cast<uint32_t>(frame & kSignalFrameMask);
}

// The channel a sample was recorded on, or -1 for a sample the device never
// sends (silence, stale memory).
inline constexpr int32_t sampleChannel(uint32_t sample) { return static_cast<int32_t>(sample >> 24) - 1; }

inline constexpr uint32_t sampleFrameBits(uint32_t sample) { return sample & kSignalFrameMask; }

} // namespace sim::mixer
