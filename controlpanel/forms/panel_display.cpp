#include "controlpanel/forms/panel_display.h"

#include "controlpanel/orvo_control_panel.h"
#include "controlpanel/widgets/led.h"

#include <QRadioButton>

void checkOneOf(QRadioButton* whenTrue, QRadioButton* whenFalse, bool on) {
    (on ? whenTrue : whenFalse)->setChecked(true);
}

void showPortsActive(LED* portA, LED* portB, int value) {
    if (OrvoControlPanel::isPortAActive(value))
        portA->setBlue();
    else
        portA->setOff();
    if (OrvoControlPanel::isPortBActive(static_cast<unsigned>(value)))
        portB->setBlue();
    else
        portB->setOff();
}

void showLocalPort(const OrvoControlPanel& window, LED* portA, LED* portB) {
    if (window.isPortA(0))
        portA->setGreen();
    else
        portA->setOff();
    if (window.isPortB(0))
        portB->setGreen();
    else
        portB->setOff();
}
