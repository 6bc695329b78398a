#pragma once
// The device functions that AAsio and the driver's threads share: open and
// release a slot's device wrapper, read and set the sample rate, push the
// buffer time to the kernel driver, and probe for the device.

#include "classcomp/asio/device_wrapper.h"

#include <cstdint>

namespace orvo::asio {

inline constexpr uint32_t kFallbackSampleRate = 96000;

AudioDeviceInterfaceWrapper* uOrvoAudioOpen(int slot);
void uOrvoAudioClose(int slot, AudioDeviceInterfaceWrapper* wrapper);
// The device's rate in Hz; 96000 when the device does not tell. Never 0.
uint32_t uOrvoAudioGetSampleRate(int slot, AudioDeviceInterfaceWrapper* wrapper);
// 0 when set, 1 when not.
int uOrvoAudioSetSampleRate(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t rate);
// Stores the buffer time for the user and sends block frames and buffer
// mode; 0 when both messages went through, 1 otherwise.
int uOrvoAudioSetKernelBufferMillisecs(int slot, AudioDeviceInterfaceWrapper* wrapper, int32_t milliseconds);
// Block frames and buffer mode for a buffer time, sent without storing it
// for the user; as above.
int PushKernelBufferMillisecs(int slot, AudioDeviceInterfaceWrapper* wrapper, int32_t milliseconds);
// The kernel's output delay mode for a buffer time.
uint32_t BufferModeForMillisecs(int32_t milliseconds);
bool IsDeviceAvailable(int slot);

} // namespace orvo::asio
