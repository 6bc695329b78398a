#pragma once

#include "mixer/model/mixer_model.h"

#include <QMainWindow>
#include <QMap>
#include <QPixmap>
#include <QTimer>

#include <atomic>
#include <cstdint>

class AppSettings;
class QShortcut;
class SettingsPresenter;
class UserSettings;

namespace Ui {
class OrvoControlPanel;
}

// The control panel's main window: the list of connected mixers, the page of
// the selected mixer's model, the settings-file row and the firmware frame.
class OrvoControlPanel : public QMainWindow {
    Q_OBJECT
public:
    enum MixerType { NoMixer = 1, FirstModel = 2, SecondModel = 3 };
    enum DeviceCountState { Searching = 1, OneDevice = 2, SeveralDevices = 3 };
    static constexpr int MidiChannelParameterKey = 258;

    explicit OrvoControlPanel(QWidget* parent = nullptr);
    ~OrvoControlPanel() override;

    int port() const { return devicePort; }
    bool isPortA(int) const { return devicePort == 1; }
    bool isPortB(int) const { return devicePort == 2; }

    // Value converters between a 7-bit parameter value and a widget state,
    // the one place that holds their thresholds; both model panels use them.
    enum InputSourceIndex { PhonoInput = 0, CdInput = 1, SpdifInput = 2 };
    static bool valueToSwitch(unsigned value);
    static int switchToValue(int flag);
    static int switchToValue(bool flag);
    static bool valueToEnable(int value);
    static int enableToValue(int flag);
    static int indexToValue(int index);
    static int channelToIndex(int channel);
    static int indexToChannel(int index);
    static int valueToInputSource(unsigned value);
    static bool valueToCdInput(unsigned value);
    static bool isPortAActive(int value);
    static bool isPortBActive(unsigned value);

    // Changes the panels make: sent to the current mixer and kept in the map.
    void setParameter(int key, int value);
    void setMidiChannel(int channel);
    void setBufferSize(int milliseconds);
    // Sends the whole map (after an import), the channel last.
    void applySettingsToDevice();

    // Null: Qt's own dialogs.
    void setSettingsPresenter(SettingsPresenter* presenter);

    MixerModel* model() const { return deviceModel; }
    bool isBusy() const { return busy; }
    bool isModified() const { return modified; }
    int currentMixerType() const { return mixerType; }
    int currentDeviceCountState() const { return deviceCountState; }
    const QMap<int, int>& parameters() const { return parameterMap; }
    int currentMidiChannel() const { return midiChannel; }

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void onDeviceModelAddDevice(orvo_device_ptr_t device);
    void onDeviceModelRemoveDevice(orvo_device_ptr_t device);
    void onDeviceModelChannelValueRecieved(int value);
    void onDeviceModelCPValueRecieved(int parameterKey, int value);
    void onDeviceModelFirmwareProgress(int firmwareProgress);
    void onDeviceModelSetBusy(bool busy);
    void onDeviceModelSampleBufferSizeChanged(int bufferSize);
    void OnShowing();
    void OnBusyTimerTerminate();
    // Ctrl+R. Named without the "on_" prefix: no object of the form carries
    // its name, and name binding would warn about it at every start.
    void onEnableFirmwareRollback();
    void on_comboBoxDevices_currentIndexChanged(int index);
    void on_pushButtonImport_clicked();
    void on_pushButtonExport_clicked();
    void on_pushButtonSave_clicked();
    void on_pushButtonUpdateFirmware_clicked();
    void on_pushButtonAbout_clicked();

private:
    int indexOfDevice(orvo_device_ptr_t device) const;
    orvo_device_ptr_t deviceAt(int index) const;
    void selectDevice(orvo_device_ptr_t device);
    void refreshDevice(bool reRead);
    void updateDeviceCountLabel();
    void refreshDeviceComboTexts();
    void setDeviceFirmwareVersion(const QString& text, int version);
    void setModified(bool on);
    void updateSettingsFileLabel();
    // The panel is usable without a device, else only while idle and the
    // device runs its application.
    void enablePanelForDevice();
    void updateFirmwareUi();
    // Runs a reported value on the GUI thread, unless the selection changed
    // between the report and its delivery (the report is the old mixer's).
    template <class F> void deliverReport(F&& apply);

    QShortcut* rollbackShortcut = nullptr;
    MixerModel* deviceModel = nullptr;
    QMap<int, int> parameterMap;
    AppSettings* appSettings = nullptr;
    UserSettings* userSettings = nullptr;
    int mixerType = NoMixer;
    uint8_t midiChannel = 0;
    int deviceCountState = Searching;
    int settingsFileState = 1;
    int firmwareUiState = 1;
    bool rollbackOffered = false;
    bool modified = false;
    bool comboUpdating = false;
    bool busy = false;
    QPixmap firmwarePixmap;
    QString deviceTypeName;
    QString deviceFirmwareText;
    int deviceFirmwareVersion = 0;
    QString imageFirmwareText;
    int imageFirmwareVersion = 0;
    int eqKillMinimumVersion = 0x0100047A;
    int devicePort = 1;
    QTimer busyTimer;
    Ui::OrvoControlPanel* ui = nullptr;
    // Counts selections: a report carries the count of its emission, and
    // selectDevice notices a selection made while it processed events.
    std::atomic<uint64_t> selectionCount{0};
    bool closing = false;
    SettingsPresenter* settingsPresenter;
};
