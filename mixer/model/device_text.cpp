#include "mixer/model/device_text.h"

#include "mixer/model/registry_settings.h"

#include <QStringList>

namespace orvo::model {

namespace {
QString versionText(unsigned major, unsigned minor, unsigned patch)
{
    return QString::asprintf("%u.%u.%u", major, minor, patch);
}
} // namespace

QString deviceSerialText(const Orvo::MidiDevice* device)
{
    return device ? QString::asprintf("%010u", device->descriptor.serialNumber()) : QString();
}

char devicePortLetter(const Orvo::MidiDevice* device)
{
    return device ? device->descriptor.portLetter() : 'A';
}

QString deviceFirmwareVersionText(const Orvo::MidiDevice* device)
{
    if (!device)
        return QString();
    const Orvo::MidiDeviceDescriptor& d = device->descriptor;
    return versionText(d.firmwareMajor(), d.firmwareMinor(), d.firmwarePatch());
}

uint32_t deviceFirmwareVersionNumber(const Orvo::MidiDevice* device)
{
    return device ? device->descriptor.firmwareVersion() : 0;
}

QString regionVersionText(const Orvo::ObinRegion* region)
{
    if (!region)
        return QString();
    const uint8_t* h = region->header.bytes();
    return versionText(h[47], h[46], h[45]);
}

uint32_t regionVersionNumber(const Orvo::ObinRegion* region)
{
    return region ? region->header.version() : 0;
}

QString deviceUserKeyName(const Orvo::MidiDevice* device)
{
    return deviceSerialText(device) + QChar::fromLatin1(devicePortLetter(device));
}

QString deviceName(const Orvo::MidiDevice* device)
{
    if (!device)
        return QString();
    QString name;
    if (findRegistryDeviceName(device, name))
        return name;
    return QString::fromStdString(device->descriptor.name());
}

bool findRegistryDeviceName(const Orvo::MidiDevice* device, QString& name)
{
    name.clear();
    if (!device)
        return false;
    const Orvo::MidiDeviceDescriptor& d = device->descriptor;
    RegistrySettings settings(kAsioDriversPath);
    const QString letter = QString(QChar::fromLatin1(d.portLetter()));
    for (const QString& group : settings.childGroups()) {
        const uint32_t vid = settings.value(group + "/VID").toUInt();
        const uint32_t pid = settings.value(group + "/PID").toUInt();
        if ((vid << 16 | pid) != d.usbId())
            continue;
        QString serial = settings.value(group + "/SerialNumber").toString();
        if (serial.endsWith(letter, Qt::CaseSensitive))
            serial.chop(1);
        bool ok = false;
        const uint32_t number = serial.toUInt(&ok, 10);
        if (ok && number == d.serialNumber()) {
            name = group;
            return true;
        }
    }
    return false;
}

QString formatVersionText(const QString& version)
{
    const QStringList parts = version.split('.');
    QString text = QStringLiteral("%1.%2.%3.%4");
    for (int i = 0; i < 4; ++i)
        text = text.arg(i < parts.size() ? parts[i] : QString());
    return text;
}

QString qx1600FirmwareVersionText() { return formatVersionText(QStringLiteral("1.0.5.094")); }
QString zr90alphaFirmwareVersionText() { return formatVersionText(QStringLiteral("1.0.5.133")); }

} // namespace orvo::model
