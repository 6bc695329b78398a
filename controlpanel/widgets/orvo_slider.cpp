#include "controlpanel/widgets/orvo_slider.h"

#include "ui_orvo_slider.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionSlider>

OrvoSlider::OrvoSlider(QWidget* parent) : QSlider(parent), ui(new Ui::OrvoSlider) {
    ui->setupUi(this);
}

OrvoSlider::~OrvoSlider() {
    delete ui;
}

void OrvoSlider::setDefaultValue(int value) {
    if (value >= minimum() && value <= maximum())
        defaultValue_ = value;
}

QColor OrvoSlider::defaultMarkColor() const {
    return QColor(value() == defaultValue_ ? "#212121" : "#a5a294");
}

void OrvoSlider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionSlider option;
    initStyleOption(&option);

    option.subControls = QStyle::SC_SliderGroove;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
    option.subControls = QStyle::SC_SliderTickmarks;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);

    // The mark lies under the handle, always at the horizontal centre.
    if (defaultMarkVisible_) {
        const QBrush brush(defaultMarkColor(), Qt::SolidPattern);
        painter.setPen(QPen(brush, 3.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
        const int x = width() / 2 - 1;
        painter.drawLine(x, height() - 1, x, height() - 7);
    }

    option.subControls = QStyle::SC_SliderHandle;
    style()->drawComplexControl(QStyle::CC_Slider, &option, &painter, this);
}

void OrvoSlider::mouseDoubleClickEvent(QMouseEvent* event) {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle);
    if (handle.contains(event->localPos().toPoint()))
        setValue(defaultValue_ < 0 ? (maximum() - minimum()) / 2 : defaultValue_);
}
