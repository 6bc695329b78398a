#pragma once
// File objects and device I/O control requests of the clients: client ids,
// the dispatcher, the device message, the owner rule and the registration of
// streaming clients (their mappings and block events).

#include "classcomp/kernel/device_context.h"
#include "platform/kernel/kernel_objects.h"

namespace orvo::kernel {

// Per open handle (zeroed at create).
struct FileContext {
    uint32_t recordRingAddress;
    uint32_t unclippedRingAddress;
    uint32_t clippedRingAddress;
    uint32_t statusRecordAddress;
    uint8_t buffersSetUp; // set as soon as buffer set-up has reserved the handle's table entry
    uint32_t setUpSerial; // counts reservations: a set-up publishes only into its own
    uint32_t clientId;
    uint32_t processId;
    uint32_t negotiationPosition;
    kplat::EventObject* blockEvent;
    // The process the views above were mapped into; they are undone there.
    kplat::ProcessObject* mappingProcess;
    // Links of the driver's list of open handles (process_rundown.h).
    kplat::FileObject* file;
    FileContext* previousOpen;
    FileContext* nextOpen;
};

inline constexpr uint32_t kUnknownProcessId = 0x7FFFFFFF;
inline constexpr uint64_t kOwnerSilenceMs = 2000;
inline constexpr uint32_t kLastNegotiationPosition = 768;
// Priority tokens are opaque to clients; they are this base plus the
// negotiation position that produced them, so never 0.
inline constexpr uint32_t kPriorityTokenBase = 0x50520000;
// The priority a registered streaming thread is raised to while its block
// is due (the platform's time-critical thread priority).
inline constexpr int32_t kBoostedThreadPriority = 15;

void EvtIoInCallerContext(kplat::Device& device, kplat::Request& request);
void EvtDeviceFileCreate(kplat::Device& device, kplat::Request& request, kplat::FileObject& file);
void EvtFileCleanup(kplat::FileObject& file);
void EvtFileClose(kplat::FileObject& file);
void EvtIoDeviceControl(kplat::Queue& queue, kplat::Request& request, size_t outputLength, size_t inputLength,
                        uint32_t ioControlCode);

// `message` is the 72-byte device message, `reply` the 64-byte reply.
bool HandleDeviceMessage(DeviceContext* context, const uint8_t* message, uint8_t* reply, kplat::FileObject& file);
// Under the stream lock. The owner rule: true when `processId` owns the
// device's sample rate (now or from now on).
bool UpdateOwnerProcess(DeviceContext* context, kplat::FileObject& file, uint32_t processId);
// Undoes the handle's views and removes its client (passive level).
void DisposeClient(DeviceContext* context, kplat::FileObject& file);
// The same, for a caller that holds the open-files lock.
void DisposeClientUnderOpenFilesLock(DeviceContext* context, kplat::FileObject& file);

// Sets a client's block event with a priority increment.
void SetClientEvent(kplat::EventObject* event, int32_t increment);
// At a completed block: keeps the client's registered streaming thread at
// real-time priority (dispatch level).
void KeepClientThreadBoosted(ClientEntry& client);

} // namespace orvo::kernel
