#include "sim/mixer/mixer.h"

#include <stdexcept>

namespace sim::mixer {

Mixer::Mixer(const Profile& profile, uint32_t serialNumber, unsigned ports)
    : profile_(profile), serialNumber_(serialNumber) {
    if (ports < 1 || ports > 2)
        throw std::invalid_argument("a mixer has one or two USB ports");
    for (unsigned i = 0; i < ports; ++i)
        usb_.push_back(std::make_unique<UsbAudioDevice>(profile_, serialNumber_, static_cast<char>('A' + i)));
}

Mixer::~Mixer() = default;

bool Mixer::hasPort(char letter) const { return letter >= 'A' && static_cast<unsigned>(letter - 'A') < usb_.size(); }

UsbAudioDevice& Mixer::usb(char letter) {
    if (!hasPort(letter))
        throw std::out_of_range("no such USB port on this mixer");
    return *usb_[static_cast<size_t>(letter - 'A')];
}

const UsbAudioDevice& Mixer::usb(char letter) const { return const_cast<Mixer*>(this)->usb(letter); }

} // namespace sim::mixer
