#pragma once
// The ASIO streaming thread of one AAsio object: it registers the object
// with the kernel driver once the host has asked for buffers, wakes at every
// completed block, hands the block to the host and makes sure its output is
// delivered, and asks the host for a reset when the stream becomes unusable.

#include "classcomp/asio/device_wrapper.h"
#include "platform/win32/types.h"

#include <cstdint>

namespace orvo::asio {

// Thread procedure; the argument is the AAsio object.
w32::DWORD AsioKernelStreamingThread(w32::LPVOID object);

// The priority request sequence; run once by the streaming thread.
void NegotiateElevatedPriority(int slot, AudioDeviceInterfaceWrapper* wrapper);

// 1.5 blocks in whole milliseconds, in 100 ns units.
uint32_t DeadlineAddend(uint32_t blockFrames, uint32_t sampleRate);

} // namespace orvo::asio
