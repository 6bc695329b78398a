#pragma once
// The device service's side of its own System Exclusive protocol: the
// own-protocol flag, the addressed id words, the flash acknowledgement and the
// data-channel mailbox, and the reception of the mixers' replies into them and
// into the device records.

#include "mixer/midi/device_directory.h"
#include "mixer/midi/mixer_protocol.h"
#include "mixer/midi/sysex_mailbox.h"

#include <atomic>
#include <cstdint>

namespace Orvo {

class OwnProtocol {
public:
    static constexpr uint32_t kNoDevice = 0xFFFFFFFF;

    explicit OwnProtocol(DeviceDirectory& devices) : devices_(devices) {}

    // Service thread: a System Exclusive payload arrived while `openPair` was
    // open. True when the service keeps it; false when it goes to the SysEx
    // listeners.
    bool receive(uint32_t idWord, const uint8_t* payload, size_t length, MidiPortPair* openPair);

    bool active() const { return active_.load(); }
    void setActive(bool on) { active_.store(on); }

    // The device an 's' or 'x' exchange is addressed to; kNoDevice when none.
    void address(uint32_t idA, uint32_t idB)
    {
        idA_.store(idA);
        idB_.store(idB);
    }
    uint32_t addressedA() const { return idA_.load(); }
    uint32_t addressedB() const { return idB_.load(); }

    bool acknowledged() const { return ack_.load(); }
    void clearAcknowledged() { ack_.store(false); }

    SysExMailbox& mailbox() { return mailbox_; }

private:
    DeviceDirectory& devices_;
    std::atomic<bool> active_{false};
    std::atomic<bool> ack_{false};
    std::atomic<uint32_t> idA_{kNoDevice};
    std::atomic<uint32_t> idB_{kNoDevice};
    SysExMailbox mailbox_;
    uint8_t scratch_[kMaxSysExPayload] = {}; // service thread only
};

} // namespace Orvo
