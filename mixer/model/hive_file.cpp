#include "mixer/model/hive_file.h"

#include <QStringList>
#include <QtEndian>

#include <algorithm>

namespace orvo::model {

namespace {

bool mustEscape(unsigned char c) { return c <= 0x20 || c == 0x7F || c == '%' || c == '@' || c == '\\'; }

QByteArray escapeName(const QString& name)
{
    QByteArray out;
    for (char ch : name.toUtf8()) {
        const auto c = static_cast<unsigned char>(ch);
        if (mustEscape(c))
            out += '%' + QByteArray::number(c, 16).rightJustified(2, '0').toUpper();
        else
            out += ch;
    }
    return out;
}

bool unescapeName(const QByteArray& text, QString& out)
{
    QByteArray bytes;
    for (int i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            bool ok = false;
            const int v = i + 2 < text.size() ? text.mid(i + 1, 2).toInt(&ok, 16) : 0;
            if (!ok)
                return false;
            bytes += static_cast<char>(v);
            i += 2;
        } else if (mustEscape(c)) {
            return false;
        } else {
            bytes += static_cast<char>(c);
        }
    }
    out = QString::fromUtf8(bytes);
    return true;
}

bool parseHex(const QByteArray& text, QByteArray& out)
{
    if (text == "-") {
        out.clear();
        return true;
    }
    if (text.isEmpty() || text.size() % 2)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    out = QByteArray::fromHex(text);
    return true;
}

int compareNames(const QString& a, const QString& b)
{
    // Only ASCII letters fold, as the registry compares.
    const int n = std::min(a.size(), b.size());
    for (int i = 0; i < n; ++i) {
        auto fold = [](QChar c) {
            const ushort u = c.unicode();
            return u >= 'a' && u <= 'z' ? static_cast<ushort>(u - 'a' + 'A') : u;
        };
        const ushort x = fold(a[i]), y = fold(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

HiveKey& addChild(HiveKey& parent, const QString& name, quint64 id, bool isVolatile)
{
    auto at = std::find_if(parent.subkeys.begin(), parent.subkeys.end(),
                           [&](const HiveKey& k) { return compareNames(k.name, name) > 0; });
    return *parent.subkeys.insert(at, HiveKey{name, id, isVolatile, {}, {}});
}

void writeKey(QByteArray& out, const HiveKey& key, const QByteArray& path)
{
    out += "key " + QByteArray::number(key.id) + (key.isVolatile ? " v " : " - ") + path + '\n';
    for (const HiveValue& v : key.values) {
        out += "value " + QByteArray::number(v.type) + ' ' + (v.name.isEmpty() ? QByteArray("@") : escapeName(v.name)) +
               ' ' + (v.data.isEmpty() ? QByteArray("-") : v.data.toHex()) + '\n';
    }
    for (const HiveKey& sub : key.subkeys)
        writeKey(out, sub, (path == "\\" ? QByteArray() : path) + '\\' + escapeName(sub.name));
}

QString settingsPath(const QString& keyPath, const QString& valueName)
{
    const QString name = valueName.isEmpty() ? kDefaultValueSetting : valueName;
    return keyPath.isEmpty() ? name : keyPath + '/' + name;
}

void collect(const HiveKey& key, const QString& path, QSettings::SettingsMap& map)
{
    for (const HiveValue& v : key.values)
        map.insert(settingsPath(path, v.name), decodeValue(v));
    for (const HiveKey& sub : key.subkeys)
        collect(sub, path.isEmpty() ? sub.name : path + '/' + sub.name, map);
}

// The map's entry for `path`, compared as the registry compares names.
const QVariant* find(const QSettings::SettingsMap& map, const QString& path)
{
    auto it = map.find(path);
    if (it != map.end())
        return &it.value();
    for (auto i = map.begin(); i != map.end(); ++i)
        if (compareNames(i.key(), path) == 0)
            return &i.value();
    return nullptr;
}

void dropValuesNotIn(HiveKey& key, const QString& path, const QSettings::SettingsMap& map)
{
    key.values.erase(std::remove_if(key.values.begin(), key.values.end(),
                                    [&](const HiveValue& v) { return !find(map, settingsPath(path, v.name)); }),
                     key.values.end());
    for (HiveKey& sub : key.subkeys)
        dropValuesNotIn(sub, path.isEmpty() ? sub.name : path + '/' + sub.name, map);
}

QByteArray utf16Data(const QString& s)
{
    QByteArray out;
    for (QChar c : s) {
        out += static_cast<char>(c.unicode() & 0xFF);
        out += static_cast<char>(c.unicode() >> 8);
    }
    return out;
}

QString fromUtf16Data(const QByteArray& data, int from, int* end)
{
    QString s;
    int i = from;
    for (; i + 1 < data.size(); i += 2) {
        const ushort u = static_cast<uchar>(data[i]) | static_cast<ushort>(static_cast<uchar>(data[i + 1]) << 8);
        if (u == 0)
            break;
        s += QChar(u);
    }
    if (end)
        *end = i + 2;
    return s;
}

} // namespace

HiveKey* HiveKey::child(const QString& childName)
{
    for (HiveKey& k : subkeys)
        if (compareNames(k.name, childName) == 0)
            return &k;
    return nullptr;
}

HiveValue* HiveKey::value(const QString& valueName)
{
    for (HiveValue& v : values)
        if (compareNames(v.name, valueName) == 0)
            return &v;
    return nullptr;
}

bool parseHive(const QByteArray& text, Hive& out)
{
    Hive hive;
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return false;
    const QList<QByteArray> head = lines[0].split(' ');
    bool ok = false;
    if (head.size() != 3 || head[0] != "orvo-registry" || head[1] != "1")
        return false;
    hive.nextId = head[2].toULongLong(&ok);
    if (!ok)
        return false;
    HiveKey* current = nullptr;
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> f = lines[i].split(' ');
        if (f.size() == 4 && f[0] == "key") {
            const quint64 id = f[1].toULongLong(&ok);
            if (!ok || (f[2] != "v" && f[2] != "-"))
                return false;
            if (f[3] == "\\") {
                if (current != nullptr)
                    return false;
                hive.root.id = id;
                hive.root.isVolatile = f[2] == "v";
                current = &hive.root;
                continue;
            }
            if (current == nullptr || !f[3].startsWith('\\'))
                return false;
            const QList<QByteArray> parts = f[3].mid(1).split('\\');
            HiveKey* parent = &hive.root;
            for (int p = 0; p + 1 < parts.size(); ++p) {
                QString name;
                if (!unescapeName(parts[p], name) || (parent = parent->child(name)) == nullptr)
                    return false; // a key comes after its parent
            }
            QString name;
            if (!unescapeName(parts.last(), name) || name.isEmpty() || parent->child(name))
                return false;
            current = &addChild(*parent, name, id, f[2] == "v");
        } else if (f.size() == 4 && f[0] == "value" && current != nullptr) {
            HiveValue v;
            v.type = f[1].toUInt(&ok);
            if (!ok || !parseHex(f[3], v.data))
                return false;
            if (f[2] != "@" && (!unescapeName(f[2], v.name) || v.name.isEmpty()))
                return false;
            current->values.append(v);
        } else {
            return false;
        }
    }
    if (current == nullptr)
        return false;
    out = std::move(hive);
    return true;
}

QByteArray serializeHive(const Hive& hive)
{
    QByteArray out = "orvo-registry 1 " + QByteArray::number(hive.nextId) + '\n';
    writeKey(out, hive.root, "\\");
    return out;
}

QVariant decodeValue(const HiveValue& v)
{
    switch (v.type) {
    case kRegSz:
    case kRegExpandSz:
        return fromUtf16Data(v.data, 0, nullptr);
    case kRegDword:
        if (v.data.size() == 4)
            return qFromLittleEndian<quint32>(v.data.constData());
        break;
    case kRegQword:
        if (v.data.size() == 8)
            return qFromLittleEndian<quint64>(v.data.constData());
        break;
    case kRegMultiSz: {
        QStringList list;
        int at = 0;
        while (at + 1 < v.data.size()) {
            int end = 0;
            const QString s = fromUtf16Data(v.data, at, &end);
            if (s.isEmpty())
                break;
            list << s;
            at = end;
        }
        return list;
    }
    default:
        break;
    }
    return v.data;
}

HiveValue encodeValue(const QString& name, const QVariant& variant)
{
    HiveValue v;
    v.name = name;
    switch (static_cast<QMetaType::Type>(variant.type())) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Char:
    case QMetaType::UChar: {
        v.type = kRegDword;
        v.data.resize(4);
        qToLittleEndian<quint32>(static_cast<quint32>(variant.toLongLong()), v.data.data());
        break;
    }
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        v.type = kRegQword;
        v.data.resize(8);
        qToLittleEndian<quint64>(variant.toULongLong(), v.data.data());
        break;
    case QMetaType::QStringList:
        v.type = kRegMultiSz;
        for (const QString& s : variant.toStringList())
            v.data += utf16Data(s) + QByteArray(2, '\0');
        v.data += QByteArray(2, '\0');
        break;
    case QMetaType::QByteArray:
        v.type = kRegBinary;
        v.data = variant.toByteArray();
        break;
    default:
        v.type = kRegSz;
        v.data = utf16Data(variant.toString()) + QByteArray(2, '\0');
        break;
    }
    return v;
}

void hiveToSettings(const Hive& hive, QSettings::SettingsMap& map) { collect(hive.root, QString(), map); }

void applySettings(const QSettings::SettingsMap& map, Hive& hive)
{
    dropValuesNotIn(hive.root, QString(), map);
    for (auto it = map.begin(); it != map.end(); ++it) {
        QStringList parts = it.key().split('/', Qt::SkipEmptyParts);
        if (parts.isEmpty())
            continue;
        QString name = parts.takeLast();
        if (compareNames(name, kDefaultValueSetting) == 0)
            name.clear();
        HiveKey* key = &hive.root;
        for (const QString& part : parts) {
            HiveKey* next = key->child(part);
            key = next ? next : &addChild(*key, part, hive.nextId++, key->isVolatile);
        }
        HiveValue* existing = key->value(name);
        if (existing && decodeValue(*existing) == it.value())
            continue;
        HiveValue fresh = encodeValue(existing ? existing->name : name, it.value());
        if (existing)
            *existing = fresh;
        else
            key->values.append(fresh);
    }
}

} // namespace orvo::model
