#pragma once

#include <QDialog>
#include <QPixmap>

namespace Ui {
class AboutDialog;
}

// The about box of both GUI programs: fixed versions, the picture and the
// licence document.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    enum Kind { ControlPanel = 0, BufferSize = 1 };

    static constexpr const char* kProgramVersion = "1.6.0.28";
    static constexpr const char* kAsioDriverVersion = "1.0.0.20";

    explicit AboutDialog(int kind, QWidget* parent = nullptr);
    ~AboutDialog() override;

private slots:
    void on_pushButton_clicked();

private:
    Ui::AboutDialog* ui;
    QPixmap aboutPixmap;
};
