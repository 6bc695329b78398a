#pragma once

#include <QMainWindow>

class MixerModel;

namespace Ui {
class OrvoBufferSize;
}

// The buffer-size program's window: the ASIO buffer time of every mixer, as
// the registry holds it, and a slider that sets it.
class OrvoBufferSize : public QMainWindow {
    Q_OBJECT
public:
    explicit OrvoBufferSize(QWidget* parent = nullptr);
    ~OrvoBufferSize() override;

    MixerModel* model() const { return deviceModel; }

private slots:
    void onDeviceModelSampleBufferSizeChanged(int bufferSize);
    void on_pushButtonAbout_clicked();
    void on_horizontalSliderBufferSize_sliderMoved(int position);
    void on_horizontalSliderBufferSize_valueChanged(int value);

private:
    void showBufferSize(int ms);

    Ui::OrvoBufferSize* ui;
    MixerModel* deviceModel = nullptr;
};
