#pragma once
// Stream buffers, transfer requests and the ring geometry.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

inline constexpr size_t kTransferPoolBytes = 12'000'004;
inline constexpr size_t kTransferSlotBytes = 800'000;
inline constexpr size_t kRecordRingBytes = 480'004;
inline constexpr size_t kRecordRingLimit = 480'000;
inline constexpr size_t kPlaybackBlockBytes = 3'440'004;
inline constexpr size_t kPlaybackRingLimit = 3'440'000;
inline constexpr uint32_t kMaxFramesPerTransfer = 50;
inline constexpr uint32_t kRingBlocksMin = 10;
inline constexpr uint32_t kRingBlocksMax = 15;
inline constexpr uint32_t kPacketsPerFrameForGeometry = 8; // high-speed microframes per 1 ms frame

struct ReadRequestContext {
    uint32_t slot;
};
struct WriteRequestContext {
    uint32_t slot;
};

// Passive level; takes the stream lock only to publish. A failure leaves
// nothing allocated.
kplat::Status AllocateStreamBuffers(DeviceContext* context);
// A block of pages covering `bytes`, mapped into system space and zeroed;
// at passive level. On failure nothing is left.
kplat::Status AllocateMappedBlock(size_t bytes, uint8_t*& mapping, kplat::Mdl*& mdl);
// Unmaps the system mapping and frees the pages and the list, if present.
void FreeMappedBlock(uint8_t*& mapping, kplat::Mdl*& mdl);
// Creates the transfer requests that do not exist yet (they survive
// reconfigurations: nothing in them depends on the configuration).
kplat::Status CreateStreamRequests(DeviceContext* context);
// Under the stream lock.
bool ComputeStreamGeometry(DeviceContext* context);

// Bytes of one input packet: one frame more than the nominal frames per
// microframe.
uint32_t InputPacketBytes(uint32_t rate, uint32_t inputChannels);

} // namespace orvo::kernel
