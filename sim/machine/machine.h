#pragma once
// Boots and shuts down the simulated machine in this process: a restart of
// the registry (volatile keys gone, the keys every machine has made), the
// kernel clock and the kernel driver loaded; mixers are plugged into a USB
// host controller the caller owns.

namespace orvo::machine {

// False (with a line on standard error) when the kernel driver does not load.
bool boot(bool realTime);
void shutdown();

} // namespace orvo::machine
