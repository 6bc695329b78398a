#include "buffersize/orvo_buffer_size.h"

#include "controlpanel/forms/about_dialog.h"
#include "controlpanel/widgets/utils.h"
#include "mixer/model/mixer_model.h"
#include "ui_orvo_buffer_size.h"

OrvoBufferSize::OrvoBufferSize(QWidget* parent) : QMainWindow(parent), ui(new Ui::OrvoBufferSize)
{
    ui->setupUi(this);
    if (Utils::isHighDpiScreen())
        ui->pushButtonAbout->setStyleSheet(
            "QPushButton{ border-image: url(:/images/logo_orvo_2x.png);}  "
            "QPushButton:hover{border-image: url(:/images/logo_orvo_hover_2x.png);}");
    else
        ui->pushButtonAbout->setStyleSheet(
            "QPushButton{ border-image: url(:/images/logo_orvo.png);}  "
            "QPushButton:hover{border-image: url(:/images/logo_orvo_hover.png);}");
    // Only the registry side of the model: this program never selects a
    // mixer, so it opens none of their ports beside the control panel.
    deviceModel = new MixerModel(nullptr, MixerModel::Devices::Unused);
    connect(deviceModel, &MixerModel::sampleBufferSizeChanged, this,
            &OrvoBufferSize::onDeviceModelSampleBufferSizeChanged, Qt::DirectConnection);
}

OrvoBufferSize::~OrvoBufferSize()
{
    delete deviceModel;
    delete ui;
}

void OrvoBufferSize::showBufferSize(int ms) { ui->labelBufferSize->setText(QString::number(ms) + tr(" ms")); }

void OrvoBufferSize::onDeviceModelSampleBufferSizeChanged(int bufferSize)
{
    showBufferSize(bufferSize);
    ui->horizontalSliderBufferSize->setValue(bufferSize);
}

void OrvoBufferSize::on_pushButtonAbout_clicked()
{
    auto* dialog = new AboutDialog(AboutDialog::BufferSize, nullptr);
    dialog->setWindowFlags(Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    dialog->setWindowTitle(tr("About Orvo ASIO Buffer Size"));
    dialog->exec();
    delete dialog;
}

void OrvoBufferSize::on_horizontalSliderBufferSize_sliderMoved(int position) { showBufferSize(position); }

void OrvoBufferSize::on_horizontalSliderBufferSize_valueChanged(int value)
{
    showBufferSize(value);
    deviceModel->setBufferSize(value);
}
