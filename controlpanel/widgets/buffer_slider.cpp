#include "controlpanel/widgets/buffer_slider.h"

#include "ui_buffer_slider.h"

#include <QMouseEvent>
#include <QStyleOptionSlider>

#include <algorithm>

BufferSlider::BufferSlider(QWidget* parent) : QSlider(parent), ui(new Ui::BufferSlider) {
    ui->setupUi(this);
    installEventFilter(this);
}

BufferSlider::~BufferSlider() {
    delete ui;
}

bool BufferSlider::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::GraphicsSceneWheel:
        return true;
    default:
        return QSlider::eventFilter(watched, event);
    }
}

int BufferSlider::jumpValue(int x, int handleWidth, int width, int minimum, int maximum) {
    const double c = handleWidth * 0.5 + 0.5;
    const double travel = (width - c) - c;
    // A slider no wider than its handle (plus a pixel) has no travel to take
    // a ratio of: the click cannot choose a place, so it gives the minimum.
    if (travel <= 0)
        return minimum;
    double clamped = x;
    if (x < c)
        clamped = static_cast<int>(c);
    else if (x > width - c)
        clamped = static_cast<int>(width - c);
    // Truncating the clamped edge can put it half a pixel left of c.
    const double ratio = std::max(0.0, (clamped - c) / travel);
    return static_cast<int>((maximum - minimum) * ratio + minimum);
}

void BufferSlider::mousePressEvent(QMouseEvent* event) {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    const QPoint pos = event->localPos().toPoint();
    if (event->button() == Qt::LeftButton && !handle.contains(pos)) {
        setValue(jumpValue(pos.x(), handle.right() - handle.left() + 1, width(), minimum(), maximum()));
        event->accept();
    }
    QSlider::mousePressEvent(event);
}
