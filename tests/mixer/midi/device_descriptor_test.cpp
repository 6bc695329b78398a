#include "mixer/midi/device_descriptor.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Orvo::MidiDeviceDescriptor;

TEST(DeviceDescriptor, FieldsAtTheirOffsets)
{
    uint8_t raw[48] = {};
    const uint8_t usb[] = {0x18, 0x00, 0x71, 0x3A};
    std::memcpy(raw + 0, usb, 4);
    raw[12] = 94; // build
    raw[13] = 5;  // patch
    raw[14] = 0;  // minor
    raw[15] = 1;  // major
    const uint8_t serial[] = {0x15, 0xCD, 0x5B, 0x07}; // 123456789
    std::memcpy(raw + 16, serial, 4);
    raw[24] = 2;
    std::memcpy(raw + 28, "QX-1600", 7);
    raw[47] = 'B';

    const auto d = MidiDeviceDescriptor::fromBytes(raw);
    EXPECT_EQ(d.usbId(), 0x3A710018u);
    EXPECT_EQ(d.firmwareVersion(), 0x0100055Eu);
    EXPECT_EQ(d.versionText(), "1.0.5");
    EXPECT_FALSE(d.fromBootloader());
    EXPECT_EQ(d.serialNumber(), 123456789u);
    EXPECT_EQ(d.serialText(), "0123456789");
    EXPECT_EQ(d.regionNumber(), 2u);
    EXPECT_EQ(d.name(), "QX-1600");
    EXPECT_EQ(d.portLetter(), 'B');
    EXPECT_EQ(d.identity().text(), "0x3a710018:075bcd15:B");

    MidiDeviceDescriptor built;
    built.setUsbId(0x3A710018);
    built.setFirmwareVersion(1, 0, 5, 94);
    built.setSerialNumber(123456789);
    built.setRegionNumber(2);
    built.setName("QX-1600");
    built.setPortLetter('B');
    EXPECT_EQ(std::memcmp(built.data(), raw, 48), 0);
}

TEST(DeviceDescriptor, NameStaysInsideItsField)
{
    uint8_t raw[48];
    std::memset(raw, 'N', sizeof raw); // no zero anywhere: the name is all 19 bytes
    raw[47] = 'A';
    EXPECT_EQ(MidiDeviceDescriptor::fromBytes(raw).name(), std::string(19, 'N'));

    MidiDeviceDescriptor d;
    d.setPortLetter('A');
    d.setName("a name longer than nineteen bytes");
    EXPECT_EQ(d.name(), "a name longer than ");
    EXPECT_EQ(d.portLetter(), 'A');
    d.setName("short");
    EXPECT_EQ(d.name(), "short");
}

TEST(DeviceDescriptor, IdentityIgnoresVersion)
{
    MidiDeviceDescriptor app;
    app.setUsbId(0x3A710019);
    app.setSerialNumber(42);
    app.setPortLetter('A');
    app.setFirmwareVersion(1, 0, 5, 133);
    MidiDeviceDescriptor boot = app;
    boot.setFirmwareVersion(0, 0, 0, 0);
    EXPECT_TRUE(boot.fromBootloader());
    EXPECT_EQ(app.identity(), boot.identity());
    boot.setPortLetter('B');
    EXPECT_NE(app.identity(), boot.identity());
}

} // namespace
