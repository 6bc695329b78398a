#include "controlpanel/forms/qx1600_panel.h"

#include "controlpanel/forms/panel_display.h"
#include "controlpanel/orvo_control_panel.h"
#include "ui_qx1600_panel.h"

#include <QSignalBlocker>

namespace {

// Keys are the ASCII codes of letters and the backslash.
enum Key : unsigned {
    SensitivityD1 = 'B',  // .. 'E'
    RecordSourceD1 = 'F', // .. 'I'
    ToneCrossD1 = 'J',    // .. 'M'
    SubToneCross = 'N',
    HeadphoneTone = 'O',
    PortsActive = 'P',
    MainOut = 'R',
    MicCleanFeed = 'S',
    LocalPort = 'T',
    InputSourceD1 = 'V', // .. 'Y'
    MidiEnablePortA = 'Z',
    MidiEnablePortB = '\\',
};

}  // namespace

QX1600Panel::QX1600Panel(QWidget* parent) : QTabWidget(parent), ui(new Ui::QX1600Panel) {
    ui->setupUi(this);
    ui->horizontalSliderHeadphoneTone->setDefaultValue(63);
    ui->horizontalSliderHeadphoneTone->setDefaultMarkVisible(true);
    ui->gridLayoutGeneral->setVerticalSpacing(8);
    ui->frameBufferSize->setVisible(true);
}

QX1600Panel::~QX1600Panel() {
    delete ui;
}

void QX1600Panel::updateFromParameter(int key, int value) {
    const auto k = static_cast<unsigned>(key);
    const auto v = static_cast<unsigned>(value);
    QRadioButton* const recordPost[] = {ui->radioButtonD1Post, ui->radioButtonD2Post, ui->radioButtonD3Post,
                                        ui->radioButtonD4Post};
    QRadioButton* const recordPhonoCd[] = {ui->radioButtonD1PhonoCD, ui->radioButtonD2PhonoCD,
                                           ui->radioButtonD3PhonoCD, ui->radioButtonD4PhonoCD};
    QRadioButton* const cross150[] = {ui->radioButtonD1Cross150, ui->radioButtonD2Cross150, ui->radioButtonD3Cross150,
                                      ui->radioButtonD4Cross150};
    QRadioButton* const cross300[] = {ui->radioButtonD1Cross300, ui->radioButtonD2Cross300, ui->radioButtonD3Cross300,
                                      ui->radioButtonD4Cross300};
    QComboBox* const sensitivity[] = {ui->comboBoxD1Sensitivity, ui->comboBoxD2Sensitivity,
                                      ui->comboBoxD3Sensitivity, ui->comboBoxD4Sensitivity};

    if (k >= SensitivityD1 && k < SensitivityD1 + 4) {
        sensitivity[k - SensitivityD1]->setCurrentIndex(value);
    } else if (k >= RecordSourceD1 && k < RecordSourceD1 + 4) {
        checkOneOf(recordPost[k - RecordSourceD1], recordPhonoCd[k - RecordSourceD1], OrvoControlPanel::valueToSwitch(v));
    } else if (k >= ToneCrossD1 && k < ToneCrossD1 + 4) {
        checkOneOf(cross150[k - ToneCrossD1], cross300[k - ToneCrossD1], OrvoControlPanel::valueToSwitch(v));
    } else if (k >= InputSourceD1 && k < InputSourceD1 + 4) {
        showInputSource(static_cast<int>(k - InputSourceD1), v);
    } else {
        switch (k) {
        case SubToneCross:
            checkOneOf(ui->radioButtonSubX150, ui->radioButtonSubX300, OrvoControlPanel::valueToSwitch(v));
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
        case MicCleanFeed:
            checkOneOf(ui->radioButtonMicCleanFeedOn, ui->radioButtonMicCleanFeedOff,
                       OrvoControlPanel::valueToSwitch(v));
            break;
        case LocalPort:
            showLocalPort(*mainWindow, ui->ledALocal, ui->ledBLocal);
            break;
        case MidiEnablePortA:
        case MidiEnablePortB:
            // The one control means this computer's port: the other port's key
            // is not shown.
            if ((k == MidiEnablePortA) == (mainWindow->port() == 1))
                checkOneOf(ui->radioButtonMidiEnableOn, ui->radioButtonMidiEnableOff,
                           OrvoControlPanel::valueToEnable(value));
            break;
        default:
            break;
        }
    }
}

void QX1600Panel::showInputSource(int deck, unsigned value) {
    DeckInputSource* const source[] = {ui->widgetD1InputSource, ui->widgetD2InputSource, ui->widgetD3InputSource,
                                       ui->widgetD4InputSource};
    QLabel* const label[] = {ui->labelD1Sensitivity, ui->labelD2Sensitivity, ui->labelD3Sensitivity,
                             ui->labelD4Sensitivity};
    QComboBox* const combo[] = {ui->comboBoxD1Sensitivity, ui->comboBoxD2Sensitivity, ui->comboBoxD3Sensitivity,
                                ui->comboBoxD4Sensitivity};
    const int input = OrvoControlPanel::valueToInputSource(value);
    if (input == OrvoControlPanel::PhonoInput)
        source[deck]->setPhono();
    else if (input == OrvoControlPanel::CdInput)
        source[deck]->setCD();
    else
        source[deck]->setSPDIF();
    // Sensitivity is a phono input's setting.
    label[deck]->setVisible(input == OrvoControlPanel::PhonoInput);
    combo[deck]->setVisible(input == OrvoControlPanel::PhonoInput);
}

void QX1600Panel::setMidiChannelDisplay(int channel) {
    // Shown after a report or an import, which send the channel themselves.
    const QSignalBlocker blocker(ui->comboBoxMidiChannel);
    ui->comboBoxMidiChannel->setCurrentIndex(OrvoControlPanel::channelToIndex(channel));
}

void QX1600Panel::showBufferSize(int milliseconds) {
    ui->labelBufferSize->setText(QString::number(milliseconds) + tr(" ms"));
}

void QX1600Panel::setBufferSizeDisplay(int milliseconds) {
    showBufferSize(milliseconds);
    ui->horizontalSliderBufferSize->setValue(milliseconds);
}

void QX1600Panel::on_radioButtonMainStereo_toggled(bool checked) {
    mainWindow->setParameter(MainOut, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_horizontalSliderHeadphoneTone_valueChanged(int value) {
    mainWindow->setParameter(HeadphoneTone, value);
}

void QX1600Panel::on_radioButtonSubX300_toggled(bool checked) {
    mainWindow->setParameter(SubToneCross, OrvoControlPanel::switchToValue(!checked));
}

// The one pair whose first button (On) stands for 64.
void QX1600Panel::on_radioButtonMicCleanFeedOn_toggled(bool checked) {
    mainWindow->setParameter(MicCleanFeed, OrvoControlPanel::switchToValue(checked));
}

void QX1600Panel::on_radioButtonMidiEnableOn_toggled(bool checked) {
    mainWindow->setParameter(mainWindow->port() == 1 ? MidiEnablePortA : MidiEnablePortB,
                             OrvoControlPanel::enableToValue(checked));
}

void QX1600Panel::on_comboBoxMidiChannel_currentIndexChanged(int index) {
    if (index < 0)
        return;
    mainWindow->setMidiChannel(static_cast<uint8_t>(OrvoControlPanel::indexToChannel(index)));
}

void QX1600Panel::on_horizontalSliderBufferSize_sliderMoved(int position) {
    showBufferSize(position);
}

void QX1600Panel::on_horizontalSliderBufferSize_valueChanged(int value) {
    showBufferSize(value);
    mainWindow->setBufferSize(value);
}

void QX1600Panel::sendSensitivity(int key, int index) {
    // -1: a reported value that has no item.
    if (index >= 0)
        mainWindow->setParameter(key, OrvoControlPanel::indexToValue(index));
}

void QX1600Panel::on_radioButtonD1PhonoCD_toggled(bool checked) {
    mainWindow->setParameter(RecordSourceD1, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_radioButtonD1Cross300_toggled(bool checked) {
    mainWindow->setParameter(ToneCrossD1, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_comboBoxD1Sensitivity_currentIndexChanged(int index) {
    sendSensitivity(SensitivityD1, index);
}

void QX1600Panel::on_radioButtonD2PhonoCD_toggled(bool checked) {
    mainWindow->setParameter(RecordSourceD1 + 1, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_radioButtonD2Cross300_toggled(bool checked) {
    mainWindow->setParameter(ToneCrossD1 + 1, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_comboBoxD2Sensitivity_currentIndexChanged(int index) {
    sendSensitivity(SensitivityD1 + 1, index);
}

void QX1600Panel::on_radioButtonD3PhonoCD_toggled(bool checked) {
    mainWindow->setParameter(RecordSourceD1 + 2, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_radioButtonD3Cross300_toggled(bool checked) {
    mainWindow->setParameter(ToneCrossD1 + 2, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_comboBoxD3Sensitivity_currentIndexChanged(int index) {
    sendSensitivity(SensitivityD1 + 2, index);
}

void QX1600Panel::on_radioButtonD4PhonoCD_toggled(bool checked) {
    mainWindow->setParameter(RecordSourceD1 + 3, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_radioButtonD4Cross300_toggled(bool checked) {
    mainWindow->setParameter(ToneCrossD1 + 3, OrvoControlPanel::switchToValue(!checked));
}

void QX1600Panel::on_comboBoxD4Sensitivity_currentIndexChanged(int index) {
    sendSensitivity(SensitivityD1 + 3, index);
}
