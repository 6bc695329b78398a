#pragma once
// The timing of probing one port pair with the discovery query.

#include <cstddef>
#include <functional>

namespace Orvo {

// Sends the query `count` times, more than 99 ms apart, polling in 1 ms sleeps
// on the user-mode clock. Each time the number of known devices changes, the
// remaining queries are topped up so that three more follow the change (when
// count > 2). Returns whether the count changed while probing.
// `sendQuery` sends one query; `knownDevices` reads the number of known devices.
bool runProbe(unsigned count, const std::function<void()>& sendQuery, const std::function<size_t()>& knownDevices);

} // namespace Orvo
