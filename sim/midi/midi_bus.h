#pragma once
// In-process simulated MIDI bus: the MIDI system as the host's port objects see
// it, for tests. It makes host port objects (Orvo::MidiPortFactory) and lets
// simulated devices put ports on it.
//
// How a simulated device attaches: for each of its MIDI ports it adds
//   - an input port (what the host reads): addInputPort("name"); the device
//     then sends bytes toward the host with toHost(id, bytes, n), one call per
//     message, delivered on the bus's delivery thread to every host input port
//     open on it;
//   - an output port (what the host writes): addOutputPort("name", receive);
//     what the host sends there is handed to `receive` on the sending thread.
// removePort() makes a port vanish; ports after it move down one index, as
// the host's port numbers do on a real system. Every change of the port lists
// calls the ports-changed hook: by default the system's device-change notice
// (w32::BroadcastDeviceChange), which reaches the device-change notifier.
//
// Faults on demand: a delivery delay on the clock (w32::clock()), bytes dropped
// in either direction, host sends or opens that fail, port objects that cannot
// be made.

#include "mixer/midi/midi_port.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace orvo::sim {

class MidiBus final : public Orvo::MidiPortFactory {
public:
    using PortId = uint32_t;
    using Receiver = std::function<void(const uint8_t* bytes, size_t length)>;

    MidiBus();
    ~MidiBus() override;
    MidiBus(const MidiBus&) = delete;
    MidiBus& operator=(const MidiBus&) = delete;

    // Device side. `position` is the index the new port takes (-1: the end).
    PortId addInputPort(const std::string& name, int position = -1);
    PortId addOutputPort(const std::string& name, Receiver receive, int position = -1);
    bool removePort(PortId id);
    // Queues one message toward the host; false when the port is not on the bus.
    bool toHost(PortId inputPort, const uint8_t* bytes, size_t length);
    bool toHost(PortId inputPort, const std::vector<uint8_t>& bytes) { return toHost(inputPort, bytes.data(), bytes.size()); }
    // Blocks until everything queued toward the host has been delivered.
    void flush();

    // Faults.
    void setDelay(uint32_t ms);          // each message reaches the host ms after toHost()
    void dropToHost(size_t bytes);       // the next `bytes` bytes toward the host are lost
    void dropToDevice(size_t bytes);     // the next `bytes` bytes the host sends are lost
    void failSends(unsigned count);      // the next `count` host sends fail (driver error)
    void failOpens(unsigned count);      // the next `count` host opens fail (driver error)
    void failPortObjects(bool on);       // makeInput/makeOutput return null while on
    void setPortsChangedHook(std::function<void()> hook);

    // What the host sees.
    std::vector<std::string> inputNames() const;
    std::vector<std::string> outputNames() const;
    // Host port objects currently open on the port.
    unsigned openCount(PortId id) const;
    unsigned sendsSeen() const;          // host sends that reached the bus, failed ones included

    // Host side.
    std::unique_ptr<Orvo::MidiInPort> makeInput(const std::string& clientName, unsigned queueLimit) override;
    std::unique_ptr<Orvo::MidiOutPort> makeOutput(const std::string& clientName) override;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace orvo::sim
