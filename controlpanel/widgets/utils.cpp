#include "controlpanel/widgets/utils.h"

#include <QGuiApplication>
#include <QScreen>

Utils::Utils(QObject* parent) : QObject(parent) {}

bool Utils::isHighDpiScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen && screen->devicePixelRatio() >= 2.0;
}
