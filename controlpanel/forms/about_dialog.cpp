#include "controlpanel/forms/about_dialog.h"

#include "controlpanel/widgets/utils.h"
#include "mixer/model/device_text.h"
#include "ui_about_dialog.h"

#include <QFile>

AboutDialog::AboutDialog(int kind, QWidget* parent) : QDialog(parent), ui(new Ui::AboutDialog) {
    ui->setupUi(this);
    QFile licences(":/licenses.html");
    if (licences.open(QIODevice::ReadOnly))
        ui->textEditLicenses->setHtml(QString::fromUtf8(licences.readAll()));

    aboutPixmap.load(Utils::isHighDpiScreen() ? ":/images/app_about@2x.png" : ":/images/app_about.png");
    ui->labelSplash->setPixmap(aboutPixmap);
    ui->textEditLicenses->setReadOnly(true);

    if (kind == ControlPanel)
        ui->labelPanelVersion->setText(QString("Orvo Control Panel - Version: %1").arg(kProgramVersion));
    else if (kind == BufferSize)
        ui->labelPanelVersion->setText(QString("Orvo Buffer Size - Version: %1").arg(kProgramVersion));
    ui->labelQX1600Version->setText(QString("QX1600 - Version: %1").arg(orvo::model::qx1600FirmwareVersionText()));
    ui->labelZR90ALPHAVersion->setText(
        QString("ZR90Alpha - Version: %1").arg(orvo::model::zr90alphaFirmwareVersionText()));
    ui->labelASIOVersion->setText(QString("ASIO Driver - Version: %1").arg(kAsioDriverVersion));
    ui->labelASIOVersion->setVisible(true);
}

AboutDialog::~AboutDialog() {
    delete ui;
}

void AboutDialog::on_pushButton_clicked() {
    close();
}
