#pragma once
// Bounded record of what the host played: each OUT packet's microframe and
// frame count, and its samples. Storage is reserved up front so that
// recording costs a copy per packet and nothing more; once full it stops and
// counts what it dropped.

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace sim::mixer {

class PlaybackRecorder {
public:
    struct Packet {
        uint64_t microframe = 0;
        uint64_t firstFrame = 0; // index of its first frame among all recorded frames
        uint32_t frames = 0;
    };

    // Start recording into fresh storage for at most `maxFrames` frames of
    // `channels` samples and `maxPackets` packets. maxPackets 0 disables.
    void enable(uint32_t channels, uint64_t maxFrames, uint64_t maxPackets);
    void disable();
    bool enabled() const { return maxPackets_ != 0; }

    // `data` holds `frames` frames of 32-bit little-endian samples.
    void record(uint64_t microframe, const uint8_t* data, uint32_t frames) {
        if (maxPackets_ == 0)
            return;
        if (packets_.size() == maxPackets_ || frameCount_ + frames > maxFrames_) {
            ++dropped_;
            return;
        }
        packets_.push_back({microframe, frameCount_, frames});
        uint32_t* to = samples_.data() + frameCount_ * channels_;
        const size_t n = static_cast<size_t>(frames) * channels_;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(to, data, n * 4);
        } else {
            for (size_t i = 0; i < n; ++i, data += 4)
                to[i] = uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 |
                        uint32_t{data[3]} << 24;
        }
        frameCount_ += frames;
    }

    std::span<const Packet> packets() const { return packets_; }
    uint64_t frames() const { return frameCount_; }
    uint64_t droppedPackets() const { return dropped_; }
    uint32_t channels() const { return channels_; }
    // Sample of `channel` in recorded frame `frame` (counting across packets).
    uint32_t sample(uint64_t frame, uint32_t channel) const {
        return samples_[static_cast<size_t>(frame * channels_ + channel)];
    }
    std::span<const uint32_t> samples() const { return std::span<const uint32_t>(samples_).first(frameCount_ * channels_); }

private:
    uint32_t channels_ = 0;
    uint64_t maxFrames_ = 0;
    uint64_t maxPackets_ = 0;
    uint64_t frameCount_ = 0;
    uint64_t dropped_ = 0;
    std::vector<Packet> packets_;
    std::vector<uint32_t> samples_;
};

} // namespace sim::mixer
