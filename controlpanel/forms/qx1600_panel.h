#pragma once

#include <QTabWidget>

class OrvoControlPanel;

namespace Ui {
class QX1600Panel;
}

// The settings page of the first mixer model: every control change goes to
// the main window as one parameter, and every value the mixer reports moves
// its control. The widgets are the panel's only state.
class QX1600Panel : public QTabWidget {
    Q_OBJECT
public:
    explicit QX1600Panel(QWidget* parent = nullptr);
    ~QX1600Panel() override;

    void setMainWindow(OrvoControlPanel* window) { mainWindow = window; }

    void updateFromParameter(int key, int value);
    // Display only: the channel shown is not sent back.
    void setMidiChannelDisplay(int channel);
    void setBufferSizeDisplay(int milliseconds);

private slots:
    void on_radioButtonMainStereo_toggled(bool checked);
    void on_horizontalSliderHeadphoneTone_valueChanged(int value);
    void on_radioButtonSubX300_toggled(bool checked);
    void on_radioButtonMicCleanFeedOn_toggled(bool checked);
    void on_radioButtonMidiEnableOn_toggled(bool checked);
    void on_comboBoxMidiChannel_currentIndexChanged(int index);
    void on_horizontalSliderBufferSize_sliderMoved(int position);
    void on_horizontalSliderBufferSize_valueChanged(int value);
    void on_radioButtonD1PhonoCD_toggled(bool checked);
    void on_radioButtonD1Cross300_toggled(bool checked);
    void on_comboBoxD1Sensitivity_currentIndexChanged(int index);
    void on_radioButtonD2PhonoCD_toggled(bool checked);
    void on_radioButtonD2Cross300_toggled(bool checked);
    void on_comboBoxD2Sensitivity_currentIndexChanged(int index);
    void on_radioButtonD3PhonoCD_toggled(bool checked);
    void on_radioButtonD3Cross300_toggled(bool checked);
    void on_comboBoxD3Sensitivity_currentIndexChanged(int index);
    void on_radioButtonD4PhonoCD_toggled(bool checked);
    void on_radioButtonD4Cross300_toggled(bool checked);
    void on_comboBoxD4Sensitivity_currentIndexChanged(int index);

private:
    void showInputSource(int deck, unsigned value);
    void showBufferSize(int milliseconds);
    void sendSensitivity(int key, int index);

    Ui::QX1600Panel* ui;
    OrvoControlPanel* mainWindow = nullptr;
};
