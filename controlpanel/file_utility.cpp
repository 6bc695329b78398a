#include "controlpanel/file_utility.h"

#include "controlpanel/settings_presenter.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QWidget>

FileUtility::FileUtility(QObject* dialogParent, SettingsPresenter* presenter)
    : dialogParent(dialogParent), presenter(presenter) {}

QString FileUtility::getFilePath(int kind, const QString& folder) const {
    if (kind != SettingsPresenter::SaveFile && kind != SettingsPresenter::OpenFile)
        return QString();
    const QString start =
        folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) : folder;
    const QString title =
        kind == SettingsPresenter::OpenFile ? "Import Orvo Mixer Settings" : "Export Orvo Mixer Settings";
    return presenter->chooseFile(qobject_cast<QWidget*>(dialogParent), kind, title, start,
                                 "Orvo Mixer Settings file (*.oms)");
}

QString FileUtility::canonicalPath(const QString& path) {
    return QFileInfo(path).canonicalPath();
}

QString FileUtility::fileName(const QString& path) {
    return QFileInfo(path).fileName();
}
