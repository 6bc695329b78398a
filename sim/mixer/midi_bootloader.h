#pragma once
// The simulated mixer's firmware side on MIDI: 'r' takes the mixer's ports
// away and brings them back after a delay with its bootloader running; the
// bootloader's data channel ('s') drives the message-level Bootloader, and
// after the update's C1 the mixer restarts (ports away and back) as the
// application with the version it was programmed with; 'x' runs the
// flash-parameter unlock sequence and acknowledges each step.

#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/mixer/bootloader.h"
#include "sim/mixer/midi_mixer.h"

namespace orvo::sim {

class MidiMixerFirmware final : public MidiMixerBootloader {
public:
    struct FlashWrite {
        uint8_t command;
        uint32_t value;
        bool operator==(const FlashWrite&) const = default;
    };

    // Attaches itself to the mixer; `restartMs` is how long the mixer is away
    // when it restarts (real or virtual time of w32::clock()).
    MidiMixerFirmware(MidiMixer& mixer, uint32_t restartMs = 200);
    ~MidiMixerFirmware() override;

    Orvo::sim::Bootloader& bootloader() { return boot_; }
    void setComesBack(bool on);        // false: after 'r' the mixer never returns
    void setMissingAck(int step);      // 1..3: that 'x' step goes unacknowledged (0: none)
    unsigned enterRequests() const;    // 'r' messages received
    std::vector<FlashWrite> flashWrites() const; // parameter writes after both unlock steps
    void waitIdle();                   // until a restart in progress has ended

    void onEnterBootloader(MidiMixer& mixer, unsigned port) override;
    void onData(MidiMixer& mixer, unsigned port, const uint8_t* message, size_t length) override;
    void onFlashParam(MidiMixer& mixer, unsigned port, uint32_t value, uint8_t command) override;

private:
    void restart(bool intoBootloader);

    MidiMixer& mixer_;
    uint32_t restartMs_;
    Orvo::sim::Bootloader boot_;
    mutable std::mutex mutex_;
    std::thread restarter_;
    bool comesBack_ = true;
    int missingAck_ = 0;
    unsigned enters_ = 0;
    int unlockStep_ = 0;
    std::vector<FlashWrite> writes_;
};

} // namespace orvo::sim
