#pragma once
// The device-change notifier: a hidden window on a thread of its own receives
// the system's device-change message and calls the device-change callback of
// every registered MIDI port object. Port objects register while they live
// (MidiPortApi does it); the thread runs while at least one is registered.

#include "platform/win32/window.h"

namespace Orvo {

class MidiPortApi;

inline constexpr const char* kNotifierClassName = "OrvoMIDIClass";
inline constexpr const char* kNotifierMenuName = "OrvoMIDIMenu";
inline constexpr const char* kNotifierWindowTitle = "OrvoMIDILibrary";

void notifierRegister(MidiPortApi* port);
void notifierUnregister(MidiPortApi* port);

// For tests: the notifier's window (0 while it has none) and whether its thread runs.
w32::HWND notifierWindow();
bool notifierRunning();

w32::LRESULT midiNotifyWndProc(w32::HWND hwnd, uint32_t message, w32::WPARAM wParam, w32::LPARAM lParam);

} // namespace Orvo
