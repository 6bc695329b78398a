#pragma once
// The kernel-client interface shared by the kernel driver and its user-mode
// clients: the device I/O control codes (all METHOD_BUFFERED, any access,
// device type 0x22), their record lengths and layouts, the device message and
// its selectors. Plain integers only, so either side can include it.

#include <cstddef>
#include <cstdint>

namespace orvo::kernel {

constexpr uint32_t OrvoControlCode(uint32_t function) { return 0x22u << 16 | function << 2; }

inline constexpr uint32_t kIoCtlNegotiateThreadPriority = 0x220000;
inline constexpr uint32_t kIoCtlGetClientId = 0x220004;
inline constexpr uint32_t kIoCtlInitBuffers = 0x220008;
inline constexpr uint32_t kIoCtlElevateThreadPriority = 0x22000C;
inline constexpr uint32_t kIoCtlMessage = 0x220010;
inline constexpr uint32_t kIoCtlGetAsioInfo = 0x220014;
inline constexpr uint32_t kIoCtlDisposeOfBuffers = 0x22001C;

static_assert(kIoCtlMessage == OrvoControlCode(4) && kIoCtlDisposeOfBuffers == OrvoControlCode(7));

// Codes handled in the caller's thread rather than through the queue.
inline constexpr bool RunsInCallerContext(uint32_t code)
{
    return code == kIoCtlNegotiateThreadPriority || code == kIoCtlInitBuffers || code == kIoCtlElevateThreadPriority ||
           code == kIoCtlGetAsioInfo || code == kIoCtlDisposeOfBuffers;
}

// kIoCtlNegotiateThreadPriority: input u32 priority (not used), u32 save
// flag; output u32 advanced, u32 priority token.
inline constexpr size_t kNegotiateInputBytes = 8;
inline constexpr size_t kNegotiateOutputBytes = 8;
// kIoCtlGetClientId: output u32 client id.
inline constexpr size_t kClientIdBytes = 4;
// kIoCtlInitBuffers: input the block event's handle in the first 4 bytes.
inline constexpr size_t kInitBuffersInputBytes = 8;
// kIoCtlGetAsioInfo: output the status record's user address in the first 4 bytes.
inline constexpr size_t kAsioInfoOutputBytes = 8;

// InitBuffersResult: each address is a 32-bit user address in the low 4
// bytes of its 8-byte field, then the client slot (the index of the client's
// deadline in the status record).
namespace init_buffers_result {
inline constexpr size_t kSize = 36;
inline constexpr size_t kRecordRingOffset = 0;
inline constexpr size_t kClippedRingOffset = 8;
inline constexpr size_t kUnclippedRingOffset = 16;
inline constexpr size_t kStatusRecordOffset = 24;
inline constexpr size_t kClientSlotOffset = 32;
} // namespace init_buffers_result

// Device message: u32 selector, u32 operation, u32 value, 60 bytes unused.
// Reply: u32 value (one byte for kMsgClientStarted), the rest unused.
namespace device_message {
inline constexpr size_t kSize = 72;
inline constexpr size_t kReplySize = 64;
inline constexpr size_t kSelectorOffset = 0;
inline constexpr size_t kOperationOffset = 4;
inline constexpr size_t kValueOffset = 8;
inline constexpr uint32_t kGet = 0;
inline constexpr uint32_t kSet = 1;
} // namespace device_message

inline constexpr uint32_t kMsgSampleRate = 1;
inline constexpr uint32_t kMsgClientStarted = 3;
inline constexpr uint32_t kMsgDriverVersion = 4;
inline constexpr uint32_t kMsgBlockFrames = 7;
inline constexpr uint32_t kMsgBufferMode = 8;
inline constexpr uint32_t kMsgClientProcessId = 9;

inline constexpr uint32_t kDriverVersion = 0x01020000;
inline constexpr uint32_t kMaxOutputDelayMode = 2;

// Priority increment of the block event at a completed block.
inline constexpr int32_t kBlockEventIncrement = 8;

} // namespace orvo::kernel
