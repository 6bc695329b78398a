#pragma once
// USB configuration of a device: vendor and speed checks, product and serial
// strings, the streaming interfaces and the selection of the configuration.

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"

#include <span>

namespace orvo::kernel {

inline constexpr uint16_t kOrvoVendorId = 0x3A71;
// Room after a product name for its duplicate-number suffix, in bytes.
inline constexpr uint32_t kNameSpareBytes = 20;

kplat::Status EvtDevicePrepareHardware(kplat::Device& device);
kplat::Status CheckVendorAndConfigure(kplat::Device& device);
// Parses the configuration once, then selects it with its pipes; with
// `reselect` the sample rate is changed between the two selection passes.
kplat::Status ConfigureDevice(kplat::Device& device, bool reselect);
kplat::Status SelectConfigAndPipes(kplat::Device& device, bool reselect);

// What the AS_GENERAL descriptor of streaming interface `interfaceNumber`
// (alternate setting 1) says. Outputs stay as they were when the interface
// or its descriptor is missing. The names go into `names` one after another,
// cut short where the area ends.
void ParseAudioStreamingInterface(DeviceContext* context, const uint8_t* descriptor, size_t length,
                                  uint8_t interfaceNumber, uint8_t* floatFlag, uint32_t* channelCount,
                                  std::span<uint8_t, asio_info::kChannelNamesBytes> names);
// Appends string `index` to the list; a string that cannot be read gives an
// empty name, so that the names keep their channel positions.
void ReadChannelName(DeviceContext* context, uint8_t index, ChannelNameList& list);

// Sum of k × character[k] over k = 1 .. count − 1.
uint32_t ProductNameHash(const char16_t* name, uint32_t count);

} // namespace orvo::kernel
