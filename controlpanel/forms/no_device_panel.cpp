#include "controlpanel/forms/no_device_panel.h"

#include "ui_no_device_panel.h"

NoDevicePanel::NoDevicePanel(QWidget* parent) : QWidget(parent), ui(new Ui::NoDevicePanel) {
    ui->setupUi(this);
    ui->labelNoDalvexDJ->setVisible(true);
}

NoDevicePanel::~NoDevicePanel() {
    delete ui;
}
