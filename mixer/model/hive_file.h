#pragma once
// The machine registry's hive files as Qt reads and writes them: the same
// text format the registry stand-in keeps (one key or value a line, names
// percent-escaped UTF-8, data as the raw bytes in hex with the platform's
// type number), parsed and written here with Qt types so that the GUI side
// needs nothing of the stand-in.

#include <QByteArray>
#include <QList>
#include <QSettings>
#include <QString>
#include <QVariant>

namespace orvo::model {

enum RegistryType : quint32 {
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
    kRegQword = 11,
};

struct HiveValue {
    QString name; // empty: the key's default value
    quint32 type = 0;
    QByteArray data;
};

struct HiveKey {
    QString name;
    quint64 id = 0;
    bool isVolatile = false;
    QList<HiveValue> values; // in the order first written
    QList<HiveKey> subkeys;  // in case-insensitive name order

    HiveKey* child(const QString& childName);
    HiveValue* value(const QString& valueName);
};

struct Hive {
    HiveKey root{QString(), 1, false, {}, {}};
    quint64 nextId = 2;
};

bool parseHive(const QByteArray& text, Hive& out);
QByteArray serializeHive(const Hive& hive);

// A value's data as QSettings hands it out: strings up to their first zero,
// DWORD as uint, QWORD as qulonglong, multi-strings as a list, else bytes.
QVariant decodeValue(const HiveValue& value);
// A value QSettings was given: text as REG_SZ, integers and booleans as
// REG_DWORD, 64-bit integers as REG_QWORD, lists as REG_MULTI_SZ, bytes as
// REG_BINARY, anything else as its text.
HiveValue encodeValue(const QString& name, const QVariant& variant);

// The name under which QSettings sees a key's default value.
inline const QString kDefaultValueSetting = QStringLiteral("Default");

// Every value of the hive as a settings map ("Software/ASIO/X/VID").
void hiveToSettings(const Hive& hive, QSettings::SettingsMap& map);
// Brings `hive` to hold exactly the values of `map`: values that decode to
// what the map holds stay as they are (type and bytes), others are written,
// values the map lacks are removed. Keys are never removed (QSettings
// cannot name an empty key); a new key takes its parent's kind.
void applySettings(const QSettings::SettingsMap& map, Hive& hive);

} // namespace orvo::model
