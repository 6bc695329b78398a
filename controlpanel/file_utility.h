#pragma once

#include <QObject>
#include <QString>

class SettingsPresenter;

// The settings files' file dialogs and path helpers.
class FileUtility : public QObject {
    Q_OBJECT
public:
    explicit FileUtility(QObject* dialogParent, SettingsPresenter* presenter);

    // The chosen path for a dialog kind (1 save, 2 open) from folder (empty:
    // the documents folder); empty when cancelled or for another kind.
    QString getFilePath(int kind, const QString& folder) const;
    void setPresenter(SettingsPresenter* p) { presenter = p; }
    static QString canonicalPath(const QString& path);
    static QString fileName(const QString& path);

private:
    QObject* dialogParent;
    SettingsPresenter* presenter;
};
