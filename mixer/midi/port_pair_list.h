#pragma once
// The device service's list of MIDI port pairs, guarded by `PairListLock`.
// The list owns its pairs; a pair put aside by a rescan lives on until the
// rescan has finished with it.

#include "mixer/midi/midi_device.h"

#include <memory>
#include <mutex>
#include <vector>

namespace Orvo {

class PortPairList {
public:
    using Pairs = std::vector<std::unique_ptr<MidiPortPair>>;

    size_t count() const;
    MidiPortPair* at(size_t index) const;          // null when out of range
    int indexOf(const MidiPortPair* pair) const;   // -1 when null or absent
    // Whether `pairs` differs from the list: count, or position by position
    // indexes or names.
    bool differsFrom(const Pairs& pairs) const;
    // Makes `pairs` the list and returns the former pairs.
    Pairs replace(Pairs pairs);

private:
    mutable std::mutex pairListLock_;
    Pairs pairs_;
};

} // namespace Orvo
