#pragma once
// The device records of the device service: the known devices, the previous
// ones while a changed pair list is probed, the device parked across a restart
// into the bootloader, and the pending device events with their dispatch.
//
// Locks: `DeviceListLock` (known and previous lists, parked pointer, and
// each record's `state` and `portPair`) and `EventMapLock` (pending events). When both are held, DeviceListLock is taken
// first. Neither is held while device listeners run.

#include "mixer/midi/midi_device.h"

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace Orvo {

class DeviceDirectory {
public:
    // `signalEvents` wakes the thread that dispatches device events.
    explicit DeviceDirectory(std::function<void()> signalEvents);
    ~DeviceDirectory(); // deletes every record it still holds
    DeviceDirectory(const DeviceDirectory&) = delete;
    DeviceDirectory& operator=(const DeviceDirectory&) = delete;

    // Known list accessors, each under DeviceListLock for the one call.
    size_t deviceCount() const;
    MidiDevice* deviceAt(size_t index) const;       // null when out of range
    int indexOfDevice(const MidiDevice* d) const;   // -1 when null or not known
    MidiDevice* findDevice(const MidiDeviceDescriptor& d) const; // same identity
    MidiDevice* deviceOnPortPair(const MidiPortPair* pair) const;
    // Takes the first previous record (not the parked one) with the identity.
    MidiDevice* takePreviousDevice(const MidiDeviceDescriptor& d);
    MidiDevice* parkedDevice() const;

    // The pair list changed: the known records become the previous ones.
    void beginProbing();
    // A descriptor reply arrived on `openPair` while probing or updating.
    void onDescriptor(const MidiDeviceDescriptor& d, MidiPortPair* openPair);
    // Marks every previous record that was not found again removed (except the
    // parked one) and queues it. True when one was marked.
    bool pruneDevices();
    // Sets `device` aside before its mixer restarts into the bootloader; a
    // device parked before is delivered as removed.
    void forgetDevice(MidiDevice* device);

    // For the firmware update: the record's state changes and is delivered.
    void setStateAndQueue(MidiDevice* device, uint8_t state);
    // Takes `device` out of the known list (if there) and delivers it removed.
    void removeDevice(MidiDevice* device);
    // Delivers the parked device as removed and clears the parked pointer.
    void dropParkedDevice();

    // Delivers the pending events: records on pairs other than `openPair`
    // first, then those on it. A record taken off the map in state 0 is
    // deleted once its listeners have returned; what state it was in is read
    // when it is taken off, so a record that another thread removes and
    // queues again while the listeners run is delivered again later and
    // deleted exactly once.
    void dispatchDeviceEvents(MidiPortPair* openPair, const std::function<void(MidiDevice*)>& listeners);

    size_t pendingEvents() const;

private:
    void queueLocked(MidiDevice* d); // EventMapLock held

    std::function<void()> signalEvents_;
    mutable std::mutex deviceListLock_;
    mutable std::mutex eventMapLock_;
    std::vector<MidiDevice*> known_;
    std::vector<MidiDevice*> previous_;
    MidiDevice* parked_ = nullptr;
    std::map<MidiDevice*, MidiDevice*> pending_;
};

} // namespace Orvo
