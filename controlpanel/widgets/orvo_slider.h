#pragma once

#include <QSlider>

namespace Ui {
class OrvoSlider;
}

// A slider with a default value that a double-click on its handle restores,
// and a centre mark whose colour tells whether it stands at that default.
class OrvoSlider : public QSlider {
    Q_OBJECT
public:
    explicit OrvoSlider(QWidget* parent = nullptr);
    ~OrvoSlider() override;

    // Kept only when inside the slider's range at the time of the call.
    void setDefaultValue(int value);
    int defaultValue() const { return defaultValue_; }
    void setDefaultMarkVisible(bool visible) { defaultMarkVisible_ = visible; }
    bool isDefaultMarkVisible() const { return defaultMarkVisible_; }

    // The mark's colour for the present value: "#212121" at the default.
    QColor defaultMarkColor() const;

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Ui::OrvoSlider* ui;
    int defaultValue_ = -1;
    bool defaultMarkVisible_ = false;
};
