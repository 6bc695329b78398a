#pragma once
// What the GUI shows of a device record and of an image region: serial and
// version texts, the port letter, and the device's name as the kernel
// driver registered it. Each takes null.

#include "mixer/midi/midi_device.h"
#include "mixer/midi/obin_file_buffer.h"

#include <QString>

#include <cstdint>

namespace orvo::model {

// The registry paths the programs open, as they name them.
inline const QString kAsioDriversPath = QStringLiteral("HKEY_LOCAL_MACHINE\\Software\\ASIO");
inline const QString kUserBufferSizePath = QStringLiteral("HKEY_CURRENT_USER\\Software\\Orvo\\UAC2");

QString deviceSerialText(const Orvo::MidiDevice* device);     // "%010u"; "" for null
char devicePortLetter(const Orvo::MidiDevice* device);        // 'A' for null
QString deviceFirmwareVersionText(const Orvo::MidiDevice* device);
uint32_t deviceFirmwareVersionNumber(const Orvo::MidiDevice* device);
QString regionVersionText(const Orvo::ObinRegion* region);   // bytes 47, 46, 45 of the header
uint32_t regionVersionNumber(const Orvo::ObinRegion* region);
// The per-user key of the device's buffer size: the serial number in ten
// digits and the port letter, which is the USB serial string the kernel
// driver registers and the ASIO driver names the key after.
QString deviceUserKeyName(const Orvo::MidiDevice* device);
// The device's registry group name under "HKEY_LOCAL_MACHINE\Software\ASIO",
// else the descriptor's name.
QString deviceName(const Orvo::MidiDevice* device);
bool findRegistryDeviceName(const Orvo::MidiDevice* device, QString& name);
QString formatVersionText(const QString& version); // the first four dot-separated parts
QString qx1600FirmwareVersionText();
QString zr90alphaFirmwareVersionText();

} // namespace orvo::model
