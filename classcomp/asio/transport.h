#pragma once
// Requests to the kernel driver through a device wrapper: I/O control with
// one retry and re-open, the device message, and the status record.

#include "classcomp/asio/device_wrapper.h"

#include <cstdint>

namespace orvo::asio {

inline constexpr int kRequestAttempts = 2;
inline constexpr uint32_t kReopenPauseMs = 20;
inline constexpr uint32_t kRetrySleepMs = 10;

// Up to two attempts. A failed first attempt re-opens the handle (unless
// noReopen), and so does a second one that failed for a bad command, a busy
// device or an invalid handle. Every request through a handle is preceded,
// once per handle, by the process-id message (selector 9) through that same
// handle.
bool WrappedDeviceIoctl(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t code, const void* input,
                        uint32_t inputLength, void* output, uint32_t outputLength);

// The 72-byte device message with a 64-byte payload (or zeros) and reply.
bool SendDeviceMessage(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t selector, uint32_t operation,
                       const uint8_t* payload, uint8_t* reply);
bool DeviceMessageValue(int slot, AudioDeviceInterfaceWrapper* wrapper, uint32_t selector, uint32_t operation,
                        uint32_t value, uint32_t* outValue);

// The status record, held by a lease. Without refresh a cached record that is
// not dead is returned without a request. A dead record (its device is gone)
// makes the wrapper replace its handle and fetch the new device's record once.
MappingLease GetAsioInfo(int slot, AudioDeviceInterfaceWrapper* wrapper, bool refresh = true);

} // namespace orvo::asio
