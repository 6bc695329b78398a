#pragma once

#include <QTabWidget>

class OrvoControlPanel;

namespace Ui {
class ZR90AlphaPanel;
}

// The settings page of the second mixer model: every control change goes to
// the main window as one parameter, and every value the mixer reports moves
// its control. The widgets are the panel's only state.
class ZR90AlphaPanel : public QTabWidget {
    Q_OBJECT
public:
    explicit ZR90AlphaPanel(QWidget* parent = nullptr);
    ~ZR90AlphaPanel() override;

    void setMainWindow(OrvoControlPanel* window) { mainWindow = window; }

    void updateFromParameter(int key, int value);
    void setBufferSizeDisplay(int milliseconds);
    // The EQ-kill mode exists only on newer firmware.
    void setEQKillModeVisible(bool visible);

private slots:
    void on_radioButtonMainStereo_toggled(bool checked);
    void on_horizontalSliderHeadphoneTone_valueChanged(int value);
    void on_horizontalSliderUSBFilter_valueChanged(int value);
    void on_radioButtonEQKillMomentary_toggled(bool checked);
    void on_horizontalSliderBufferSize_sliderMoved(int position);
    void on_horizontalSliderBufferSize_valueChanged(int value);
    void on_comboBoxD1Sensitivity_currentIndexChanged(int index);
    void on_horizontalSliderD1FilterRes_valueChanged(int value);
    void on_radioButtonD1PhonoCD_toggled(bool checked);
    void on_radioButtonD1Cross300_toggled(bool checked);
    void on_checkBoxD1USBInsert_toggled(bool checked);
    void on_comboBoxD2Sensitivity_currentIndexChanged(int index);
    void on_horizontalSliderD2FilterRes_valueChanged(int value);
    void on_radioButtonD2PhonoCD_toggled(bool checked);
    void on_radioButtonD2Cross300_toggled(bool checked);
    void on_checkBoxD2USBInsert_toggled(bool checked);

private:
    void showInputSource(int deck, unsigned value);
    void showBufferSize(int milliseconds);
    void sendSensitivity(int key, int index);

    Ui::ZR90AlphaPanel* ui;
    OrvoControlPanel* mainWindow = nullptr;
};
