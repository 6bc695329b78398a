#include "mixer/midi/port_pair_list.h"

namespace Orvo {

size_t PortPairList::count() const
{
    std::lock_guard lock(pairListLock_);
    return pairs_.size();
}

MidiPortPair* PortPairList::at(size_t index) const
{
    std::lock_guard lock(pairListLock_);
    return index < pairs_.size() ? pairs_[index].get() : nullptr;
}

int PortPairList::indexOf(const MidiPortPair* pair) const
{
    if (pair == nullptr)
        return -1;
    std::lock_guard lock(pairListLock_);
    for (size_t i = 0; i < pairs_.size(); ++i)
        if (pairs_[i].get() == pair)
            return static_cast<int>(i);
    return -1;
}

bool PortPairList::differsFrom(const Pairs& pairs) const
{
    std::lock_guard lock(pairListLock_);
    if (pairs.size() != pairs_.size())
        return true;
    for (size_t i = 0; i < pairs.size(); ++i)
        if (!pairs[i]->sameAs(*pairs_[i]))
            return true;
    return false;
}

PortPairList::Pairs PortPairList::replace(Pairs pairs)
{
    std::lock_guard lock(pairListLock_);
    pairs_.swap(pairs);
    return pairs;
}

} // namespace Orvo
