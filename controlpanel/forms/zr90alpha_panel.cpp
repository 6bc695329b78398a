#include "controlpanel/forms/zr90alpha_panel.h"

#include "ui_zr90alpha_panel.h"

ZR90AlphaPanel::ZR90AlphaPanel(QWidget* parent) : QTabWidget(parent), ui(new Ui::ZR90AlphaPanel) {
    ui->setupUi(this);
}

ZR90AlphaPanel::~ZR90AlphaPanel() {
    delete ui;
}
