#pragma once
// The demo's MIDI part: simulated mixers on the simulated MIDI bus, found by
// the device service's discovery.

namespace orvo::demo {

// Prints the mixers that discovery finds; returns 0 when all were found.
int runMidiDiscovery();

} // namespace orvo::demo
