#include "mixer/midi/device_descriptor.h"

#include <cstdio>
#include <cstring>

namespace Orvo {

std::string DeviceIdentity::text() const
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%08x:%08x:%c", usbId, serialNumber, portLetter);
    return buf;
}

MidiDeviceDescriptor MidiDeviceDescriptor::fromBytes(const uint8_t* bytes)
{
    MidiDeviceDescriptor d;
    std::memcpy(d.bytes_.data(), bytes, kSize);
    return d;
}

uint32_t MidiDeviceDescriptor::load32(size_t at) const
{
    return static_cast<uint32_t>(bytes_[at]) | static_cast<uint32_t>(bytes_[at + 1]) << 8 |
           static_cast<uint32_t>(bytes_[at + 2]) << 16 | static_cast<uint32_t>(bytes_[at + 3]) << 24;
}

void MidiDeviceDescriptor::store32(size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        bytes_[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string MidiDeviceDescriptor::name() const
{
    const auto* first = reinterpret_cast<const char*>(bytes_.data() + kNameAt);
    size_t n = 0;
    while (n < kNameSize && first[n] != '\0')
        ++n;
    return std::string(first, n);
}

void MidiDeviceDescriptor::setName(std::string_view name)
{
    const size_t n = name.size() < kNameSize ? name.size() : kNameSize;
    std::memset(bytes_.data() + kNameAt, 0, kNameSize);
    std::memcpy(bytes_.data() + kNameAt, name.data(), n);
}

void MidiDeviceDescriptor::setFirmwareVersion(uint8_t major, uint8_t minor, uint8_t patch, uint8_t build)
{
    bytes_[kFirmwareMajorAt] = major;
    bytes_[kFirmwareMinorAt] = minor;
    bytes_[kFirmwarePatchAt] = patch;
    bytes_[kFirmwareBuildAt] = build;
}

std::string MidiDeviceDescriptor::versionText() const
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u", unsigned{firmwareMajor()}, unsigned{firmwareMinor()},
                  unsigned{firmwarePatch()});
    return buf;
}

std::string MidiDeviceDescriptor::serialText() const
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%010u", serialNumber());
    return buf;
}

} // namespace Orvo
