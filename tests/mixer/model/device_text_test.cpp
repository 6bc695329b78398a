// The device and version texts, the device name the kernel driver
// registered, and the end of the device service.

#include "model_fixture.h"

#include "mixer/model/device_text.h"

using namespace Orvo;
using orvo::testing::ModelTest;

namespace {

class DeviceText : public ModelTest {
protected:
    void asioEntry(std::u16string_view name, uint32_t pid, std::u16string_view serial)
    {
        reg::Registry& machine = reg::Registry::machine();
        reg::KeyRef key;
        ASSERT_EQ(machine.create(machine.hiveRoot(reg::Hive::LocalMachine), u"Software\\ASIO\\" + std::u16string(name),
                                 true, key),
                  reg::Error::Ok);
        const std::vector<uint8_t> text = reg::szData(serial);
        const uint32_t vid = 0x3A71;
        ASSERT_EQ(machine.setValue(key, u"SerialNumber", reg::ValueType::Sz, text.data(), text.size()),
                  reg::Error::Ok);
        ASSERT_EQ(machine.setValue(key, u"VID", reg::ValueType::Dword, &vid, 4), reg::Error::Ok);
        ASSERT_EQ(machine.setValue(key, u"PID", reg::ValueType::Dword, &pid, 4), reg::Error::Ok);
    }
};

void describe(MidiDevice& d, uint32_t usbId, uint32_t serial, char letter)
{
    d.descriptor.setUsbId(usbId);
    d.descriptor.setSerialNumber(serial);
    d.descriptor.setPortLetter(letter);
    d.descriptor.setName("QX1600 mixer");
    d.descriptor.setFirmwareVersion(1, 0, 5, 94);
}

} // namespace

// Two identical mixers, as the kernel driver names them: the second gets
// " (2)"; a serial with another port letter is another device.
TEST_F(DeviceText, RegistryNamesOfTwoIdenticalMixers)
{
    asioEntry(u"QX1600", 0x18, u"0001000001A");
    asioEntry(u"QX1600 (2)", 0x18, u"0001000002A");
    asioEntry(u"ZR90Alpha", 0x19, u"0001000003A");
    asioEntry(u"QX1600 (3)", 0x18, u"0001000004");
    struct Case {
        uint32_t usbId, serial;
        char letter;
        const char* name; // null: no match
    } const cases[] = {
        {MixerModel::kFirstModelUsbId, 1000001, 'A', "QX1600"},
        {MixerModel::kFirstModelUsbId, 1000002, 'A', "QX1600 (2)"},
        {MixerModel::kFirstModelUsbId, 1000001, 'B', nullptr},  // another port letter
        {MixerModel::kFirstModelUsbId, 1000003, 'A', nullptr},  // the other model's serial
        {MixerModel::kSecondModelUsbId, 1000003, 'A', "ZR90Alpha"},
        {MixerModel::kFirstModelUsbId, 1000004, 'B', "QX1600 (3)"}, // no letter to drop
    };
    for (const Case& c : cases) {
        MidiDevice d;
        describe(d, c.usbId, c.serial, c.letter);
        QString name = "stale";
        EXPECT_EQ(orvo::model::findRegistryDeviceName(&d, name), c.name != nullptr) << c.serial << c.letter;
        EXPECT_EQ(name, c.name ? QString(c.name) : QString()) << c.serial << c.letter;
        EXPECT_EQ(orvo::model::deviceName(&d), c.name ? QString(c.name) : QString("QX1600 mixer"));
    }
}

TEST_F(DeviceText, TextsOfADeviceAndOfNull)
{
    MidiDevice d;
    describe(d, MixerModel::kFirstModelUsbId, 1000002, 'B');
    EXPECT_EQ(orvo::model::deviceSerialText(&d), "0001000002");
    EXPECT_EQ(orvo::model::devicePortLetter(&d), 'B');
    EXPECT_EQ(orvo::model::deviceFirmwareVersionText(&d), "1.0.5");
    EXPECT_EQ(orvo::model::deviceFirmwareVersionNumber(&d), 0x0100055Eu);
    EXPECT_EQ(orvo::model::deviceUserKeyName(&d), "0001000002B");
    EXPECT_EQ(orvo::model::deviceSerialText(nullptr), "");
    EXPECT_EQ(orvo::model::devicePortLetter(nullptr), 'A');
    EXPECT_EQ(orvo::model::deviceFirmwareVersionText(nullptr), "");
    EXPECT_EQ(orvo::model::deviceFirmwareVersionNumber(nullptr), 0u);
    EXPECT_EQ(orvo::model::deviceName(nullptr), "");
    EXPECT_EQ(orvo::model::regionVersionText(nullptr), "");
    EXPECT_EQ(orvo::model::regionVersionNumber(nullptr), 0u);
    EXPECT_EQ(orvo::model::formatVersionText("1.0.5.094"), "1.0.5.094");
    EXPECT_EQ(orvo::model::qx1600FirmwareVersionText(), "1.0.5.094");
    EXPECT_EQ(orvo::model::zr90alphaFirmwareVersionText(), "1.0.5.133");
}

TEST_F(DeviceText, TheDeviceServiceEndsOnlyOnceNoModelUsesIt)
{
    auto model = std::make_unique<MixerModel>();
    ASSERT_NE(Midi::Instance(), nullptr);
    EXPECT_FALSE(orvo::model::shutdownDeviceService());
    EXPECT_NE(Midi::Instance(), nullptr);
    model.reset();
    EXPECT_TRUE(orvo::model::shutdownDeviceService());
    EXPECT_EQ(Midi::Instance(), nullptr);
}
