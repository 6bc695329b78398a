#pragma once
// Misbehaviour a simulated mixer can be told to show.

#include "platform/kernel/usb_device_backend.h"

#include <cstdint>
#include <limits>
#include <optional>

namespace sim::mixer {

// A set of microframes: every `every`-th one from `from` up to (not including)
// `until`. every == 0 is the empty set.
struct PacketPattern {
    uint32_t every = 0;
    uint64_t from = 0;
    uint64_t until = std::numeric_limits<uint64_t>::max();

    bool hits(uint64_t microframe) const {
        return every != 0 && microframe >= from && microframe < until && (microframe - from) % every == 0;
    }
    bool empty() const { return every == 0 || from >= until; }

    static PacketPattern periodic(uint32_t every, uint64_t from = 0) { return {every, from}; }
    // Every microframe in [from, until): with packets failing that long, whole
    // transfers fail.
    static PacketPattern window(uint64_t from, uint64_t until) { return {1, from, until}; }
};

struct Faults {
    bool fullSpeed = false;                // enumerated at full speed
    std::optional<uint16_t> vendorId;      // a foreign vendor id in the device descriptor
    bool clockInvalid = false;             // clock-valid reads 0; IN packets carry nothing
    int32_t driftPpm = 0;                  // the sample clock runs at rate × (1 + ppm / 10^6)
    uint32_t lateStartMicroframes = 0;     // empty IN packets this long after the record interface starts
    PacketPattern inZeroLength;            // IN packets sent empty
    PacketPattern inFailed;                // IN packets lost with `packetFailure`
    PacketPattern outFailed;               // OUT packets refused with `packetFailure`
    kplat::usb::DeviceStatus packetFailure = kplat::usb::DeviceStatus::Error;
    uint32_t failControlRequests = 0;      // the next this many class requests fail...
    kplat::usb::DeviceStatus controlFailure = kplat::usb::DeviceStatus::Stall; // ...with this
};

} // namespace sim::mixer
