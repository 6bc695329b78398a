#pragma once

#include <QTabWidget>

class OrvoControlPanel;

namespace Ui {
class QX1600Panel;
}

// The settings page of one mixer model, a page of the main window.
class QX1600Panel : public QTabWidget {
    Q_OBJECT
public:
    explicit QX1600Panel(QWidget* parent = nullptr);
    ~QX1600Panel() override;

    void setMainWindow(OrvoControlPanel* window) { mainWindow = window; }

private:
    Ui::QX1600Panel* ui;
    OrvoControlPanel* mainWindow = nullptr;
};
