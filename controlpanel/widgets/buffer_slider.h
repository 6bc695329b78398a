#pragma once

#include <QSlider>

namespace Ui {
class BufferSlider;
}

// The ASIO buffer-size slider: no keyboard or wheel steps, and a left click
// beside the handle jumps to the clicked place.
class BufferSlider : public QSlider {
    Q_OBJECT
public:
    explicit BufferSlider(QWidget* parent = nullptr);
    ~BufferSlider() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The value a left click at local x gives, for a handle handleWidth wide
    // on a slider width wide.
    static int jumpValue(int x, int handleWidth, int width, int minimum, int maximum);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    Ui::BufferSlider* ui;
};
