#include "controlpanel/widgets/led.h"

#include "controlpanel/widgets/utils.h"
#include "ui_led.h"

LED::LED(QWidget* parent) : QWidget(parent), ui(new Ui::LED) {
    ui->setupUi(this);
    const QString suffix = Utils::isHighDpiScreen() ? "@2x.png" : ".png";
    offPixmap.load(":/images/led_off" + suffix);
    greenPixmap.load(":/images/led_green" + suffix);
    bluePixmap.load(":/images/led_blue" + suffix);
    setOff();
}

LED::~LED() {
    delete ui;
}

void LED::setOff() {
    ui->labelLEDImage->setPixmap(offPixmap);
}

void LED::setGreen() {
    ui->labelLEDImage->setPixmap(greenPixmap);
}

void LED::setBlue() {
    ui->labelLEDImage->setPixmap(bluePixmap);
}
