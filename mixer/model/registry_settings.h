#pragma once
// The Qt side of the machine's registry. The programs open registry paths
// ("HKEY_CURRENT_USER\Software\Orvo\UAC2") as QSettings in native format;
// here that is a QSettings over the same hive file that the drivers read and
// write (a registered format, see hive_file.h), with the key path as its
// group, so every value the GUI reads or writes is the drivers' own. QSettings
// takes "<hive file>.lock" in QLockFile's protocol, as the drivers' side
// does, and replaces the file whole. Qt 5 looks keys up case-sensitively in
// every file format, so reads name keys and values as the drivers spell them;
// a write under another case still lands on the existing key.

#include <QSettings>
#include <QString>

namespace orvo::model {

// The registered format of the hive files.
QSettings::Format registryFormat();

class RegistrySettings : public QSettings {
public:
    // `nativePath` as the programs name it: a root ("HKEY_LOCAL_MACHINE",
    // "HKEY_CURRENT_USER", or their short forms) and a key path below it.
    // Groups and keys are then relative to that key, as in native format. A
    // path under no known root reads nothing and writes nothing.
    explicit RegistrySettings(const QString& nativePath, QObject* parent = nullptr);

    // The hive file and the group a native path stands for ("" for an
    // unknown root).
    static QString hiveFileFor(const QString& nativePath);
    static QString groupFor(const QString& nativePath);
};

} // namespace orvo::model
