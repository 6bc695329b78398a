// The main window's value converters: 7-bit parameter values to widget
// states and back.

#include "controlpanel/orvo_control_panel.h"

bool OrvoControlPanel::valueToSwitch(unsigned value) {
    return value >= 64;
}

int OrvoControlPanel::switchToValue(int flag) {
    return flag ? 64 : 0;
}

int OrvoControlPanel::switchToValue(bool flag) {
    return flag ? 64 : 0;
}

bool OrvoControlPanel::valueToEnable(int value) {
    return value != 0;
}

int OrvoControlPanel::enableToValue(int flag) {
    return flag ? 1 : 0;
}

int OrvoControlPanel::indexToValue(int index) {
    return index;
}

int OrvoControlPanel::channelToIndex(int channel) {
    return channel - 1;
}

int OrvoControlPanel::indexToChannel(int index) {
    return index + 1;
}

// The first model reports three sources per deck.
int OrvoControlPanel::valueToInputSource(unsigned value) {
    if (value <= 42)
        return SpdifInput;
    if (value >= 86 && value <= 127)
        return CdInput;
    return PhonoInput;
}

// The second model reports two: CD in the upper half.
bool OrvoControlPanel::valueToCdInput(unsigned value) {
    return value >= 64 && value <= 127;
}

// An exact table, not a bit test: 1 is port A, 4 port B, 5 both.
bool OrvoControlPanel::isPortAActive(int value) {
    return value == 1 || value == 5;
}

bool OrvoControlPanel::isPortBActive(unsigned value) {
    return value == 4 || value == 5;
}
