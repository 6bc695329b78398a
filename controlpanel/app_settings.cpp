#include "controlpanel/app_settings.h"

#include "mixer/model/registry_settings.h"

AppSettings::AppSettings(QObject* parent) : QObject(parent) {
    // Native format, user scope: the current user's registry key.
    settings = new orvo::model::RegistrySettings("HKEY_CURRENT_USER\\Software\\" + organisation + "\\" + application);
}

AppSettings::~AppSettings() {
    delete settings;
}

bool AppSettings::lastFilePath(QString& folder) const {
    if (!settings || !settings->contains("filepath"))
        return false;
    folder = settings->value("filepath").toString();
    return true;
}

bool AppSettings::setLastFilePath(const QString& folder) {
    if (!settings)
        return false;
    settings->setValue("filepath", folder);
    settings->sync();
    return true;
}
