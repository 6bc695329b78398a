#include "mixer/midi/device_directory.h"

#include "mixer/midi/device_state_rule.h"

#include <algorithm>
#include <set>

namespace Orvo {

namespace {

bool eraseAll(std::vector<MidiDevice*>& list, const MidiDevice* d)
{
    const auto before = list.size();
    list.erase(std::remove(list.begin(), list.end(), d), list.end());
    return list.size() != before;
}

bool contains(const std::vector<MidiDevice*>& list, const MidiDevice* d)
{
    return std::find(list.begin(), list.end(), d) != list.end();
}

} // namespace

DeviceDirectory::DeviceDirectory(std::function<void()> signalEvents) : signalEvents_(std::move(signalEvents)) {}

DeviceDirectory::~DeviceDirectory()
{
    std::set<MidiDevice*> all(known_.begin(), known_.end());
    all.insert(previous_.begin(), previous_.end());
    for (auto& [d, _] : pending_)
        all.insert(d);
    if (parked_)
        all.insert(parked_);
    for (MidiDevice* d : all)
        delete d;
}

size_t DeviceDirectory::deviceCount() const
{
    std::lock_guard lock(deviceListLock_);
    return known_.size();
}

MidiDevice* DeviceDirectory::deviceAt(size_t index) const
{
    std::lock_guard lock(deviceListLock_);
    return index < known_.size() ? known_[index] : nullptr;
}

int DeviceDirectory::indexOfDevice(const MidiDevice* d) const
{
    if (d == nullptr)
        return -1;
    std::lock_guard lock(deviceListLock_);
    const auto it = std::find(known_.begin(), known_.end(), d);
    return it == known_.end() ? -1 : static_cast<int>(it - known_.begin());
}

MidiDevice* DeviceDirectory::findDevice(const MidiDeviceDescriptor& d) const
{
    for (size_t i = 0;; ++i) {
        MidiDevice* r = deviceAt(i);
        if (r == nullptr)
            return nullptr;
        if (r->descriptor.identity() == d.identity())
            return r;
    }
}

MidiDevice* DeviceDirectory::deviceOnPortPair(const MidiPortPair* pair) const
{
    for (size_t i = 0;; ++i) {
        MidiDevice* r = deviceAt(i);
        if (r == nullptr)
            return nullptr;
        if (r->portPair == pair)
            return r;
    }
}

MidiDevice* DeviceDirectory::takePreviousDevice(const MidiDeviceDescriptor& d)
{
    std::lock_guard lock(deviceListLock_);
    for (auto it = previous_.begin(); it != previous_.end(); ++it) {
        if (*it != parked_ && (*it)->descriptor.identity() == d.identity()) {
            MidiDevice* r = *it;
            previous_.erase(it);
            return r;
        }
    }
    return nullptr;
}

MidiDevice* DeviceDirectory::parkedDevice() const
{
    std::lock_guard lock(deviceListLock_);
    return parked_;
}

void DeviceDirectory::beginProbing()
{
    std::lock_guard lock(deviceListLock_);
    previous_.insert(previous_.end(), known_.begin(), known_.end());
    known_.clear();
}

void DeviceDirectory::queueLocked(MidiDevice* d)
{
    pending_[d] = d;
}

void DeviceDirectory::onDescriptor(const MidiDeviceDescriptor& d, MidiPortPair* openPair)
{
    std::lock_guard lists(deviceListLock_);
    MidiDevice* record = nullptr;
    bool wasParked = false;
    if (parked_ != nullptr && parked_->descriptor.identity() == d.identity()) {
        record = parked_;
        parked_ = nullptr;
        wasParked = true;
    } else {
        for (auto it = previous_.begin(); it != previous_.end(); ++it) {
            if ((*it)->descriptor.identity() == d.identity()) {
                record = *it;
                previous_.erase(it);
                break;
            }
        }
    }
    if (record != nullptr) {
        if (!contains(known_, record))
            known_.push_back(record);
    } else {
        for (MidiDevice* k : known_)
            if (k->descriptor.identity() == d.identity()) {
                record = k;
                break;
            }
    }
    if (record == nullptr) {
        record = new MidiDevice{d};
        known_.push_back(record);
    }
    record->portPair = openPair;
    const auto change = descriptorStateChange(record->state, d.fromBootloader(), wasParked);
    if (!change.event)
        return;
    record->state = change.state;
    std::lock_guard events(eventMapLock_);
    queueLocked(record);
}

bool DeviceDirectory::pruneDevices()
{
    bool marked = false;
    {
        std::lock_guard lists(deviceListLock_);
        std::lock_guard events(eventMapLock_);
        for (MidiDevice* d : previous_) {
            if (d == parked_ || contains(known_, d))
                continue;
            d->state = kDeviceRemoved;
            queueLocked(d);
            marked = true;
        }
        previous_.clear();
    }
    if (marked && signalEvents_)
        signalEvents_();
    return marked;
}

void DeviceDirectory::forgetDevice(MidiDevice* device)
{
    MidiDevice* former;
    {
        std::lock_guard lists(deviceListLock_);
        former = parked_;
        parked_ = device;
        for (MidiDevice* d : {device, former}) {
            eraseAll(previous_, d);
            eraseAll(known_, d);
        }
        if (former == nullptr || former == device)
            return;
        former->state = kDeviceRemoved;
        std::lock_guard events(eventMapLock_);
        queueLocked(former);
    }
    if (signalEvents_)
        signalEvents_();
}

void DeviceDirectory::setStateAndQueue(MidiDevice* device, uint8_t state)
{
    {
        std::lock_guard lists(deviceListLock_);
        std::lock_guard events(eventMapLock_);
        device->state = state;
        queueLocked(device);
    }
    if (signalEvents_)
        signalEvents_();
}

void DeviceDirectory::removeDevice(MidiDevice* device)
{
    {
        std::lock_guard lists(deviceListLock_);
        eraseAll(known_, device);
        eraseAll(previous_, device);
        if (parked_ == device)
            parked_ = nullptr;
        device->state = kDeviceRemoved;
        std::lock_guard events(eventMapLock_);
        queueLocked(device);
    }
    if (signalEvents_)
        signalEvents_();
}

void DeviceDirectory::dropParkedDevice()
{
    {
        std::lock_guard lists(deviceListLock_);
        if (parked_ == nullptr)
            return;
        parked_->state = kDeviceRemoved;
        std::lock_guard events(eventMapLock_);
        queueLocked(parked_);
        parked_ = nullptr;
    }
    if (signalEvents_)
        signalEvents_();
}

size_t DeviceDirectory::pendingEvents() const
{
    std::lock_guard lock(eventMapLock_);
    return pending_.size();
}

void DeviceDirectory::dispatchDeviceEvents(MidiPortPair* openPair, const std::function<void(MidiDevice*)>& listeners)
{
    for (const bool onOpenPair : {false, true}) {
        for (;;) {
            MidiDevice* d = nullptr;
            bool removed = false;
            {
                // The record's state and pair are read under their own lock.
                std::lock_guard lists(deviceListLock_);
                std::lock_guard lock(eventMapLock_);
                for (auto it = pending_.begin(); it != pending_.end(); ++it) {
                    if ((it->first->portPair == openPair) == onOpenPair) {
                        d = it->first;
                        pending_.erase(it);
                        removed = d->state == kDeviceRemoved;
                        break;
                    }
                }
            }
            if (d == nullptr)
                break;
            if (listeners)
                listeners(d);
            if (!removed)
                continue;
            // A removed record is in no list; should it have been found again
            // or queued once more meanwhile, that holder keeps it alive.
            bool held;
            {
                std::lock_guard lists(deviceListLock_);
                std::lock_guard events(eventMapLock_);
                held = contains(known_, d) || contains(previous_, d) || parked_ == d || pending_.count(d) != 0;
            }
            if (!held)
                delete d;
        }
    }
}

} // namespace Orvo
