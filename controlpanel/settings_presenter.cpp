#include "controlpanel/settings_presenter.h"

#include "mixer/model/mixer_model.h"

#include <QFileDialog>

namespace {

class DialogPresenter final : public SettingsPresenter {
public:
    QString chooseFile(QWidget* parent, int kind, const QString& title, const QString& folder,
                       const QString& filter) override {
        if (kind == OpenFile)
            return QFileDialog::getOpenFileName(parent, title, folder, filter);
        return QFileDialog::getSaveFileName(parent, title, folder, filter);
    }
    void showWarning(const QString& text, const QString& informativeText) override {
        orvo::model::warningBox().showWarning(text, informativeText);
    }
};

}  // namespace

SettingsPresenter& SettingsPresenter::dialogs() {
    static DialogPresenter presenter;
    return presenter;
}
