#include "classcomp/kernel/io_dispatch.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/class_requests.h"
#include "classcomp/kernel/io_control.h"
#include "classcomp/kernel/process_rundown.h"
#include "classcomp/kernel/stream_buffers.h"
#include "classcomp/kernel/stream_engine.h"
#include "platform/kernel/exception.h"
#include "platform/kernel/kernel_objects.h"
#include "platform/kernel/wait_lock.h"

#include <cstring>
#include <utility>

namespace orvo::kernel {

using namespace kplat;

namespace {

uint32_t LoadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void StoreU32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

FileContext* GetFileContext(FileObject& file) { return file.contextAs<FileContext>(); }

// Locked. Index of the client's entry, or clientCount.
uint32_t FindClient(DeviceContext* c, uint32_t clientId)
{
    uint32_t i = 0;
    while (i < c->clientCount && c->clients[i].clientId != clientId)
        ++i;
    return i;
}

// Locked. The lowest deadline slot no live client holds (the table is not full).
uint32_t FreeDeadlineSlot(DeviceContext* c)
{
    bool held[kMaxClients] = {};
    for (uint32_t i = 0; i < c->clientCount; ++i)
        held[c->clients[i].deadlineSlot] = true;
    uint32_t slot = 0;
    while (held[slot])
        ++slot;
    return slot;
}

// Locked. Takes the entry out and closes the gap; its references go to the caller.
ClientEntry RemoveClient(DeviceContext* c, uint32_t index)
{
    ClientEntry entry = c->clients[index];
    for (uint32_t i = index + 1; i < c->clientCount; ++i)
        c->clients[i - 1] = c->clients[i];
    --c->clientCount;
    c->clients[c->clientCount] = ClientEntry{};
    if (c->clientCount == 0)
        SetStreamingEnabled(c, false);
    return entry;
}

// Locked. Takes the handle's entry out, if it has one, even one still being
// set up; the thread a priority request registered on it goes to the caller
// to release.
ThreadObject* RemoveFileClient(DeviceContext* c, FileContext* fc)
{
    ThreadObject* thread = nullptr;
    uint32_t index = FindClient(c, fc->clientId);
    if (index < c->clientCount)
        thread = RemoveClient(c, index).elevatedThread;
    fc->buffersSetUp = 0;
    return thread;
}

// 0 when the mapping fails: a user mapping raises then, it does not return null.
uint32_t MapIntoCaller(Mdl* mdl)
{
    if (!mdl)
        return 0;
    void* address = nullptr;
    if (failed(tryExcept([&] { address = mapLockedPages(*mdl, AccessMode::User, CacheType::Cached); })))
        return 0;
    // User mappings lie in the caller's 32-bit address space.
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

void UnmapFromCaller(uint32_t address, Mdl* mdl)
{
    if (address && mdl)
        unmapLockedPages(reinterpret_cast<void*>(uintptr_t(address)), *mdl);
}

struct UserAddresses {
    uint32_t record = 0, unclipped = 0, clipped = 0, status = 0;
};

// A list is read only for a view of it: a dispose that finds no view may
// run while a first set-up publishes the stream blocks.
void UnmapAll(DeviceContext* c, const UserAddresses& a)
{
    if (a.unclipped)
        UnmapFromCaller(a.unclipped, c->unclippedRingMdl);
    if (a.clipped)
        UnmapFromCaller(a.clipped, c->clippedRingMdl);
    if (a.record)
        UnmapFromCaller(a.record, c->recordRingMdl);
    if (a.status)
        UnmapFromCaller(a.status, c->statusRecordMdl);
}

// The handle's views all live in one process, the first that mapped one:
// another process sharing the handle (duplicated or inherited) may neither
// map nor undo them.
Status ClaimMappingProcess(DeviceContext* c, FileContext* fc)
{
    ProcessObject* mine = referenceCurrentProcess();
    if (!mine)
        return status::kInsufficientResources;
    bool same;
    {
        SpinLockGuard guard(*c->streamLock);
        if (!fc->mappingProcess)
            fc->mappingProcess = std::exchange(mine, nullptr);
        same = fc->mappingProcess->process().id() == currentProcessId();
    }
    if (mine)
        dereferenceObject(mine);
    return same ? status::kSuccess : status::kAccessDenied;
}

bool RatesKnown(DeviceContext* c)
{
    SpinLockGuard guard(*c->streamLock);
    return c->sampleRateCount != 0;
}

void ReadRatesIfUnknown(DeviceContext* c)
{
    if (!RatesKnown(c)) {
        ReadSampleRateRanges(c);
        ReadSampleRate(c);
    }
}

// The handle's status record mapping, made once per handle.
Status MapStatusRecord(DeviceContext* c, FileContext* fc, uint32_t* address)
{
    {
        SpinLockGuard guard(*c->streamLock);
        if (fc->statusRecordAddress) {
            *address = fc->statusRecordAddress;
            return status::kSuccess;
        }
    }
    uint32_t mapped = MapIntoCaller(c->statusRecordMdl);
    if (!mapped)
        return status::kInsufficientResources;
    uint32_t spare = 0;
    bool claimed;
    {
        SpinLockGuard guard(*c->streamLock);
        // A dispose since the claim took it: the view would belong to no
        // process. Another request of the handle may have mapped it meanwhile.
        claimed = fc->mappingProcess && fc->mappingProcess->process().id() == currentProcessId();
        if (!claimed || fc->statusRecordAddress)
            spare = mapped;
        else
            fc->statusRecordAddress = mapped;
        *address = fc->statusRecordAddress;
    }
    UnmapFromCaller(spare, c->statusRecordMdl);
    return claimed ? status::kSuccess : status::kInvalidDeviceRequest;
}

Status GetAsioInfo(DeviceContext* c, Request& request, FileContext* fc, uint64_t* bytes)
{
    ReadRatesIfUnknown(c);
    void* out = nullptr;
    size_t length = 0;
    Status s = request.retrieveOutputBuffer(kAsioInfoOutputBytes, &out, &length);
    if (failed(s))
        return s;
    s = ClaimMappingProcess(c, fc);
    if (failed(s))
        return s;
    uint32_t address = 0;
    s = MapStatusRecord(c, fc, &address);
    if (failed(s))
        return s;
    auto* reply = static_cast<uint8_t*>(out);
    std::memset(reply, 0, kAsioInfoOutputBytes);
    StoreU32(reply, address);
    *bytes = kAsioInfoOutputBytes;
    return status::kSuccess;
}

// Registration of a streaming client. The handle's entry is reserved, with
// the "already set up" and table-limit checks, in one step under the stream
// lock; everything made after that is undone on failure, so the handle can
// try again.
Status InitBuffers(DeviceContext* c, Request& request, FileObject& file, uint64_t* bytes)
{
    FileContext* fc = GetFileContext(file);
    ReadRatesIfUnknown(c);
    void* in = nullptr;
    void* out = nullptr;
    size_t inLength = 0, outLength = 0;
    Status s = request.retrieveInputBuffer(kInitBuffersInputBytes, &in, &inLength);
    if (failed(s))
        return s;
    const uint32_t eventHandle = LoadU32(static_cast<const uint8_t*>(in));
    s = request.retrieveOutputBuffer(init_buffers_result::kSize, &out, &outLength);
    if (failed(s))
        return s;

    s = ClaimMappingProcess(c, fc);
    if (failed(s))
        return s;
    if (failed(AllocateStreamBuffers(c)))
        return status::kInvalidDeviceRequest;
    bool wasEnabled = false;
    uint32_t deadlineSlot = 0;
    uint32_t serial = 0;
    {
        SpinLockGuard guard(*c->streamLock);
        if (fc->buffersSetUp || c->requestedSampleRate == 0 || c->requestedBlockFrames == 0)
            return status::kInvalidDeviceRequest;
        // A dispose since the claim took it with the views: what this set-up
        // maps would belong to no process, or to another that claimed since.
        if (!fc->mappingProcess)
            return status::kInvalidDeviceRequest;
        if (fc->mappingProcess->process().id() != currentProcessId())
            return status::kAccessDenied;
        MarkRestartIfChanged(c);
        if (c->clientCount >= kMaxClients)
            return status::kInvalidDeviceRequest;
        wasEnabled = c->streamingEnabled != 0;
        deadlineSlot = FreeDeadlineSlot(c);
        ClientEntry& entry = c->clients[c->clientCount++];
        entry = ClientEntry{fc->clientId, fc->processId ? fc->processId : kUnknownProcessId, nullptr, nullptr, 0,
                            deadlineSlot};
        fc->buffersSetUp = 1;
        serial = ++fc->setUpSerial;
    }

    UserAddresses mapped;
    EventObject* event = nullptr;
    auto undo = [&](Status failure) {
        uint32_t spareStatus = mapped.status;
        ThreadObject* thread = nullptr;
        {
            SpinLockGuard guard(*c->streamLock);
            // An entry disposed of and reserved again by a later set-up is
            // that one's.
            if (fc->setUpSerial == serial)
                thread = RemoveFileClient(c, fc);
        }
        if (thread)
            dereferenceObject(thread);
        if (event)
            dereferenceObject(event);
        mapped.status = spareStatus;
        UnmapAll(c, mapped);
        return failure;
    };

    bool statusMapped;
    {
        SpinLockGuard guard(*c->streamLock);
        statusMapped = fc->statusRecordAddress != 0;
    }
    if (!(mapped.unclipped = MapIntoCaller(c->unclippedRingMdl)) ||
        !(mapped.clipped = MapIntoCaller(c->clippedRingMdl)) || !(mapped.record = MapIntoCaller(c->recordRingMdl)) ||
        (!statusMapped && !(mapped.status = MapIntoCaller(c->statusRecordMdl))))
        return undo(status::kInsufficientResources);

    // The handle comes from the client: it is looked up with the client's
    // access mode, in the client's handle table.
    s = referenceEventByHandle(eventHandle, kSynchronizeAccess, AccessMode::User, request.caller(), &event);
    if (failed(s)) {
        event = nullptr;
        return undo(s);
    }

    // Publishing and switching streaming on are one step: a dispose between
    // them would leave the stream running for a client that is gone.
    uint32_t statusAddress = 0;
    uint32_t spareStatus = 0;
    Status state = status::kSuccess;
    {
        SpinLockGuard guard(*c->streamLock);
        uint32_t index = FindClient(c, fc->clientId);
        if (index < c->clientCount && fc->setUpSerial == serial) {
            c->clients[index].blockEvent = event;
            fc->blockEvent = event;
            fc->recordRingAddress = mapped.record;
            fc->unclippedRingAddress = mapped.unclipped;
            fc->clippedRingAddress = mapped.clipped;
            if (mapped.status) {
                if (fc->statusRecordAddress)
                    spareStatus = mapped.status;
                else
                    fc->statusRecordAddress = mapped.status;
            }
            statusAddress = fc->statusRecordAddress;
            // The device may have left D0 or begun releasing since the
            // dispatcher looked: streaming goes on only for a working device.
            if (c->releasing)
                state = status::kInvalidHandle;
            else if (!c->inD0)
                state = status::kInvalidDeviceState;
            else if (!wasEnabled || c->clientCount == 1)
                SetStreamingEnabled(c, true);
        }
    }
    if (!statusAddress) {
        // The entry went (the handle was disposed of meanwhile, and perhaps
        // set up again by another request).
        return undo(status::kInvalidDeviceRequest);
    }
    UnmapFromCaller(spareStatus, c->statusRecordMdl);
    if (failed(state)) {
        DisposeClient(c, file);
        return state;
    }

    auto* reply = static_cast<uint8_t*>(out);
    std::memset(reply, 0, init_buffers_result::kSize);
    StoreU32(reply + init_buffers_result::kRecordRingOffset, mapped.record);
    StoreU32(reply + init_buffers_result::kClippedRingOffset, mapped.clipped);
    StoreU32(reply + init_buffers_result::kUnclippedRingOffset, mapped.unclipped);
    StoreU32(reply + init_buffers_result::kStatusRecordOffset, statusAddress);
    StoreU32(reply + init_buffers_result::kClientSlotOffset, deadlineSlot);
    *bytes = init_buffers_result::kSize;
    c->streamTimer->startRelative(msToTicks(1));
    return status::kSuccess;
}

Status NegotiateThreadPriority(DeviceContext* c, Request& request, FileContext* fc, uint64_t* bytes)
{
    void* in = nullptr;
    void* out = nullptr;
    size_t length = 0;
    Status s = request.retrieveInputBuffer(kNegotiateInputBytes, &in, &length);
    if (failed(s))
        return s;
    const uint32_t save = LoadU32(static_cast<const uint8_t*>(in) + 4);
    s = request.retrieveOutputBuffer(kNegotiateOutputBytes, &out, &length);
    if (failed(s))
        return s;
    // The token names the position it was found at; the first position
    // tried always yields one, so the search never has to move on.
    SpinLockGuard guard(*c->streamLock);
    const uint32_t position = fc->negotiationPosition;
    if (position > kLastNegotiationPosition)
        return status::kUnsuccessful;
    const uint32_t token = kPriorityTokenBase + position;
    if (save) {
        c->priorityToken = token;
        AsioInfo(c->asioInfo).setPriorityTokenKnown(1);
    }
    auto* reply = static_cast<uint8_t*>(out);
    StoreU32(reply, 0); // not advanced
    StoreU32(reply + 4, token);
    *bytes = kNegotiateOutputBytes;
    return status::kSuccess;
}

Status ElevateThreadPriority(DeviceContext* c, FileContext* fc)
{
    {
        SpinLockGuard guard(*c->streamLock);
        if (c->priorityToken == 0)
            return status::kInvalidParameter;
    }
    ThreadObject* thread = referenceCurrentThread();
    if (!thread)
        return status::kInsufficientResources;
    {
        SpinLockGuard guard(*c->streamLock);
        uint32_t index = FindClient(c, fc->clientId);
        if (index < c->clientCount)
            std::swap(c->clients[index].elevatedThread, thread);
    }
    // What is left here is the replaced registration, or the new one when
    // the handle has no entry.
    if (thread)
        dereferenceObject(thread);
    return status::kSuccess;
}

Status GetClientId(Request& request, FileContext* fc, uint64_t* bytes)
{
    void* out = nullptr;
    size_t length = 0;
    Status s = request.retrieveOutputBuffer(kClientIdBytes, &out, &length);
    if (failed(s))
        return s;
    StoreU32(static_cast<uint8_t*>(out), fc->clientId);
    *bytes = kClientIdBytes;
    return status::kSuccess;
}

Status DeviceMessage(DeviceContext* c, Request& request, FileObject& file, uint64_t* bytes)
{
    void* in = nullptr;
    void* out = nullptr;
    size_t length = 0;
    Status s = request.retrieveInputBuffer(device_message::kSize, &in, &length);
    if (failed(s))
        return s;
    s = request.retrieveOutputBuffer(device_message::kReplySize, &out, &length);
    if (failed(s))
        return s;
    // Input and output share the system buffer.
    uint8_t message[device_message::kSize];
    std::memcpy(message, in, sizeof message);
    uint8_t reply[device_message::kReplySize] = {};
    if (!HandleDeviceMessage(c, message, reply, file))
        return status::kInternalError;
    std::memcpy(out, reply, sizeof reply);
    *bytes = device_message::kReplySize;
    return status::kSuccess;
}

bool SetRate(DeviceContext* c, FileContext* fc, FileObject& file, uint32_t rate)
{
    if (!RatesKnown(c))
        ReadSampleRateRanges(c);
    bool listed = false;
    {
        SpinLockGuard guard(*c->streamLock);
        if (rate == c->requestedSampleRate)
            return true;
        if (!UpdateOwnerProcess(c, file, fc->processId))
            return false;
        // The kernel's list, not the record's: clients can write the record.
        for (uint32_t i = 0; i < c->sampleRateCount && !listed; ++i)
            listed = c->sampleRates[i] == rate;
    }
    return listed && SetSampleRate(c, rate);
}

} // namespace

void EvtIoInCallerContext(Device& device, Request& request)
{
    RequestParameters p = request.parameters();
    if (p.kind == RequestKind::DeviceControl && RunsInCallerContext(p.ioControlCode)) {
        // They map memory into, reference handles of, or act on the caller.
        EvtIoDeviceControl(*device.defaultQueue(), request, p.outputBufferLength, p.inputBufferLength,
                           p.ioControlCode);
        return;
    }
    Status s = device.enqueueRequest(request);
    if (failed(s)) {
        // A removed device's queue refuses requests; after release every
        // request fails with an invalid handle, queued or not.
        DeviceContext* c = GetDeviceContext(device);
        bool releasing;
        {
            SpinLockGuard guard(*c->streamLock);
            releasing = c->releasing != 0;
        }
        request.complete(releasing ? status::kInvalidHandle : s);
    }
}

void EvtDeviceFileCreate(Device& device, Request& request, FileObject& file)
{
    DeviceContext* context = GetDeviceContext(device);
    FileContext* fileContext = GetFileContext(file);
    std::memset(fileContext, 0, sizeof *fileContext);
    {
        SpinLockGuard guard(*context->streamLock);
        fileContext->clientId = context->nextClientId++;
    }
    TrackOpenFile(file);
    request.complete(status::kSuccess);
}

void EvtFileCleanup(FileObject& file) { DisposeClient(GetDeviceContext(file.device()), file); }

// Requests still running at cleanup may map or register after it; close
// comes once they have all finished, so it undoes whatever they left.
void EvtFileClose(FileObject& file)
{
    DisposeClient(GetDeviceContext(file.device()), file);
    UntrackOpenFile(file);
}

void EvtIoDeviceControl(Queue& queue, Request& request, size_t outputLength, size_t inputLength,
                        uint32_t ioControlCode)
{
    (void)outputLength;
    (void)inputLength;
    DeviceContext* c = GetDeviceContext(queue.device());
    FileObject* file = request.fileObject();
    if (!file) {
        request.completeWithInformation(status::kInvalidDeviceRequest, 0);
        return;
    }
    FileContext* fc = GetFileContext(*file);
    {
        SpinLockGuard guard(*c->streamLock);
        if (c->releasing) {
            request.completeWithInformation(status::kInvalidHandle, 0);
            return;
        }
        UpdateOwnerProcess(c, *file, fc->processId);
    }
    uint64_t bytes = 0;
    Status s;
    switch (ioControlCode) {
    case kIoCtlDisposeOfBuffers: {
        bool foreign;
        {
            SpinLockGuard guard(*c->streamLock);
            foreign = fc->mappingProcess && fc->mappingProcess->process().id() != currentProcessId();
        }
        if (foreign) {
            s = status::kAccessDenied;
            break;
        }
        DisposeClient(c, *file);
        s = status::kSuccess;
        break;
    }
    case kIoCtlGetAsioInfo: s = GetAsioInfo(c, request, fc, &bytes); break;
    case kIoCtlMessage: s = DeviceMessage(c, request, *file, &bytes); break;
    case kIoCtlElevateThreadPriority: s = ElevateThreadPriority(c, fc); break;
    case kIoCtlInitBuffers: s = InitBuffers(c, request, *file, &bytes); break;
    case kIoCtlGetClientId: s = GetClientId(request, fc, &bytes); break;
    case kIoCtlNegotiateThreadPriority: s = NegotiateThreadPriority(c, request, fc, &bytes); break;
    default: s = status::kInvalidDeviceRequest; break;
    }
    request.completeWithInformation(s, succeeded(s) ? bytes : 0);
}

bool HandleDeviceMessage(DeviceContext* c, const uint8_t* message, uint8_t* reply, FileObject& file)
{
    FileContext* fc = GetFileContext(file);
    const uint32_t selector = LoadU32(message + device_message::kSelectorOffset);
    const uint32_t operation = LoadU32(message + device_message::kOperationOffset);
    const uint32_t value = LoadU32(message + device_message::kValueOffset);
    if (operation == device_message::kGet) {
        switch (selector) {
        case kMsgSampleRate: {
            SpinLockGuard guard(*c->streamLock);
            StoreU32(reply, c->requestedSampleRate);
            return true;
        }
        case kMsgClientStarted: {
            SpinLockGuard guard(*c->streamLock);
            uint32_t index = FindClient(c, fc->clientId);
            if (index == c->clientCount)
                return false;
            reply[0] = c->clients[index].started;
            return true;
        }
        case kMsgDriverVersion: StoreU32(reply, kDriverVersion); return true;
        default: return false;
        }
    }
    if (operation != device_message::kSet)
        return false;
    switch (selector) {
    case kMsgSampleRate: return SetRate(c, fc, file, value);
    case kMsgClientStarted: {
        SpinLockGuard guard(*c->streamLock);
        uint32_t index = FindClient(c, fc->clientId);
        if (index < c->clientCount) {
            c->clients[index].started = (value & 0xFF) ? 1 : 0;
            // At once, not at the next transfer: a client that has started
            // mixes into blocks the others count it in (see output mixing).
            PublishStartedClients(c);
        }
        return true;
    }
    case kMsgBlockFrames: {
        SpinLockGuard guard(*c->streamLock);
        AsioInfo(c->asioInfo).setBlockFrames(value);
        c->requestedBlockFrames = value;
        MarkRestartIfChanged(c);
        return true;
    }
    case kMsgBufferMode: {
        if (value > kMaxOutputDelayMode)
            return true;
        SpinLockGuard guard(*c->streamLock);
        if (value != c->outputDelayMode) {
            c->outputDelayMode = value;
            c->restart = 1;
        }
        return true;
    }
    case kMsgClientProcessId: {
        SpinLockGuard guard(*c->streamLock);
        UpdateOwnerProcess(c, file, value);
        return true;
    }
    default: return false;
    }
}

bool UpdateOwnerProcess(DeviceContext* c, FileObject& file, uint32_t processId)
{
    const uint64_t now = GetTickCountMs();
    if (processId == 0)
        return false;
    FileContext* fc = GetFileContext(file);
    fc->processId = processId;
    uint32_t index = FindClient(c, fc->clientId);
    if (index < c->clientCount)
        c->clients[index].processId = processId;
    if (processId == c->ownerProcessId) {
        c->ownerLastSeenMs = now;
        return true;
    }
    // With no owner at all there is nobody to wait for.
    if (c->ownerProcessId == 0) {
        c->ownerProcessId = processId;
        c->ownerLastSeenMs = now;
        return true;
    }
    if (c->ownerLastSeenMs > now)
        c->ownerLastSeenMs = now;
    if (now - c->ownerLastSeenMs < kOwnerSilenceMs)
        return false;
    bool ownerHasClient = false;
    for (uint32_t i = 0; i < c->clientCount && !ownerHasClient; ++i)
        ownerHasClient = c->clients[i].processId == c->ownerProcessId;
    if (!ownerHasClient)
        c->ownerProcessId = processId;
    c->ownerLastSeenMs = now;
    return !ownerHasClient;
}

void DisposeClient(DeviceContext* c, FileObject& file)
{
    // Views being undone here stay in their process until unmapped: its
    // rundown waits for this (process_rundown.h).
    WaitLockGuard guard(OpenFilesLock());
    DisposeClientUnderOpenFilesLock(c, file);
}

void DisposeClientUnderOpenFilesLock(DeviceContext* c, FileObject& file)
{
    FileContext* fc = GetFileContext(file);
    UserAddresses a;
    EventObject* event = nullptr;
    ThreadObject* thread = nullptr;
    ProcessObject* process = nullptr;
    {
        SpinLockGuard guard(*c->streamLock);
        process = std::exchange(fc->mappingProcess, nullptr);
        a.record = fc->recordRingAddress;
        a.unclipped = fc->unclippedRingAddress;
        a.clipped = fc->clippedRingAddress;
        a.status = fc->statusRecordAddress;
        fc->recordRingAddress = fc->unclippedRingAddress = fc->clippedRingAddress = fc->statusRecordAddress = 0;
        event = fc->blockEvent;
        fc->blockEvent = nullptr;
        SetClientEvent(event, 0);
        // Also an entry still being set up: its set-up then finds it gone
        // and undoes what it made.
        thread = RemoveFileClient(c, fc);
    }
    if (event)
        dereferenceObject(event);
    if (thread)
        dereferenceObject(thread);
    if (process) {
        // The last handle may be closed by another process than the one the
        // views are in: they are undone in their own.
        ProcessAttach attach(*process);
        UnmapAll(c, a);
        dereferenceObject(process);
    } else {
        UnmapAll(c, a);
    }
}

void SetClientEvent(EventObject* event, int32_t increment)
{
    if (event)
        setEvent(*event, increment);
}

void KeepClientThreadBoosted(ClientEntry& client)
{
    if (client.elevatedThread)
        setThreadPriority(*client.elevatedThread, kBoostedThreadPriority);
}

} // namespace orvo::kernel
