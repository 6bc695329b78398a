#pragma once

// Finds the simulated mixer over MIDI and updates its firmware from the
// embedded image; 0 when the mixer came back with the image's version.
int runFirmwareUpdateDemo();
