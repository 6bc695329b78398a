#include "controlpanel/forms/qx1600_panel.h"

#include "ui_qx1600_panel.h"

QX1600Panel::QX1600Panel(QWidget* parent) : QTabWidget(parent), ui(new Ui::QX1600Panel) {
    ui->setupUi(this);
}

QX1600Panel::~QX1600Panel() {
    delete ui;
}
