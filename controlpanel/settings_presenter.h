#pragma once

#include <QString>

class QWidget;

// The settings files' modal dialogs: the file dialogs and the import
// warning. The default shows Qt's dialogs; tests put their own answers in.
class SettingsPresenter {
public:
    enum FileDialogKind { SaveFile = 1, OpenFile = 2 };
    virtual ~SettingsPresenter() = default;
    // The chosen path, empty when cancelled.
    virtual QString chooseFile(QWidget* parent, int kind, const QString& title, const QString& folder,
                               const QString& filter) = 0;
    virtual void showWarning(const QString& text, const QString& informativeText) = 0;

    // The dialogs a user sees.
    static SettingsPresenter& dialogs();
};
