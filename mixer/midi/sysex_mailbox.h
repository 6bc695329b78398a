#pragma once
// The hand-over of data-channel messages ('s') from the service thread, which
// receives them, to the thread that runs a firmware update and polls for them.
// One message is held; a later one replaces an unread one. Each side works on
// its own copy, so the reader never sees a message half overwritten.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Orvo {

class SysExMailbox {
public:
    // Service thread: keeps a copy of the message.
    void put(const uint8_t* bytes, size_t length);
    // Reader: when a message is waiting, hands out a pointer to the reader's
    // own copy (valid until its next take), empties the mailbox, returns true.
    bool take(const uint8_t** bytes, uint32_t* length);
    void clear();

private:
    std::mutex mutex_;
    std::vector<uint8_t> held_;
    bool full_ = false;
    std::vector<uint8_t> taken_;
};

} // namespace Orvo
