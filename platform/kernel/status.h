#pragma once
// Kernel status codes as the driver sees them. Negative values are errors,
// zero and positive values success or information, as on the real platform.

#include <cstdint>

namespace kplat {

using Status = int32_t;

constexpr Status statusFromBits(uint32_t bits) { return static_cast<Status>(bits); }
constexpr bool succeeded(Status s) { return s >= 0; }
constexpr bool failed(Status s) { return s < 0; }

namespace status {
constexpr Status kSuccess = 0;
constexpr Status kTimeout = 0x00000102;              // a wait ran out
constexpr Status kPending = 0x00000103;
constexpr Status kUuidLocalOnly = statusFromBits(0x40020056); // a UUID unique only on this machine
constexpr Status kBufferOverflow = statusFromBits(0x80000005);
constexpr Status kUnsuccessful = statusFromBits(0xC0000001);
constexpr Status kNotImplemented = statusFromBits(0xC0000002);
constexpr Status kInvalidHandle = statusFromBits(0xC0000008);
constexpr Status kInvalidParameter = statusFromBits(0xC000000D);
constexpr Status kNoSuchDevice = statusFromBits(0xC000000E);
constexpr Status kInvalidDeviceRequest = statusFromBits(0xC0000010);
constexpr Status kAccessDenied = statusFromBits(0xC0000022);
constexpr Status kBufferTooSmall = statusFromBits(0xC0000023);
constexpr Status kObjectTypeMismatch = statusFromBits(0xC0000024);
constexpr Status kObjectNameNotFound = statusFromBits(0xC0000034);
constexpr Status kProcedureNotFound = statusFromBits(0xC000007A);
constexpr Status kInsufficientResources = statusFromBits(0xC000009A);
constexpr Status kDeviceNotConnected = statusFromBits(0xC000009D);
constexpr Status kIoTimeout = statusFromBits(0xC00000B5);
constexpr Status kInternalError = statusFromBits(0xC00000E5);
constexpr Status kCancelled = statusFromBits(0xC0000120);
constexpr Status kCannotDelete = statusFromBits(0xC0000121);
constexpr Status kDeviceConfigurationError = statusFromBits(0xC0000182);
constexpr Status kInvalidDeviceState = statusFromBits(0xC0000184);
constexpr Status kRetry = statusFromBits(0xC000022D);
constexpr Status kNotFound = statusFromBits(0xC0000225);
} // namespace status

} // namespace kplat
