#pragma once
// File objects and device I/O control requests of the clients.

#include "classcomp/kernel/device_context.h"

namespace orvo::kernel {

// Per open handle.
struct FileContext {
    uint32_t recordRingAddress;
    uint32_t unclippedRingAddress;
    uint32_t clippedRingAddress;
    uint32_t statusRecordAddress;
    uint8_t buffersSetUp;
    uint32_t clientId;
    uint32_t processId;
    uint32_t negotiationPosition;
    kplat::EventObject* blockEvent;
};

void EvtIoInCallerContext(kplat::Device& device, kplat::Request& request);
void EvtDeviceFileCreate(kplat::Device& device, kplat::Request& request, kplat::FileObject& file);
void EvtFileCleanup(kplat::FileObject& file);
void EvtIoDeviceControl(kplat::Queue& queue, kplat::Request& request, size_t outputLength, size_t inputLength,
                        uint32_t ioControlCode);
void DisposeClient(DeviceContext* context, kplat::FileObject& file);

// Sets a client's block event with a priority increment.
void SetClientEvent(kplat::EventObject* event, int32_t increment);
// At a completed block: keeps the client's registered streaming thread at
// real-time priority (dispatch level).
void KeepClientThreadBoosted(ClientEntry& client);

} // namespace orvo::kernel
