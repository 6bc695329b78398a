#pragma once
// How a device record's state follows the descriptor replies of its mixer.
// States: 0 removed, 1 application running, 2 bootloader, 3 updating.

#include <cstdint>

namespace Orvo {

struct DescriptorStateChange {
    uint8_t state; // the record's state afterwards
    bool event;    // whether the change is delivered to the device listeners
};

// A 'q' reply reached a record in state `state` (0 for a record just made or
// found again). `fromBootloader`: the reply's firmware major byte is 0.
// `parked`: the record is the one set aside for our own firmware update.
//
// An application record answering from its bootloader is updating only when
// it is the parked one; any other such record was restarted by other means
// and is plainly in its bootloader, or it would stay "updating" for ever.
constexpr DescriptorStateChange descriptorStateChange(uint8_t state, bool fromBootloader, bool parked)
{
    uint8_t next = fromBootloader ? 2 : 1;
    if (state == next || state == 3)
        return {state, false};
    if (state == 1 && next == 2 && parked)
        next = 3;
    return {next, true};
}

} // namespace Orvo
