#include "controlpanel/user_settings.h"

#include "controlpanel/app_settings.h"
#include "controlpanel/file_utility.h"
#include "controlpanel/settings_presenter.h"

#include <QSettings>
#include <QStandardPaths>

UserSettings::UserSettings(QObject* parent, AppSettings* appSettings, SettingsPresenter* presenter)
    : QObject(parent),
      fileUtility(new FileUtility(parent, presenter ? presenter : &SettingsPresenter::dialogs())),
      appSettings(appSettings) {}

UserSettings::~UserSettings() {
    delete fileUtility;
}

void UserSettings::setPresenter(SettingsPresenter* presenter) {
    fileUtility->setPresenter(presenter);
}

QString UserSettings::startFolder() const {
    QString start;
    if (appSettings && !appSettings->lastFilePath(start))
        start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return start;
}

bool UserSettings::isModelKey(const QString& model, int key) {
    if (model == "2")
        return (key >= 'B' && key <= 'Z') || key == '\\';
    if (model == "3")
        return key >= 0 && key <= 63;
    return false;
}

bool UserSettings::importSettings(QMap<int, int>* map, const QString& expectedModel, const QString& version) {
    const QString path = fileUtility->getFilePath(2, startFolder());
    if (path.isEmpty()) {
        lastResult = Cancelled;
        return false;
    }
    QSettings file(path, QSettings::IniFormat);
    const QString fileModel = file.value("model").toString();
    const QString fileVersion = file.value("version").toString();
    if (file.status() != QSettings::NoError || fileModel.isEmpty() || fileVersion.isEmpty()) {
        lastResult = Unreadable;
        return false;
    }
    if (fileModel != expectedModel) {
        lastResult = OtherMixerType;
        return false;
    }
    // Every entry is checked before the map changes: a file the mixer cannot
    // take is refused whole instead of being sent as controller 0, masked,
    // or as a broken channel message.
    QMap<int, int> read;
    file.beginGroup("Settings");
    for (const QString& keyText : file.childKeys()) {
        const QString valueText = file.value(keyText).toString();
        bool keyOk = false, valueOk = false;
        const int key = keyText.toInt(&keyOk);
        const int value = valueText.toInt(&valueOk);
        const bool valid = keyOk && valueOk &&
                           (key == kMidiChannelKey ? value >= 1 && value <= 16
                                                   : isModelKey(expectedModel, key) && value >= 0 && value <= 127);
        if (!valid) {
            refusedEntry_ = keyText + " = " + valueText;
            lastResult = InvalidContent;
            return false;
        }
        read[key] = value;
    }
    file.endGroup();
    *map = read;

    filePath_ = path;
    folder_ = FileUtility::canonicalPath(path);
    if (appSettings)
        appSettings->setLastFilePath(folder_);
    fileName_ = FileUtility::fileName(path);
    model_ = expectedModel;
    version_ = version;
    return true;
}

bool UserSettings::exportSettings(const QMap<int, int>& map, const QString& model, const QString& version) {
    const QString start = folder_.isEmpty() ? startFolder() : folder_;
    const QString path = fileUtility->getFilePath(1, start);
    if (path.isEmpty())
        return false;
    return writeSettingsFile(path, map, model, version);
}

bool UserSettings::saveSettings(const QMap<int, int>& map) {
    if (filePath_.isEmpty())
        return false;
    return writeSettingsFile(filePath_, map, model_, version_);
}

bool UserSettings::writeSettingsFile(const QString& path, const QMap<int, int>& map, const QString& model,
                                     const QString& version) {
    if (path.isEmpty())
        return false;
    QSettings file(path, QSettings::IniFormat);
    if (file.status() != QSettings::NoError) {
        lastResult = Unreadable;
        return false;
    }
    file.clear();
    file.setValue("model", model);
    file.setValue("version", version);
    file.beginGroup("Settings");
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        file.setValue(QString::number(it.key()), QString::number(it.value()));
    file.endGroup();
    // Opening succeeds for a place that cannot be written; only the write
    // itself tells.
    file.sync();
    if (file.status() != QSettings::NoError) {
        lastResult = Unreadable;
        return false;
    }
    return true;
}
