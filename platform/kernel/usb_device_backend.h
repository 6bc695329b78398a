#pragma once
// The device side of the simulated USB bus: what a USB device plugged into the
// kernel stand-in's bus must answer. The bus (host controller and USB stack
// stand-in) calls these; a simulated device implements them. Nothing in the
// kernel driver sees this interface.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kplat::usb {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// Outcome of one transaction as the device reports it.
enum class DeviceStatus : uint8_t {
    Ok,
    Stall,      // request not supported / protocol error
    NoResponse, // device did not answer (timeout on the bus)
    Error,      // CRC / bit-stuff style transmission error
};

struct ControlResult {
    DeviceStatus status = DeviceStatus::Ok;
    uint32_t length = 0; // bytes the device returned (IN) or accepted (OUT)
};

struct IsochPacketResult {
    DeviceStatus status = DeviceStatus::Ok;
    uint32_t length = 0; // bytes written into the packet buffer (IN) or taken (OUT)
};

// The bus calls a device from one thread at a time. A device must not call
// back into the bus (plug, unplug) from inside these calls.
class DeviceBackend {
public:
    virtual ~DeviceBackend() = default;

    // The 18-byte standard device descriptor.
    virtual std::span<const uint8_t> deviceDescriptor() const = 0;
    // The whole configuration descriptor set (wTotalLength bytes).
    virtual std::span<const uint8_t> configurationDescriptor() const = 0;
    // Connection speed: true when the device enumerated at high speed.
    virtual bool highSpeed() const = 0;
    // String descriptor text (no terminator); nullopt when there is none for
    // that index or language.
    virtual std::optional<std::u16string> stringDescriptor(uint8_t index, uint16_t langId) const = 0;

    // Default-pipe requests other than the standard ones the bus handles itself
    // (descriptors, SET_CONFIGURATION, SET_INTERFACE). For IN requests the
    // device fills at most data.size() bytes.
    virtual ControlResult controlTransfer(const SetupPacket& setup, std::span<uint8_t> data) = 0;

    // SET_CONFIGURATION (0 = unconfigured) and SET_INTERFACE as the bus
    // performs them on select-configuration.
    virtual void setConfiguration(uint8_t value) = 0;
    virtual void setInterface(uint8_t interfaceNumber, uint8_t alternateSetting) = 0;

    // One isochronous packet per 125 us microframe. `microframe` counts from
    // the bus's start (frame number × 8 + microframe within the frame).
    virtual IsochPacketResult isochIn(uint8_t endpointAddress, uint64_t microframe,
                                      std::span<uint8_t> packet) = 0;
    virtual IsochPacketResult isochOut(uint8_t endpointAddress, uint64_t microframe,
                                       std::span<const uint8_t> packet) = 0;

    // Interrupt IN endpoint polled by the bus once per frame: a message the
    // device has queued, or nothing.
    virtual std::optional<std::vector<uint8_t>> interruptIn(uint8_t endpointAddress) = 0;

    // False once the device has been pulled from its port: it answers nothing
    // any more, and the bus is to remove it as a surprise removal. A device
    // that is never unplugged keeps this default.
    virtual bool attached() const { return true; }
};

} // namespace kplat::usb
