#pragma once

#include <QMap>
#include <QObject>
#include <QString>

class AppSettings;
class FileUtility;
class SettingsPresenter;

// Mixer settings files (.oms, INI): export, import, and save into the file
// last imported.
class UserSettings : public QObject {
    Q_OBJECT
public:
    enum ImportResult {
        NoFailure = 0,
        OtherMixerType = 1,
        Unreadable = 2,
        Cancelled = 3,
        // A key the mixer type does not have, a value above 127 or a channel
        // outside 1..16: nothing of such a file is taken.
        InvalidContent = 4,
    };
    static constexpr int kMidiChannelKey = 258;

    UserSettings(QObject* parent, AppSettings* appSettings, SettingsPresenter* presenter = nullptr);
    ~UserSettings() override;

    bool importSettings(QMap<int, int>* map, const QString& expectedModel, const QString& version);
    bool exportSettings(const QMap<int, int>& map, const QString& model, const QString& version);
    bool saveSettings(const QMap<int, int>& map);
    bool writeSettingsFile(const QString& path, const QMap<int, int>& map, const QString& model,
                           const QString& version);

    void setPresenter(SettingsPresenter* presenter);

    QString folder() const { return folder_; }
    QString fileName() const { return fileName_; }
    QString filePath() const { return filePath_; }
    QString model() const { return model_; }
    QString version() const { return version_; }
    int lastError() const { return lastResult; }
    // The entry that made the last import InvalidContent ("key = value").
    QString refusedEntry() const { return refusedEntry_; }
    // The parameter keys of a mixer type ("2", "3"), the channel's aside.
    static bool isModelKey(const QString& model, int key);

private:
    QString startFolder() const;

    QString folder_;
    QString fileName_;
    QString filePath_;
    QString model_;
    QString version_;
    int lastResult = NoFailure;
    FileUtility* fileUtility;
    AppSettings* appSettings;
    QString refusedEntry_;
};
