#pragma once
// The isochronous streaming engine: the stream timer starts a stream; from
// then on each completed input transfer delivers its samples into the record
// ring, sends an output transfer of the same length from the playback ring,
// counts frames into blocks and wakes the clients at each completed block.

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

inline constexpr uint32_t kTransferTimeoutMs = 500;
inline constexpr uint32_t kStartFramesAhead = 50;
inline constexpr uint32_t kMaxConsecutiveFailuresBeforeResync = 20;
inline constexpr uint32_t kMaxConsecutiveFailures = 100;

// The functions below marked "locked" run under the stream lock.

// Locked. Mirrors the flag into the status record; switching off wakes
// every registered client.
void SetStreamingEnabled(DeviceContext* context, bool on);
// Locked.
void ResetStreamState(DeviceContext* context);
// Locked.
void MarkRestartIfChanged(DeviceContext* context);
void StreamTimerFunc(kplat::Timer& timer);
// Locked (released around each send); returns the transfers started.
uint32_t PumpReadUrbs(DeviceContext* context);
// Locked. Counts the started clients into the record.
uint32_t PublishStartedClients(DeviceContext* context);
void SendReadUrb(DeviceContext* context, uint32_t slot);
// Locked.
kplat::Status BuildIsochUrb(DeviceContext* context, uint32_t slot, bool input, uint32_t frames);
void OnReadUrbComplete(kplat::Request& request, kplat::IoTarget& target, void* context);
// Locked; fillOutput: the slot's output URB may be filled.
bool ProcessReadUrb(DeviceContext* context, uint32_t slot, bool completeBlocks, bool fillOutput);
void OnWriteUrbComplete(kplat::Request& request, kplat::IoTarget& target, void* context);
uint64_t GetTickCountMs();
// The turnover of a ring block's mixing state, once the record's block count
// has reached it (so that no new addition starts): its counter and its sum
// in the accumulator (`sum`, blockBytes) start afresh for the next cycle,
// or, with additions in flight, are left to the last of them.
void TurnOverMixedBlock(AsioInfo& info, uint32_t ringBlock, uint8_t* sum, size_t blockBytes);

} // namespace orvo::kernel
