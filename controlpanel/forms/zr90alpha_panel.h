#pragma once

#include <QTabWidget>

class OrvoControlPanel;

namespace Ui {
class ZR90AlphaPanel;
}

// The settings page of one mixer model, a page of the main window.
class ZR90AlphaPanel : public QTabWidget {
    Q_OBJECT
public:
    explicit ZR90AlphaPanel(QWidget* parent = nullptr);
    ~ZR90AlphaPanel() override;

    void setMainWindow(OrvoControlPanel* window) { mainWindow = window; }

private:
    Ui::ZR90AlphaPanel* ui;
    OrvoControlPanel* mainWindow = nullptr;
};
