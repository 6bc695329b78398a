#include "sim/mixer/midi_bootloader.h"

#include "platform/win32/clock.h"

namespace orvo::sim {

namespace {
constexpr uint32_t kUnlock1 = 0x3E91D7A0u;
constexpr uint32_t kUnlock2 = 0x0B6C52F4u;
} // namespace

MidiMixerFirmware::MidiMixerFirmware(MidiMixer& mixer, uint32_t restartMs)
    : mixer_(mixer), restartMs_(restartMs),
      boot_(mixer.config().usbId, Orvo::sim::modelFlashLayout(mixer.config().usbId))
{
    mixer_.setBootloader(this);
}

MidiMixerFirmware::~MidiMixerFirmware()
{
    waitIdle();
    mixer_.setBootloader(nullptr);
}

void MidiMixerFirmware::setComesBack(bool on)
{
    std::lock_guard lock(mutex_);
    comesBack_ = on;
}

void MidiMixerFirmware::setMissingAck(int step)
{
    std::lock_guard lock(mutex_);
    missingAck_ = step;
}

unsigned MidiMixerFirmware::enterRequests() const
{
    std::lock_guard lock(mutex_);
    return enters_;
}

std::vector<MidiMixerFirmware::FlashWrite> MidiMixerFirmware::flashWrites() const
{
    std::lock_guard lock(mutex_);
    return writes_;
}

void MidiMixerFirmware::waitIdle()
{
    std::thread t;
    {
        std::lock_guard lock(mutex_);
        t = std::move(restarter_);
    }
    if (t.joinable())
        t.join();
}

// The ports go away and come back on a thread of their own, never inside the
// call that delivered the host's message.
void MidiMixerFirmware::restart(bool intoBootloader)
{
    waitIdle();
    std::lock_guard lock(mutex_);
    const bool back = comesBack_ || !intoBootloader;
    restarter_ = std::thread([this, intoBootloader, back] {
        mixer_.setPlugged(false);
        w32::Sleep(restartMs_);
        if (!back)
            return;
        if (intoBootloader) {
            mixer_.setBootloaderRunning(true);
        } else {
            const uint32_t v = boot_.applicationVersion();
            mixer_.setFirmwareVersion(static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                                      static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v));
            mixer_.setBootloaderRunning(false);
        }
        mixer_.setPlugged(true);
    });
}

void MidiMixerFirmware::onEnterBootloader(MidiMixer&, unsigned)
{
    {
        std::lock_guard lock(mutex_);
        ++enters_;
    }
    if (!mixer_.bootloaderRunning())
        restart(true);
}

void MidiMixerFirmware::onData(MidiMixer& mixer, unsigned port, const uint8_t* message, size_t length)
{
    if (!mixer.bootloaderRunning())
        return; // the application has no data channel
    boot_.setReplySink([&mixer, port](const uint8_t* b, size_t n) { mixer.sendData(port, b, n); });
    const bool wasRestarted = boot_.restarted();
    boot_.receive(message, length);
    if (boot_.restarted() && !wasRestarted)
        restart(false);
}

void MidiMixerFirmware::onFlashParam(MidiMixer& mixer, unsigned port, uint32_t value, uint8_t command)
{
    int step = 0;
    {
        std::lock_guard lock(mutex_);
        if (command == 1 && value == kUnlock1) {
            unlockStep_ = 1;
            step = 1;
        } else if (command == 2 && value == kUnlock2 && unlockStep_ == 1) {
            unlockStep_ = 2;
            step = 2;
        } else if ((command == 3 || command == 4) && unlockStep_ == 2) {
            unlockStep_ = 0;
            writes_.push_back({command, value});
            step = 3;
        } else {
            unlockStep_ = 0; // out of sequence: locked again, no acknowledgement
            return;
        }
        if (step == missingAck_)
            return;
    }
    mixer.sendFlashAck(port, value);
}

} // namespace orvo::sim
