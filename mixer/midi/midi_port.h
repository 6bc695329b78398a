#pragma once
// The narrow MIDI port interface the device service talks to. One object is
// one client of the MIDI system with at most one open port; the production
// implementation sits on RtMidi (rtmidi_port.h), tests use the simulated bus
// (sim/midi/midi_bus.h). Errors never throw: they go to the error callback, as
// the MIDI library reports them once such a callback is set, and the calls
// report success through their result or isPortOpen().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Orvo {

// Numbered as the MIDI library numbers its error kinds; the service logs the
// number.
enum class MidiPortErrorType : int {
    Warning = 0,
    DebugWarning = 1,
    Unspecified = 2,
    NoDevicesFound = 3,
    InvalidDevice = 4,
    MemoryError = 5,
    InvalidParameter = 6,
    InvalidUse = 7,
    DriverError = 8,
    SystemError = 9,
    ThreadError = 10,
};

// One received message (or chunk of one). Called on the back end's own thread,
// which may be a real-time thread: the callee must not block.
using MidiInputCallback = void (*)(double timeStamp, const uint8_t* bytes, size_t length, void* userData);
using MidiErrorCallback = void (*)(MidiPortErrorType type, const std::string& text, void* userData);
// Called on the device-change notifier's thread when ports may have come or gone.
using MidiDeviceChangeCallback = int (*)(void* userData);

// Port names the service opens its ports with.
inline constexpr const char* kMidiInputPortName = "RtMidi Input";
inline constexpr const char* kMidiOutputPortName = "RtMidi Output";
inline constexpr const char* kMidiInputClientName = "RtMidi Input Client";
inline constexpr const char* kMidiOutputClientName = "RtMidi Output Client";
inline constexpr unsigned kMidiInputQueueLimit = 100;

class MidiPortApi {
public:
    // Every port object registers with the device-change notifier while it
    // lives, and so takes part in its device-change callbacks.
    MidiPortApi();
    virtual ~MidiPortApi();
    MidiPortApi(const MidiPortApi&) = delete;
    MidiPortApi& operator=(const MidiPortApi&) = delete;

    virtual unsigned portCount() = 0;
    // "" (and a warning to the error callback) for an index out of range.
    virtual std::string portName(unsigned index) = 0;
    // Opens the port at `index` under the local name `localName`. A failure is
    // reported to the error callback; test isPortOpen() afterwards.
    virtual void openPort(unsigned index, const std::string& localName) = 0;
    virtual void closePort() = 0;
    virtual bool isPortOpen() const = 0;
    virtual void setErrorCallback(MidiErrorCallback callback, void* userData) = 0;

    // Stored here, called by the notifier.
    void setDeviceChangeCallback(MidiDeviceChangeCallback callback, void* userData);
    MidiDeviceChangeCallback deviceChangeCallback() const;
    void* deviceChangeUserData() const;

private:
    struct DeviceChange;
    std::unique_ptr<DeviceChange> deviceChange_;
};

class MidiInPort : public MidiPortApi {
public:
    // After closePort() returns, the callback of the closed port is no longer
    // running and is not called again for it.
    virtual void setInputCallback(MidiInputCallback callback, void* userData) = 0;
    virtual void cancelInputCallback() = 0;
    // Which whole messages the port drops: System Exclusive, timing (0xF1, 0xF8)
    // and active sensing (0xFE).
    virtual void ignoreTypes(bool sysEx, bool timing, bool activeSensing) = 0;
};

class MidiOutPort : public MidiPortApi {
public:
    // Sends the bytes as one unit. False (after the error callback) when they
    // did not go out.
    virtual bool sendMessage(const uint8_t* bytes, size_t length) = 0;
};

// Makes the service's two port objects. Null when no back end can be had.
class MidiPortFactory {
public:
    virtual ~MidiPortFactory() = default;
    virtual std::unique_ptr<MidiInPort> makeInput(const std::string& clientName, unsigned queueLimit) = 0;
    virtual std::unique_ptr<MidiOutPort> makeOutput(const std::string& clientName) = 0;
};

} // namespace Orvo
