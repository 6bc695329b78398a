#include "mixer/midi/midi_port.h"

#include "mixer/midi/midi_notifier.h"

#include <atomic>

namespace Orvo {

// Written by the service's thread, read by the notifier's thread.
struct MidiPortApi::DeviceChange {
    std::atomic<MidiDeviceChangeCallback> callback{nullptr};
    std::atomic<void*> userData{nullptr};
};

MidiPortApi::MidiPortApi() : deviceChange_(std::make_unique<DeviceChange>())
{
    notifierRegister(this);
}

MidiPortApi::~MidiPortApi()
{
    notifierUnregister(this);
}

void MidiPortApi::setDeviceChangeCallback(MidiDeviceChangeCallback callback, void* userData)
{
    deviceChange_->userData.store(userData, std::memory_order_relaxed);
    deviceChange_->callback.store(callback, std::memory_order_release);
}

MidiDeviceChangeCallback MidiPortApi::deviceChangeCallback() const
{
    return deviceChange_->callback.load(std::memory_order_acquire);
}

void* MidiPortApi::deviceChangeUserData() const
{
    return deviceChange_->userData.load(std::memory_order_relaxed);
}

} // namespace Orvo
