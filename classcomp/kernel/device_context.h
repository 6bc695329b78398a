#pragma once
// Per-device state of the kernel driver, the framework context of each
// device object (zeroed when the device is added). Fields keep the order in
// which the driver's parts were designed: identity, USB configuration, locks,
// streaming state, clients, stream parameters.

#include "platform/kernel/device.h"
#include "platform/kernel/guid.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/request.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/timer.h"
#include "platform/kernel/usb.h"
#include "platform/kernel/work_item.h"

#include <cstdint>
#include <type_traits>

namespace kplat {
class EventObject;  // a referenced event object of a client
class ThreadObject; // a referenced thread object of a client
}

namespace orvo::kernel {

inline constexpr uint32_t kPoolTag = kplat::poolTag("uqdk");
inline constexpr uint32_t kTransferSlots = 15;
inline constexpr uint32_t kUrbBytes = 4896; // URB header and 400 packets (50 frames of 8)
inline constexpr uint32_t kMaxClients = 100;

// One registered streaming client.
struct ClientEntry {
    uint32_t clientId;
    uint32_t processId; // 0x7FFFFFFF until the handle's process id is known
    kplat::ThreadObject* elevatedThread; // the thread kept at real-time priority, null until asked
    kplat::EventObject* blockEvent;
    uint8_t started;
    // The client's deadline slot in the status record: held by no other live
    // client, and kept when the table closes a gap.
    uint32_t deadlineSlot;
};

struct DeviceContext {
    // Identity.
    kplat::Device* device;
    kplat::usb::TargetDevice* usbDevice;
    char16_t* productName;
    uint32_t productNameBytes; // including the terminating zero
    uint32_t productNameHash;
    char16_t* serialNumber;
    uint32_t serialNumberBytes; // including the terminating zero
    kplat::Guid classId;
    kplat::Guid interfaceGuid;
    uint32_t slotIndex;
    uint32_t duplicateNumber;

    // USB configuration.
    uint8_t deviceDescriptor[18];
    uint8_t* configDescriptor;
    uint16_t configDescriptorLength;
    uint32_t remoteWakeTrait;
    uint8_t highSpeed;
    kplat::usb::SettingPair* interfacePairs;
    uint32_t interfacePairCount;
    kplat::usb::Interface* recordInterface;
    kplat::IoTarget* lowerTarget;
    kplat::usb::Pipe* recordPipe;
    kplat::usb::PipeInformation recordPipeInfo;
    uint8_t clockEntityId;
    kplat::Timer* streamTimer;
    kplat::usb::Interface* playbackInterface;
    kplat::usb::Pipe* playbackPipe;
    kplat::usb::PipeInformation playbackPipeInfo;
    kplat::usb::Interface* controlInterface;
    kplat::usb::Pipe* interruptPipe;
    kplat::usb::PipeInformation interruptPipeInfo;
    uint8_t interruptReaderStarted;

    // Locks.
    kplat::SpinLock* streamLock;
    kplat::SpinLock* interruptDataLock;

    // Streaming state.
    uint32_t nextInputStartFrame;
    kplat::Request* inputRequests[kTransferSlots];
    kplat::Request* outputRequests[kTransferSlots];
    uint8_t inputBusy[kTransferSlots];
    uint8_t outputBusy[kTransferSlots];
    alignas(8) uint8_t inputUrbs[kTransferSlots][kUrbBytes];
    alignas(8) uint8_t outputUrbs[kTransferSlots][kUrbBytes];
    kplat::Memory* inputUrbMemory[kTransferSlots];
    kplat::Memory* outputUrbMemory[kTransferSlots];
    uint8_t streamingEnabled;
    uint8_t timerBusy;
    uint8_t pumping;
    uint8_t restart;
    uint8_t reconfigure;
    uint32_t consecutiveInputFailures;
    uint8_t* recordRing;
    kplat::Mdl* recordRingMdl;
    uint8_t* statusRecordMapping;
    kplat::Mdl* statusRecordMdl;
    uint32_t lastInputStartFrame;
    uint32_t lastInputSlotSubmitted;
    uint32_t inFlightLimit;
    uint32_t inputsInFlight;
    uint32_t outputsInFlight;
    uint32_t framesQueued; // 1 ms frames in outstanding input transfers
    uint32_t halfRingFrames;
    uint32_t halfRingBytes;
    uint32_t halfRingMs;
    uint32_t lastCompletedInputSlot;
    uint64_t streamStartMs;
    uint32_t priorityToken;
    uint32_t shortBlock;
    uint8_t* asioInfo; // the status record (system mapping)

    // Clients.
    ClientEntry clients[kMaxClients];
    uint32_t nextClientId;
    uint32_t clientCount;

    // Stream parameters.
    uint32_t runningBlockFrames;
    uint32_t blockBytesPerChannel;
    uint32_t ringBlocks;
    uint32_t runningSampleRate;
    uint32_t inputChannels;
    uint32_t outputChannels;
    uint32_t framesInBlock;
    uint32_t requestedBlockFrames;
    uint32_t ownerProcessId;
    uint64_t ownerLastSeenMs;
    uint32_t outputDelayMode;
    uint32_t requestedSampleRate;
    uint8_t* transferPool;
    uint8_t* clippedRing;
    kplat::Mdl* clippedRingMdl;
    uint8_t* unclippedRing;
    kplat::Mdl* unclippedRingMdl;
    uint8_t releasing;
    uint8_t inD0; // between D0 entry and D0 exit; under the stream lock
    uint64_t lastOutputCompletionMs;
    kplat::KernelTimer releaseTimer;
    kplat::Queue* defaultQueue;
    uint64_t totalFramesReceived;
    uint32_t totalMsReceived;

    // The kernel's own copies of what it publishes in the status record:
    // clients can write the record, so decisions read these.
    uint32_t sampleRates[15];
    uint32_t sampleRateCount;
    uint64_t blockCount;

    // Stream start bookkeeping: the stream has been reset and its geometry
    // computed since transfers last ran; a refused geometry is not tried
    // again until the rate, block size or delay mode changes.
    uint8_t streamPrepared;
    uint8_t geometryRefused;
    uint32_t refusedSampleRate;
    uint32_t refusedBlockFrames;
    uint32_t refusedDelayMode;

    // Interrupt pipe: the last message, copied under the interrupt-data lock,
    // and the one work item that re-reads the rate. Messages arriving while
    // it is queued are coalesced into it.
    uint8_t interruptData[6];
    kplat::WorkItem* interruptWorkItem;
};

// The context is zeroed as a whole.
static_assert(std::is_trivially_copyable_v<DeviceContext>);

inline DeviceContext* GetDeviceContext(kplat::Device& device) { return device.contextAs<DeviceContext>(); }

} // namespace orvo::kernel
