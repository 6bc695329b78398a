#include "controlpanel/forms/zr90alpha_panel.h"

#include "controlpanel/forms/panel_display.h"
#include "controlpanel/orvo_control_panel.h"
#include "ui_zr90alpha_panel.h"

namespace {

enum Key : unsigned {
    SensitivityD1 = 1,
    ToneCrossD1 = 11,
    FilterResD1 = 13,
    UsbInsertD1 = 15,
    SensitivityD2 = 16,
    ToneCrossD2 = 26,
    FilterResD2 = 28,
    UsbInsertD2 = 29,
    UsbFilter = 30,
    HeadphoneTone = 31,
    PortsActive = 32,
    MainOut = 34,
    LocalPort = 48,
    InputSourceD1 = 49,
    InputSourceD2 = 50,
    EqKillMode = 57,
    RecordSourceD1 = 62,
    RecordSourceD2 = 63,
};

}  // namespace

ZR90AlphaPanel::ZR90AlphaPanel(QWidget* parent) : QTabWidget(parent), ui(new Ui::ZR90AlphaPanel) {
    ui->setupUi(this);
    ui->horizontalSliderHeadphoneTone->setDefaultValue(63);
    ui->horizontalSliderHeadphoneTone->setDefaultMarkVisible(true);
    ui->gridLayoutGeneral->setVerticalSpacing(8);
    ui->frameBufferSize->setVisible(true);
}

ZR90AlphaPanel::~ZR90AlphaPanel() {
    delete ui;
}

void ZR90AlphaPanel::updateFromParameter(int key, int value) {
    // Keys are 0..63; anything else (negative ones included) is another
    // model's or noise.
    if (key < 0 || key > 63)
        return;
    const auto v = static_cast<unsigned>(value);
    switch (static_cast<unsigned>(key)) {
    case SensitivityD1:
        ui->comboBoxD1Sensitivity->setCurrentIndex(value);
        break;
    case SensitivityD2:
        ui->comboBoxD2Sensitivity->setCurrentIndex(value);
        break;
    case ToneCrossD1:
        checkOneOf(ui->radioButtonD1Cross150, ui->radioButtonD1Cross300, OrvoControlPanel::valueToSwitch(v));
        break;
    case ToneCrossD2:
        checkOneOf(ui->radioButtonD2Cross150, ui->radioButtonD2Cross300, OrvoControlPanel::valueToSwitch(v));
        break;
    case FilterResD1:
        ui->horizontalSliderD1FilterRes->setValue(value);
        break;
    case FilterResD2:
        ui->horizontalSliderD2FilterRes->setValue(value);
        break;
    case UsbInsertD1:
        ui->checkBoxD1USBInsert->setChecked(OrvoControlPanel::valueToSwitch(v));
        break;
    case UsbInsertD2:
        ui->checkBoxD2USBInsert->setChecked(OrvoControlPanel::valueToSwitch(v));
        break;
    case UsbFilter:
        ui->horizontalSliderUSBFilter->setValue(value);
        break;
    case HeadphoneTone:
        ui->horizontalSliderHeadphoneTone->setValue(value);
        break;
    case PortsActive:
        showPortsActive(ui->ledAActive, ui->ledBActive, value);
        break;
    case MainOut:
        checkOneOf(ui->radioButtonMainMono, ui->radioButtonMainStereo, OrvoControlPanel::valueToSwitch(v));
        break;
    case LocalPort:
        showLocalPort(*mainWindow, ui->ledALocal, ui->ledBLocal);
        break;
    case InputSourceD1:
        showInputSource(0, v);
        break;
    case InputSourceD2:
        showInputSource(1, v);
        break;
    case EqKillMode:
        // Any non-zero value is latching.
        checkOneOf(ui->radioButtonEQKillLatching, ui->radioButtonEQKillMomentary, value != 0);
        break;
    case RecordSourceD1:
        checkOneOf(ui->radioButtonD1Post, ui->radioButtonD1PhonoCD, OrvoControlPanel::valueToSwitch(v));
        break;
    case RecordSourceD2:
        checkOneOf(ui->radioButtonD2Post, ui->radioButtonD2PhonoCD, OrvoControlPanel::valueToSwitch(v));
        break;
    default:
        break;
    }
}

void ZR90AlphaPanel::showInputSource(int deck, unsigned value) {
    DeckInputSource* const source[] = {ui->widgetD1InputSource, ui->widgetD2InputSource};
    QLabel* const label[] = {ui->labelD1Sensitivity, ui->labelD2Sensitivity};
    QComboBox* const combo[] = {ui->comboBoxD1Sensitivity, ui->comboBoxD2Sensitivity};
    const bool cd = OrvoControlPanel::valueToCdInput(value);
    if (cd)
        source[deck]->setCD();
    else
        source[deck]->setPhono();
    // Sensitivity is a phono input's setting.
    label[deck]->setVisible(!cd);
    combo[deck]->setVisible(!cd);
}

void ZR90AlphaPanel::showBufferSize(int milliseconds) {
    ui->labelBufferSize->setText(QString::number(milliseconds) + tr(" ms"));
}

void ZR90AlphaPanel::setBufferSizeDisplay(int milliseconds) {
    showBufferSize(milliseconds);
    ui->horizontalSliderBufferSize->setValue(milliseconds);
}

void ZR90AlphaPanel::setEQKillModeVisible(bool visible) {
    ui->labelEQKillSwitch->setVisible(visible);
    ui->radioButtonEQKillMomentary->setVisible(visible);
    ui->radioButtonEQKillLatching->setVisible(visible);
}

void ZR90AlphaPanel::sendSensitivity(int key, int index) {
    // -1: a reported value that has no item.
    if (index >= 0)
        mainWindow->setParameter(key, OrvoControlPanel::indexToValue(index));
}

void ZR90AlphaPanel::on_radioButtonMainStereo_toggled(bool checked) {
    mainWindow->setParameter(MainOut, OrvoControlPanel::switchToValue(!checked));
}

void ZR90AlphaPanel::on_horizontalSliderHeadphoneTone_valueChanged(int value) {
    mainWindow->setParameter(HeadphoneTone, value);
}

void ZR90AlphaPanel::on_horizontalSliderUSBFilter_valueChanged(int value) {
    mainWindow->setParameter(UsbFilter, value);
}

void ZR90AlphaPanel::on_radioButtonEQKillMomentary_toggled(bool checked) {
    mainWindow->setParameter(EqKillMode, OrvoControlPanel::switchToValue(!checked));
}

void ZR90AlphaPanel::on_horizontalSliderBufferSize_sliderMoved(int position) {
    showBufferSize(position);
}

void ZR90AlphaPanel::on_horizontalSliderBufferSize_valueChanged(int value) {
    showBufferSize(value);
    mainWindow->setBufferSize(value);
}

void ZR90AlphaPanel::on_comboBoxD1Sensitivity_currentIndexChanged(int index) {
    sendSensitivity(SensitivityD1, index);
}

void ZR90AlphaPanel::on_horizontalSliderD1FilterRes_valueChanged(int value) {
    mainWindow->setParameter(FilterResD1, value);
}

void ZR90AlphaPanel::on_radioButtonD1PhonoCD_toggled(bool checked) {
    mainWindow->setParameter(RecordSourceD1, OrvoControlPanel::switchToValue(!checked));
}

void ZR90AlphaPanel::on_radioButtonD1Cross300_toggled(bool checked) {
    mainWindow->setParameter(ToneCrossD1, OrvoControlPanel::switchToValue(!checked));
}

void ZR90AlphaPanel::on_checkBoxD1USBInsert_toggled(bool checked) {
    mainWindow->setParameter(UsbInsertD1, OrvoControlPanel::switchToValue(checked));
}

void ZR90AlphaPanel::on_comboBoxD2Sensitivity_currentIndexChanged(int index) {
    sendSensitivity(SensitivityD2, index);
}

void ZR90AlphaPanel::on_horizontalSliderD2FilterRes_valueChanged(int value) {
    mainWindow->setParameter(FilterResD2, value);
}

void ZR90AlphaPanel::on_radioButtonD2PhonoCD_toggled(bool checked) {
    mainWindow->setParameter(RecordSourceD2, OrvoControlPanel::switchToValue(!checked));
}

void ZR90AlphaPanel::on_radioButtonD2Cross300_toggled(bool checked) {
    mainWindow->setParameter(ToneCrossD2, OrvoControlPanel::switchToValue(!checked));
}

void ZR90AlphaPanel::on_checkBoxD2USBInsert_toggled(bool checked) {
    mainWindow->setParameter(UsbInsertD2, OrvoControlPanel::switchToValue(checked));
}
