#pragma once
// What the driver reads from the registry about a device slot: the driver
// name under the slot's class entry, the interface GUID and serial number
// under the ASIO entry the kernel driver writes, and the user's buffer time
// and real-time switch under a per-user key named after the serial number.

#include "platform/win32/types.h"

#include <cstdint>
#include <string>

namespace orvo::asio {

inline constexpr uint32_t kDefaultBufferSizeMillisecs = 8;
inline constexpr uint32_t kMinBufferSizeMillisecs = 1;
inline constexpr uint32_t kMaxBufferSizeMillisecs = 50;

inline constexpr const char16_t* kBufferSizeMillisecsValue = u"BufferSizeMillisecs";
inline constexpr const char16_t* kIsRealTimeEnabledValue = u"IsRealTimeEnabled";

// The slot's class identifier in brace form, lower-case hexadecimal (empty
// for a slot outside the table).
std::u16string ClassIdText(int slot);

bool uRegistryTryReadDriverName(int slot, std::u16string& name);
bool TryGetDriverValue(const std::u16string& driverName, const char16_t* valueName, std::u16string& value);
bool uRegistryTryReadKernelInterfaceGuid(int slot, w32::GUID& guid);
// The per-user key of the slot's device (relative to HKEY_CURRENT_USER);
// each missing level is created.
bool TryGetDriverUserRegistryKeyName(int slot, std::u16string& keyName);

bool RegistrySetDriverUserValueInt(int slot, const char16_t* valueName, uint32_t value);
uint32_t RegistryReadDriverUserValueInt(int slot, const char16_t* valueName, uint32_t minimum, uint32_t maximum,
                                        uint32_t defaultValue);
uint32_t RegistryReadDriverUserGlobalValueInt(const char16_t* valueName, uint32_t defaultValue);

uint32_t RegistryReadBufferSizeMillisecs(int slot);
bool RegistrySetBufferSizeMillisecs(int slot, uint32_t milliseconds);
bool RegistryReadIsRealTimeEnabled(int slot);

} // namespace orvo::asio
