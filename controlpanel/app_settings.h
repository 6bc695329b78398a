#pragma once

#include <QObject>
#include <QString>

class QSettings;

// The control panel's preferences: the folder of the last imported settings
// file, under the user's "Orvo Works\Mixer Control Panel" key.
class AppSettings : public QObject {
    Q_OBJECT
public:
    explicit AppSettings(QObject* parent = nullptr);
    ~AppSettings() override;

    bool lastFilePath(QString& folder) const;
    bool setLastFilePath(const QString& folder);

private:
    QSettings* settings;
    QString organisation = "Orvo Works";
    QString application = "Mixer Control Panel";
};
