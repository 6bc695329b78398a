#pragma once
// What both model panels show the same way.

class LED;
class OrvoControlPanel;
class QRadioButton;

// Checks `whenTrue` or `whenFalse`; the pair's exclusive group clears the other.
void checkOneOf(QRadioButton* whenTrue, QRadioButton* whenFalse, bool on);
// The mixer's report of its active USB ports: blue for each active one.
void showPortsActive(LED* portA, LED* portB, int value);
// Green for the port this computer uses.
void showLocalPort(const OrvoControlPanel& window, LED* portA, LED* portB);
