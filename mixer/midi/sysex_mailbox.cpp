#include "mixer/midi/sysex_mailbox.h"

namespace Orvo {

void SysExMailbox::put(const uint8_t* bytes, size_t length)
{
    std::lock_guard lock(mutex_);
    held_.assign(bytes, bytes + length);
    full_ = true;
}

bool SysExMailbox::take(const uint8_t** bytes, uint32_t* length)
{
    if (bytes == nullptr || length == nullptr)
        return false;
    std::lock_guard lock(mutex_);
    if (!full_)
        return false;
    taken_.swap(held_);
    held_.clear();
    full_ = false;
    *bytes = taken_.data();
    *length = static_cast<uint32_t>(taken_.size());
    return true;
}

void SysExMailbox::clear()
{
    std::lock_guard lock(mutex_);
    held_.clear();
    full_ = false;
}

} // namespace Orvo
