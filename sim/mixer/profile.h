#pragma once
// What a simulated mixer is: its USB identity, its two streaming directions
// and the sample rates its clock offers. Built-in profiles cover the two
// models and the shapes the driver has to cope with.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim::mixer {

inline constexpr uint16_t kOrvoVendorId = 0x3A71;
inline constexpr uint16_t kProductQx1600 = 0x0018;
inline constexpr uint16_t kProductZr90Alpha = 0x0019;

// One clock subrange as the range request lists it. Discrete when
// min == max and res == 0.
struct RateRange {
    uint32_t min = 0;
    uint32_t max = 0;
    uint32_t res = 0;

    bool discrete() const { return min == max && res == 0; }
    bool contains(uint32_t rate) const;
};

// One streaming direction. Playback is host to mixer (OUT), record is mixer
// to host (IN).
struct StreamFormat {
    std::vector<std::u16string> channelNames; // one per channel; the count is its size
    bool floatSamples = false;                // bmFormats IEEE float instead of PCM

    uint32_t channels() const { return static_cast<uint32_t>(channelNames.size()); }
};

struct Profile {
    std::string key; // short name for tests and logs
    uint16_t vendorId = kOrvoVendorId;
    uint16_t productId = kProductQx1600;
    uint16_t bcdDevice = 0x0105;
    std::u16string manufacturer = u"Orvo Works";
    std::u16string product;
    StreamFormat playback;
    StreamFormat record;
    std::vector<RateRange> rates; // in the order the range request reports them
    uint32_t initialRate = 48000;

    uint32_t usbId() const { return static_cast<uint32_t>(vendorId) << 16 | productId; }
    bool supportsRate(uint32_t rate) const;
    uint32_t highestRate() const;
};

// Names "<prefix> 1", "<prefix> 2", ...
std::vector<std::u16string> numberedNames(std::u16string_view prefix, uint32_t count);
// The discrete rates most interfaces offer: 44.1, 48, 88.2, 96, 176.4, 192 kHz.
std::vector<RateRange> standardRates();

namespace profiles {
// The two models.
Profile qx1600();    // four-deck mixer: 16 record, 16 playback channels
Profile zr90Alpha(); // two-deck mixer: 10 record, 8 playback channels

// Shapes for driver tests.
Profile asymmetric();      // 6 record, 2 playback channels
Profile maxChannels();     // 20 channels each way, the most the clients handle
Profile floatFormat();     // 32-bit float samples both ways
Profile manySubranges();   // 20 discrete rates: more than a 182-byte range reply holds
Profile continuousRange(); // 44.1k discrete, 48k..96k continuous, 96k discrete
Profile highRates();       // rates above 192 kHz alongside the usual ones

// Devices the driver must refuse or cut down safely.
Profile tooManyChannels(); // 64 channels each way
Profile nameOverflow();    // 24 channels each way with 126-character names (> 5,100 bytes)
Profile oversizePackets(); // 240 channels each way: one transfer outgrows its buffer

// All of the above, for table-driven tests.
std::vector<Profile> all();
} // namespace profiles

} // namespace sim::mixer
