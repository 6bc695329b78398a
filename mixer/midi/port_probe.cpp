#include "mixer/midi/port_probe.h"

#include "platform/win32/clock.h"

#include <cstdint>

namespace Orvo {

bool runProbe(unsigned count, const std::function<void()>& sendQuery, const std::function<size_t()>& knownDevices)
{
    if (count == 0)
        return false;
    bool changed = false;
    // Counted before the first query: a reply handled before the send returns
    // is a change too.
    size_t known = knownDevices();
    sendQuery();
    unsigned sent = 1;
    uint32_t last = w32::GetTickCount();
    while (sent < count) {
        w32::Sleep(1);
        if (static_cast<uint32_t>(w32::GetTickCount() - last) > 99) {
            sendQuery();
            last = w32::GetTickCount();
            ++sent;
        }
        const size_t now = knownDevices();
        if (now != known) {
            known = now;
            changed = true;
            if (count > 2)
                sent = count - 3;
        }
    }
    return changed;
}

} // namespace Orvo
