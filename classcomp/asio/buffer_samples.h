#pragma once
// Buffer time in milliseconds to ASIO block frames, and back.

#include <cstdint>

namespace orvo::asio {

// The largest block the search may choose; the playback area of an AAsio is
// sized for 20 channels of it.
inline constexpr int32_t kMaxBlockFrames = 3000;

// Milliseconds of `frames` at `rate`, on the scale the block-size search
// compares against (0 when either is 0).
float SamplesToMillisecsScaled(uint32_t frames, uint32_t rate);

// Block frames for a buffer time: the first local minimum of the distance
// between the scaled length and the buffer time rounded down to whole
// 3 ms steps (3..48), searched upward from max(45, rate / 1000) and never
// past kMaxBlockFrames.
int32_t BufferSamplesForMillisecs(int32_t milliseconds, int32_t sampleRate);

} // namespace orvo::asio
