#pragma once

#include <QWidget>

namespace Ui {
class NoDevicePanel;
}

// The page shown while no mixer is selected.
class NoDevicePanel : public QWidget {
    Q_OBJECT
public:
    explicit NoDevicePanel(QWidget* parent = nullptr);
    ~NoDevicePanel() override;

private:
    Ui::NoDevicePanel* ui;
};
