#pragma once
// One port scan of the device service: pair the MIDI ports by name, probe the
// pairs with the discovery query and follow the devices that answer.

#include "mixer/midi/device_directory.h"
#include "mixer/midi/port_pair_list.h"

#include <string>

namespace Orvo {

// What a scan needs of the device service.
class PortScanHost {
public:
    virtual ~PortScanHost() = default;
    virtual bool havePortObjects() = 0; // both MIDI port objects exist
    virtual unsigned inputCount() = 0;
    virtual std::string inputName(unsigned index) = 0;
    virtual unsigned outputCount() = 0;
    virtual std::string outputName(unsigned index) = 0;
    virtual MidiPortPair* openPair() = 0;
    // Fails for a pair that is not in the pair list (tested by pointer).
    virtual bool openPortPair(MidiPortPair* pair) = 0;
    virtual void closePortPair() = 0;
    virtual void sendQuery() = 0; // 'p' on the open pair
    virtual bool ownProtocol() = 0;
    virtual void setOwnProtocol(bool on) = 0;
};

// Probes one pair `count` times; true when the number of known devices
// changed meanwhile. Leaves no pair open.
bool probePortPair(PortScanHost& host, const DeviceDirectory& devices, MidiPortPair* pair, unsigned count);

// One rescan. The caller holds ExclusiveLock, and SelectionLock when the
// own-protocol flag was clear. Returns whether any pair was found.
bool rescanPorts(PortScanHost& host, PortPairList& pairs, DeviceDirectory& devices);

} // namespace Orvo
