#include "sim/mixer/playback_recorder.h"

namespace sim::mixer {

void PlaybackRecorder::enable(uint32_t channels, uint64_t maxFrames, uint64_t maxPackets) {
    channels_ = channels;
    maxFrames_ = maxFrames;
    maxPackets_ = maxPackets;
    frameCount_ = 0;
    dropped_ = 0;
    packets_.clear();
    packets_.reserve(static_cast<size_t>(maxPackets));
    // Sized up front: recording then only copies.
    samples_.assign(static_cast<size_t>(maxFrames * channels), 0);
}

void PlaybackRecorder::disable() { enable(0, 0, 0); }

} // namespace sim::mixer
