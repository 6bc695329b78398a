#include "mixer/model/registry_settings.h"

#include "mixer/model/hive_file.h"
#include "platform/registry/registry.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace orvo::model {

namespace {

bool readHive(QIODevice& device, QSettings::SettingsMap& map)
{
    Hive hive;
    const QByteArray text = device.readAll();
    if (text.isEmpty())
        return true; // a hive not written yet
    if (!parseHive(text, hive))
        return false;
    hiveToSettings(hive, map);
    return true;
}

bool writeHive(QIODevice& device, const QSettings::SettingsMap& map)
{
    // The file as it stands keeps key ids, volatile keys and keys without
    // values, which the map cannot carry. QSettings writes through a
    // QSaveFile, so the file under its name is still the old one.
    QString target;
    if (auto* save = qobject_cast<QSaveFile*>(&device))
        target = save->fileName();
    else if (auto* file = qobject_cast<QFile*>(&device))
        target = file->fileName();
    Hive hive;
    QFile current(target);
    if (!target.isEmpty() && current.open(QIODevice::ReadOnly)) {
        const QByteArray text = current.readAll();
        if (!text.isEmpty() && !parseHive(text, hive))
            return false; // a corrupt hive is reported, never overwritten
    }
    applySettings(map, hive);
    return device.write(serializeHive(hive)) >= 0;
}

struct Root {
    const char* longName;
    const char* shortName;
    reg::Hive hive;
};
const Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "HKLM", reg::Hive::LocalMachine},
    {"HKEY_CURRENT_USER", "HKCU", reg::Hive::CurrentUser},
};

const Root* rootOf(const QString& nativePath, QString& rest)
{
    const QString path = QString(nativePath).replace('/', '\\');
    const int cut = path.indexOf('\\');
    const QString head = cut < 0 ? path : path.left(cut);
    rest = cut < 0 ? QString() : path.mid(cut + 1);
    for (const Root& r : kRoots)
        if (head.compare(QLatin1String(r.longName), Qt::CaseInsensitive) == 0 ||
            head.compare(QLatin1String(r.shortName), Qt::CaseInsensitive) == 0)
            return &r;
    return nullptr;
}

} // namespace

QSettings::Format registryFormat()
{
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("reg"), &readHive, &writeHive);
    return format;
}

QString RegistrySettings::hiveFileFor(const QString& nativePath)
{
    QString rest;
    const Root* root = rootOf(nativePath, rest);
    if (!root)
        return QString();
    const reg::Registry& machine = reg::Registry::machine();
    return QString::fromStdString(machine.hiveFile(root->hive).string());
}

QString RegistrySettings::groupFor(const QString& nativePath)
{
    QString rest;
    if (!rootOf(nativePath, rest))
        return QString();
    return rest.split('\\', Qt::SkipEmptyParts).join('/');
}

RegistrySettings::RegistrySettings(const QString& nativePath, QObject* parent)
    : QSettings(hiveFileFor(nativePath), registryFormat(), parent)
{
    const QString group = groupFor(nativePath);
    if (!group.isEmpty())
        beginGroup(group);
}

} // namespace orvo::model
