#include "sim/machine/basic_mixer.h"

namespace orvo::sim {

BasicMixer::BasicMixer()
{
    device_ = {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x71, 0x3A, 0x18, 0x00, 0x00, 0x01, 1, 2, 3, 1};
    config_ = {9, 2, 0, 0, 3, 1, 0, 0x80, 250,
               // control interface with its interrupt endpoint
               9, 4, 0, 0, 1, 1, 1, 0x20, 0, 7, 5, 0x83, 0x03, 6, 0, 4,
               // playback and record streaming interfaces
               9, 4, 1, 0, 0, 1, 2, 0x20, 0, 9, 4, 1, 1, 1, 1, 2, 0x20, 0,
               16, 0x24, 1, 9, 0, 1, 1, 0, 0, 0, 2, 0, 0, 0, 0, 10, 7, 5, 0x01, 0x05, 0x00, 0x04, 1,
               9, 4, 2, 0, 0, 1, 2, 0x20, 0, 9, 4, 2, 1, 1, 1, 2, 0x20, 0,
               16, 0x24, 1, 9, 0, 1, 1, 0, 0, 0, 2, 0, 0, 0, 0, 12, 7, 5, 0x82, 0x05, 0x00, 0x04, 1};
    config_[2] = static_cast<uint8_t>(config_.size());
}

std::optional<std::u16string> BasicMixer::stringDescriptor(uint8_t index, uint16_t langId) const
{
    if (langId != 0x0409)
        return std::nullopt;
    switch (index) {
    case 1: return u"Orvo";
    case 2: return u"Orvo Mixer";
    case 3: return u"0000000001";
    case 10: return u"Play 1";
    case 11: return u"Play 2";
    case 12: return u"Rec 1";
    case 13: return u"Rec 2";
    default: return std::nullopt;
    }
}

} // namespace orvo::sim
