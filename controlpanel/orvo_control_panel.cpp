#include "controlpanel/orvo_control_panel.h"

#include "controlpanel/app_settings.h"
#include "controlpanel/forms/about_dialog.h"
#include "controlpanel/settings_presenter.h"
#include "controlpanel/user_settings.h"
#include "controlpanel/widgets/utils.h"
#include "mixer/model/device_text.h"
#include "ui_orvo_control_panel.h"

#include <QApplication>
#include <QShortcut>
#include <QThread>

using namespace orvo::model;

namespace {

// The device texts of the list: the name, then the serial number when
// another item has the same USB id, then the port when the serial repeats too.
QString deviceDisplayName(orvo_device_ptr_t device, bool idRepeats, bool serialRepeats) {
    QString text = deviceName(device);
    if (idRepeats)
        text += "  [" + deviceSerialText(device) + "]";
    if (serialRepeats)
        text += QString("  Port: ") + QChar(devicePortLetter(device));
    return text;
}

}  // namespace

OrvoControlPanel::OrvoControlPanel(QWidget* parent)
    : QMainWindow(parent), ui(new Ui::OrvoControlPanel), settingsPresenter(&SettingsPresenter::dialogs()) {
    qRegisterMetaType<orvo_device_ptr_t>("orvo_device_ptr_t");
    ui->setupUi(this);

    rollbackShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+R")), this, SLOT(onEnableFirmwareRollback()));
    rollbackShortcut->setContext(Qt::ApplicationShortcut);

    setFixedSize(size());
    ui->pageQX1600->setMainWindow(this);
    ui->pageZR90Alpha->setMainWindow(this);

    if (Utils::isHighDpiScreen()) {
        ui->pushButtonAbout->setStyleSheet(
            "QPushButton{ border-image: url(:/images/logo_orvo_2x.png);}  "
            "QPushButton:hover{border-image: url(:/images/logo_orvo_hover_2x.png);}");
        firmwarePixmap.load(":/images/fw_update@2x.png");
    } else {
        ui->pushButtonAbout->setStyleSheet(
            "QPushButton{ border-image: url(:/images/logo_orvo.png);}  "
            "QPushButton:hover{border-image: url(:/images/logo_orvo_hover.png);}");
        firmwarePixmap.load(":/images/fw_update.png");
    }
    ui->labelImageFWAvailable->setPixmap(firmwarePixmap);

    ui->comboBoxDevices->clear();
    deviceModel = new MixerModel(nullptr);
    appSettings = new AppSettings(this);
    userSettings = new UserSettings(this, appSettings);

    // Device reports wait until the window has taken them: a removed record
    // is deleted as soon as its listeners return.
    connect(deviceModel, &MixerModel::addDevice, this, &OrvoControlPanel::onDeviceModelAddDevice,
            Qt::BlockingQueuedConnection);
    connect(deviceModel, &MixerModel::removeDevice, this, &OrvoControlPanel::onDeviceModelRemoveDevice,
            Qt::BlockingQueuedConnection);
    // Reported values are stamped with the selection they were sent under
    // on the emitting thread, then handed over as blocking queued calls.
    connect(deviceModel, &MixerModel::channelValueRecieved, this,
            [this](int value) { deliverReport([this, value] { onDeviceModelChannelValueRecieved(value); }); },
            Qt::DirectConnection);
    connect(deviceModel, &MixerModel::cpValueRecieved, this,
            [this](int key, int value) { deliverReport([this, key, value] { onDeviceModelCPValueRecieved(key, value); }); },
            Qt::DirectConnection);

    // The update runs on this thread; its progress arrives directly.
    connect(deviceModel, &MixerModel::firmwareProgress, this, &OrvoControlPanel::onDeviceModelFirmwareProgress,
            Qt::DirectConnection);
    connect(deviceModel, &MixerModel::setBusy, this, &OrvoControlPanel::onDeviceModelSetBusy, Qt::QueuedConnection);
    connect(deviceModel, &MixerModel::sampleBufferSizeChanged, this,
            &OrvoControlPanel::onDeviceModelSampleBufferSizeChanged, Qt::DirectConnection);

    selectDevice(nullptr);
    updateDeviceCountLabel();
    updateSettingsFileLabel();

    connect(&busyTimer, &QTimer::timeout, this, &OrvoControlPanel::OnBusyTimerTerminate);
    busyTimer.setInterval(3000);
    busyTimer.setSingleShot(true);
}

OrvoControlPanel::~OrvoControlPanel() {
    // The model's destructor hands over reports still in flight while it
    // waits for them; the window no longer acts on them.
    closing = true;
    if (busy)
        QApplication::restoreOverrideCursor();
    delete rollbackShortcut;
    delete deviceModel;
    delete appSettings;
    delete userSettings;
    delete ui;
}

template <class F> void OrvoControlPanel::deliverReport(F&& apply) {
    const uint64_t selection = selectionCount.load();
    auto call = [this, selection, apply = std::forward<F>(apply)] {
        if (selection == selectionCount.load())
            apply();
    };
    if (QThread::currentThread() == thread())
        call();
    else
        QMetaObject::invokeMethod(this, call, Qt::BlockingQueuedConnection);
}

void OrvoControlPanel::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    QTimer::singleShot(100, this, &OrvoControlPanel::OnShowing);
}

void OrvoControlPanel::OnShowing() {
    deviceModel->start();
}

int OrvoControlPanel::indexOfDevice(orvo_device_ptr_t device) const {
    for (int i = 0; i < ui->comboBoxDevices->count(); ++i)
        if (deviceAt(i) == device)
            return i;
    return -1;
}

orvo_device_ptr_t OrvoControlPanel::deviceAt(int index) const {
    return ui->comboBoxDevices->itemData(index, Qt::UserRole).value<orvo_device_ptr_t>();
}

void OrvoControlPanel::onDeviceModelAddDevice(orvo_device_ptr_t device) {
    if (closing)
        return;
    const int before = ui->comboBoxDevices->currentIndex();
    const bool listed = indexOfDevice(device) >= 0;
    comboUpdating = true;
    ui->comboBoxDevices->setUpdatesEnabled(false);
    if (!listed && device) {
        ui->comboBoxDevices->addItem(deviceName(device), QVariant::fromValue(device));
        refreshDeviceComboTexts();
    }
    comboUpdating = false;
    ui->comboBoxDevices->setUpdatesEnabled(true);
    if (ui->comboBoxDevices->currentIndex() == before)
        refreshDevice(true);
    else
        selectDevice(deviceAt(ui->comboBoxDevices->currentIndex()));
    updateDeviceCountLabel();
}

void OrvoControlPanel::onDeviceModelRemoveDevice(orvo_device_ptr_t device) {
    if (closing)
        return;
    const int index = indexOfDevice(device);
    if (index >= 0) {
        comboUpdating = true;
        ui->comboBoxDevices->setUpdatesEnabled(false);
        if (ui->comboBoxDevices->count() == 1) {
            ui->comboBoxDevices->removeItem(index);
            selectDevice(nullptr);
        } else {
            const orvo_device_ptr_t noted = deviceAt(ui->comboBoxDevices->currentIndex());
            ui->comboBoxDevices->removeItem(index);
            const int again = indexOfDevice(noted);
            ui->comboBoxDevices->setCurrentIndex(again < 0 ? 0 : again);
            const orvo_device_ptr_t now = deviceAt(ui->comboBoxDevices->currentIndex());
            if (!now || now == noted)
                refreshDevice(true);
            else
                selectDevice(now);
            refreshDeviceComboTexts();
        }
        comboUpdating = false;
        ui->comboBoxDevices->setUpdatesEnabled(true);
    }
    updateDeviceCountLabel();
}

void OrvoControlPanel::on_comboBoxDevices_currentIndexChanged(int index) {
    const orvo_device_ptr_t device = deviceAt(index);
    if (device && !comboUpdating)
        selectDevice(device);
}

void OrvoControlPanel::refreshDeviceComboTexts() {
    const int count = ui->comboBoxDevices->count();
    for (int i = 0; i < count; ++i) {
        const orvo_device_ptr_t p = deviceAt(i);
        bool idRepeats = false;
        bool serialRepeats = false;
        for (int j = 0; j < count; ++j) {
            const orvo_device_ptr_t q = deviceAt(j);
            if (q == p || q->descriptor.usbId() != p->descriptor.usbId())
                continue;
            idRepeats = true;
            if (q->descriptor.serialNumber() == p->descriptor.serialNumber())
                serialRepeats = true;
        }
        const QString text = deviceDisplayName(p, idRepeats, serialRepeats);
        if (text != ui->comboBoxDevices->itemText(i))
            ui->comboBoxDevices->setItemText(i, text);
    }
}

void OrvoControlPanel::updateDeviceCountLabel() {
    const int count = ui->comboBoxDevices->count();
    deviceCountState = count == 0 ? Searching : count == 1 ? OneDevice : SeveralDevices;
    switch (deviceCountState) {
    case Searching:
        ui->labelDeviceState->setText(tr("Searching for Devices:"));
        break;
    case OneDevice:
        ui->labelDeviceState->setText(tr("Detected Device:"));
        ui->labelDeviceName->setText(ui->comboBoxDevices->itemText(0));
        break;
    default:
        ui->labelDeviceState->setText(tr("Detected Devices:"));
        break;
    }
    ui->labelDeviceState->setVisible(true);
    ui->labelDeviceName->setVisible(deviceCountState == OneDevice);
    ui->comboBoxDevices->setVisible(deviceCountState == SeveralDevices);
    ui->progressBarSearching->setVisible(deviceCountState == Searching);
    ui->groupBoxPreferences->setVisible(deviceCountState != Searching);
    ui->frameFWUpdate->setVisible(deviceCountState != Searching);
}

void OrvoControlPanel::selectDevice(orvo_device_ptr_t device) {
    // Reports still on their way from the previous mixer are dropped.
    const uint64_t selection = ++selectionCount;
    rollbackOffered = false;
    parameterMap.clear();
    settingsFileState = 1;
    updateSettingsFileLabel();
    // Unknown until the new mixer reports it: nothing is sent meanwhile,
    // neither on channel 0 (16 on the wire) nor on the previous mixer's.
    midiChannel = 0;

    const int noted = ui->stackedWidgetDevices->currentIndex();
    int page = noted;
    const uint32_t usbId = device ? device->descriptor.usbId() : 0;
    if (!device) {
        mixerType = NoMixer;
        deviceTypeName = tr("");
        page = 0;
    } else if (usbId == MixerModel::kFirstModelUsbId) {
        mixerType = FirstModel;
        deviceTypeName = deviceName(device);
        page = 1;
    } else if (usbId == MixerModel::kSecondModelUsbId) {
        mixerType = SecondModel;
        deviceTypeName = deviceName(device);
        page = 2;
    }
    if (page != noted) {
        ui->stackedWidgetDevices->setCurrentIndex(page);
        ui->stackedWidgetDevices->setEnabled(false);
        QCoreApplication::processEvents();
        // Meanwhile the device may have been reported removed (its record is
        // then gone), and that report may have selected another device.
        if (selection != selectionCount.load())
            return;
        if (device && indexOfDevice(device) < 0) {
            selectDevice(deviceAt(ui->comboBoxDevices->currentIndex()));
            return;
        }
    }
    ui->labelFWDeviceType->setText(deviceTypeName);
    firmwareUiState = 1;
    // The new device's reports are taken from the moment it is current (the
    // window serves events while the pair switches): its port first.
    if (device)
        devicePort = devicePortLetter(device) == 'A' ? 1 : 2;
    deviceModel->setCurrentDevice(device);
    // A report handled during the switch may have selected another device.
    if (selection != selectionCount.load())
        return;
    refreshDevice(false);
}

void OrvoControlPanel::refreshDevice(bool reRead) {
    const orvo_device_ptr_t device = deviceModel->currentDevice();
    enablePanelForDevice();
    if (device) {
        if (reRead)
            deviceModel->setCurrentDevice(device);
        QString text;
        int number = 0;
        deviceModel->deviceFirmwareVersion(text, number);
        setDeviceFirmwareVersion(text, number);
        if (device->state == Orvo::kDeviceUpdating)
            firmwareUiState = 3;
        else if (device->state == Orvo::kDeviceBootloader)
            firmwareUiState = 2;
        devicePort = devicePortLetter(device) == 'A' ? 1 : 2;
    }
    updateFirmwareUi();
}

void OrvoControlPanel::enablePanelForDevice() {
    const orvo_device_ptr_t device = deviceModel->currentDevice();
    // Every parameter goes out on the mixer's channel: until it is known a
    // change or an import could reach nothing, so none is offered.
    ui->stackedWidgetDevices->setEnabled(
        !device || (!busy && device->state == Orvo::kDeviceApplication && midiChannel != 0));
    ui->pushButtonImport->setEnabled(midiChannel != 0);
}

void OrvoControlPanel::setDeviceFirmwareVersion(const QString& text, int version) {
    deviceFirmwareText = text;
    deviceFirmwareVersion = version;
    deviceModel->imageFirmwareVersion(imageFirmwareText, imageFirmwareVersion);
    ui->labelFWDeviceVersion->setText(deviceFirmwareText);
    // Versions are unsigned 32-bit numbers everywhere in the system.
    const auto device = static_cast<uint32_t>(deviceFirmwareVersion);
    const auto image = static_cast<uint32_t>(imageFirmwareVersion);
    if (device == image)
        firmwareUiState = 1;
    else if (device < image)
        firmwareUiState = 2;
    ui->pageZR90Alpha->setEQKillModeVisible(device >= static_cast<uint32_t>(eqKillMinimumVersion));
}

void OrvoControlPanel::updateFirmwareUi() {
    if (firmwareUiState < 1 || firmwareUiState > 3)
        return;
    const bool offered = firmwareUiState == 2;
    const bool updating = firmwareUiState == 3;
    if (offered)
        ui->pushButtonUpdateFirmware->setText(
            QString(rollbackOffered ? "Rollback to version %1" : "Update to version %1").arg(imageFirmwareText));
    if (updating)
        ui->labelFirmwareStatus->setText(
            QString(rollbackOffered ? "Rolling back firmware from %1 to %2" : "Updating firmware from %1 to %2")
                .arg(deviceFirmwareText, imageFirmwareText));
    ui->pushButtonUpdateFirmware->setVisible(offered);
    ui->labelImageFWAvailable->setVisible(offered || updating);
    ui->labelFirmwarePrompt->setVisible(!updating);
    ui->labelFWDeviceVersion->setVisible(!updating);
    ui->progressBarFirmwareUpdate->setVisible(updating);
    ui->labelFirmwareStatus->setVisible(updating);
    ui->labelFWDeviceType->show();
}

void OrvoControlPanel::onEnableFirmwareRollback() {
    if (mixerType == NoMixer ||
        static_cast<uint32_t>(imageFirmwareVersion) >= static_cast<uint32_t>(deviceFirmwareVersion))
        return;
    firmwareUiState = 2;
    rollbackOffered = true;
    updateFirmwareUi();
}

void OrvoControlPanel::onDeviceModelChannelValueRecieved(int value) {
    if (closing)
        return;
    // A channel the mixer cannot have is kept nowhere: the map is what an
    // export writes, and the import takes only 1..16.
    if (value < 1 || value > 16)
        return;
    parameterMap[MidiChannelParameterKey] = value;
    const bool wasUnknown = midiChannel == 0;
    midiChannel = static_cast<uint8_t>(value);
    if (mixerType == FirstModel)
        ui->pageQX1600->setMidiChannelDisplay(value);
    if (wasUnknown)
        enablePanelForDevice();
}

void OrvoControlPanel::onDeviceModelCPValueRecieved(int parameterKey, int value) {
    if (closing || mixerType == NoMixer)
        return;
    // Live status keys, and the MIDI-enable key of the other port, are shown
    // but never stored.
    bool status = false;
    if (mixerType == FirstModel)
        status = parameterKey == 80 || parameterKey == 84 || (parameterKey >= 86 && parameterKey <= 89) ||
                 (parameterKey == 90 && devicePort != 1) || (parameterKey == 92 && devicePort != 2);
    else if (mixerType == SecondModel)
        status = parameterKey == 32 || (parameterKey >= 48 && parameterKey <= 50);
    // Nor is a key the model does not have: a file exported with it could
    // not be imported again.
    if (!status && UserSettings::isModelKey(QString::number(mixerType), parameterKey))
        parameterMap[parameterKey] = value;
    if (mixerType == FirstModel)
        ui->pageQX1600->updateFromParameter(parameterKey, value);
    else
        ui->pageZR90Alpha->updateFromParameter(parameterKey, value);
}

void OrvoControlPanel::onDeviceModelSampleBufferSizeChanged(int bufferSize) {
    // One size for every mixer: both pages show it, so the page of a mixer
    // selected later does not show a stale one.
    ui->pageQX1600->setBufferSizeDisplay(bufferSize);
    ui->pageZR90Alpha->setBufferSizeDisplay(bufferSize);
}

void OrvoControlPanel::setModified(bool on) {
    modified = on;
    updateSettingsFileLabel();
}

void OrvoControlPanel::setSettingsPresenter(SettingsPresenter* presenter) {
    settingsPresenter = presenter ? presenter : &SettingsPresenter::dialogs();
    userSettings->setPresenter(settingsPresenter);
}

void OrvoControlPanel::updateSettingsFileLabel() {
    if (settingsFileState == 2) {
        QString text = tr("Settings File: ") + userSettings->fileName();
        if (modified)
            text += "  [Modified]";
        ui->labelImportedStatus->setText(text);
        ui->labelImportedStatus->show();
        ui->pushButtonSave->setVisible(modified);
    } else {
        ui->labelImportedStatus->setText(tr(""));
        ui->labelImportedStatus->hide();
        ui->pushButtonSave->hide();
    }
}

void OrvoControlPanel::on_pushButtonImport_clicked() {
    if (midiChannel == 0)
        return; // nothing could be sent: the button is not offered
    if (userSettings->importSettings(&parameterMap, QString::number(mixerType), deviceFirmwareText) &&
        !userSettings->fileName().isEmpty()) {
        applySettingsToDevice();
        settingsFileState = 2;
        updateSettingsFileLabel();
        return;
    }
    const int code = userSettings->lastError();
    if (code == UserSettings::Cancelled)
        return;
    QString detail;
    if (code == UserSettings::OtherMixerType)
        detail = "The selected settings file was from a different type of mixer.";
    else if (code == UserSettings::Unreadable)
        detail = "An error occured when opening the selected settings file. Try re-opening the file or select a "
                 "different settings file for import.";
    else if (code == UserSettings::InvalidContent)
        detail = "The selected settings file holds a setting this mixer does not have or a value it cannot take (" +
                 userSettings->refusedEntry() + "). Nothing was sent to the mixer.";
    settingsPresenter->showWarning("Settings import failed", detail);
    settingsFileState = 1;
    updateSettingsFileLabel();
}

void OrvoControlPanel::on_pushButtonExport_clicked() {
    if (userSettings->exportSettings(parameterMap, QString::number(mixerType), deviceFirmwareText))
        updateSettingsFileLabel();
}

void OrvoControlPanel::on_pushButtonSave_clicked() {
    if (userSettings->saveSettings(parameterMap))
        setModified(false);
}

void OrvoControlPanel::setParameter(int key, int value) {
    if (deviceModel->isReading() || midiChannel == 0)
        return;
    if (!deviceModel->setParameter(midiChannel, key, value))
        return;
    if (!modified)
        setModified(true);
    parameterMap[key] = value;
}

void OrvoControlPanel::setMidiChannel(int channel) {
    if (deviceModel->isReading() || channel < 1 || channel > 16)
        return;
    if (!deviceModel->setMidiChannel(channel))
        return;
    midiChannel = static_cast<uint8_t>(channel);
    if (!modified)
        setModified(true);
    parameterMap[MidiChannelParameterKey] = channel;
}

void OrvoControlPanel::setBufferSize(int milliseconds) {
    // The ASIO driver takes 1..50 ms; a slider never writes anything else.
    if (deviceModel->isReading() || milliseconds < MixerModel::kMinBufferSize ||
        milliseconds > MixerModel::kMaxBufferSize)
        return;
    deviceModel->setBufferSize(milliseconds);
}

void OrvoControlPanel::applySettingsToDevice() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    int channel = 0;
    for (auto it = parameterMap.cbegin(); it != parameterMap.cend(); ++it) {
        if (it.key() == MidiChannelParameterKey) {
            channel = it.value();
            continue;
        }
        if (midiChannel == 0)
            continue;
        int key = it.key();
        if (key == 90 || key == 92)
            key = devicePort == 1 ? 90 : 92;
        deviceModel->sendParameter(midiChannel, key, it.value());
    }
    if (channel >= 1 && channel <= 16 && mixerType == FirstModel) {
        midiChannel = static_cast<uint8_t>(channel);
        ui->pageQX1600->setMidiChannelDisplay(channel);
        deviceModel->sendMidiChannel(channel);
    }
    if (modified)
        setModified(false);
    QApplication::restoreOverrideCursor();
    QCoreApplication::processEvents();
}

void OrvoControlPanel::onDeviceModelSetBusy(bool isBusy) {
    if (closing)
        return;
    if (isBusy != busy) {
        busy = isBusy;
        if (busy) {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            ui->pushButtonUpdateFirmware->setEnabled(false);
            ui->comboBoxDevices->setEnabled(false);
            ui->groupBoxPreferences->setEnabled(false);
        } else {
            busyTimer.stop();
            ui->comboBoxDevices->setEnabled(true);
            ui->groupBoxPreferences->setEnabled(true);
            ui->pushButtonUpdateFirmware->setEnabled(true);
            QApplication::restoreOverrideCursor();
        }
        enablePanelForDevice();
    }
    if (busy)
        busyTimer.start();
    QCoreApplication::processEvents();
}

void OrvoControlPanel::OnBusyTimerTerminate() {
    if (!busy || deviceModel->isUpdating()) {
        busyTimer.stop();
        return;
    }
    deviceModel->setReading(false);
    if (!deviceModel->currentDevice()) {
        onDeviceModelSetBusy(false);
        return;
    }
    busyTimer.stop();
    ui->comboBoxDevices->setEnabled(true);
    ui->pushButtonUpdateFirmware->setEnabled(true);
    ui->stackedWidgetDevices->setEnabled(false);
    QCoreApplication::processEvents();
    // Taken again after the events: the device may have been removed meanwhile.
    if (const orvo_device_ptr_t device = deviceModel->currentDevice())
        deviceModel->setCurrentDevice(device);
}

void OrvoControlPanel::on_pushButtonUpdateFirmware_clicked() {
    // The update processes events while it runs: a second click must not
    // start another.
    if (deviceModel->isUpdating() || !deviceModel->currentDevice())
        return;
    deviceModel->updateFirmware();
}

void OrvoControlPanel::onDeviceModelFirmwareProgress(int firmwareProgress) {
    ui->progressBarFirmwareUpdate->setValue(firmwareProgress);
    // Keeps the window drawn and takes the mixer's reports, but no clicks,
    // keys or shortcuts while the update runs.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void OrvoControlPanel::on_pushButtonAbout_clicked() {
    auto* dialog = new AboutDialog(AboutDialog::ControlPanel, nullptr);
    dialog->setWindowFlags(Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    dialog->setWindowTitle(tr("About Orvo Control Panel"));
    dialog->exec();
    delete dialog;
}
