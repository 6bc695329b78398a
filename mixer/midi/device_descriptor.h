#pragma once
// The 48-byte descriptor a mixer port sends in its 'q' reply, kept as the raw
// bytes received and read through accessors at fixed offsets (little-endian).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Orvo {

constexpr uint32_t kUsbIdFirstModel = 0x3A710018;  // QX1600
constexpr uint32_t kUsbIdSecondModel = 0x3A710019; // ZR90Alpha

// USB id, serial number and port letter: what names one mixer port.
struct DeviceIdentity {
    uint32_t usbId = 0;
    uint32_t serialNumber = 0;
    char portLetter = 0;

    bool operator==(const DeviceIdentity&) const = default;
    std::string text() const; // "0x%08x:%08x:%c"
};

class MidiDeviceDescriptor {
public:
    static constexpr size_t kSize = 48;
    // Field offsets.
    static constexpr size_t kUsbIdAt = 0;
    static constexpr size_t kFirmwareBuildAt = 12;
    static constexpr size_t kFirmwarePatchAt = 13;
    static constexpr size_t kFirmwareMinorAt = 14;
    static constexpr size_t kFirmwareMajorAt = 15;
    static constexpr size_t kSerialNumberAt = 16;
    static constexpr size_t kRegionNumberAt = 24;
    static constexpr size_t kNameAt = 28;
    static constexpr size_t kNameSize = 19;
    static constexpr size_t kPortLetterAt = 47;

    MidiDeviceDescriptor() = default; // all zero
    // The first kSize bytes of `bytes` (which must hold at least kSize).
    static MidiDeviceDescriptor fromBytes(const uint8_t* bytes);

    const uint8_t* data() const { return bytes_.data(); }
    uint8_t* data() { return bytes_.data(); }

    uint32_t usbId() const { return load32(kUsbIdAt); }
    uint8_t firmwareBuild() const { return bytes_[kFirmwareBuildAt]; }
    uint8_t firmwarePatch() const { return bytes_[kFirmwarePatchAt]; }
    uint8_t firmwareMinor() const { return bytes_[kFirmwareMinorAt]; }
    uint8_t firmwareMajor() const { return bytes_[kFirmwareMajorAt]; }
    // The four version bytes as one number; orders versions.
    uint32_t firmwareVersion() const { return load32(kFirmwareBuildAt); }
    // The bootloader answers with firmware major 0.
    bool fromBootloader() const { return firmwareMajor() == 0; }
    uint32_t serialNumber() const { return load32(kSerialNumberAt); }
    uint32_t regionNumber() const { return load32(kRegionNumberAt); }
    // Text up to the first zero byte within the name field.
    std::string name() const;
    char portLetter() const { return static_cast<char>(bytes_[kPortLetterAt]); }
    DeviceIdentity identity() const { return {usbId(), serialNumber(), portLetter()}; }

    std::string versionText() const; // "%u.%u.%u" of major, minor, patch
    std::string serialText() const;  // "%010u"

    void setUsbId(uint32_t v) { store32(kUsbIdAt, v); }
    void setFirmwareVersion(uint8_t major, uint8_t minor, uint8_t patch, uint8_t build);
    void setSerialNumber(uint32_t v) { store32(kSerialNumberAt, v); }
    void setRegionNumber(uint32_t v) { store32(kRegionNumberAt, v); }
    // Stores up to kNameSize bytes, zero-filling the rest of the field.
    void setName(std::string_view name);
    void setPortLetter(char letter) { bytes_[kPortLetterAt] = static_cast<uint8_t>(letter); }

    bool operator==(const MidiDeviceDescriptor&) const = default;

private:
    uint32_t load32(size_t at) const;
    void store32(size_t at, uint32_t v);

    std::array<uint8_t, kSize> bytes_{};
};

} // namespace Orvo
