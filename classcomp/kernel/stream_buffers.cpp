#include "classcomp/kernel/stream_buffers.h"

#include "classcomp/kernel/asio_info.h"
#include "platform/kernel/level.h"
#include "platform/kernel/spin_lock.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvo::kernel {

using namespace kplat;

Status AllocateMappedBlock(size_t bytes, uint8_t*& mapping, Mdl*& mdl)
{
    Mdl* pages = allocatePagesForMdl(0, 0xFFFFFFFF, 0, bytes);
    if (!pages)
        return status::kInsufficientResources;
    mdl = pages;
    uint8_t* address = nullptr;
    if (mdlByteCount(*pages) >= bytes)
        address = static_cast<uint8_t*>(mapLockedPages(*pages, AccessMode::Kernel, CacheType::Cached));
    if (!address) {
        FreeMappedBlock(address, mdl);
        return status::kInsufficientResources;
    }
    std::memset(address, 0, bytes);
    mapping = address;
    return status::kSuccess;
}

namespace {

struct StreamBlocks {
    uint8_t* transferPool = nullptr;
    uint8_t* recordRing = nullptr;
    Mdl* recordRingMdl = nullptr;
    uint8_t* clippedRing = nullptr;
    Mdl* clippedRingMdl = nullptr;
    uint8_t* unclippedRing = nullptr;
    Mdl* unclippedRingMdl = nullptr;
};

void FreeStreamBlocks(StreamBlocks& b)
{
    if (b.transferPool)
        freePool(b.transferPool);
    b.transferPool = nullptr;
    FreeMappedBlock(b.recordRing, b.recordRingMdl);
    FreeMappedBlock(b.clippedRing, b.clippedRingMdl);
    FreeMappedBlock(b.unclippedRing, b.unclippedRingMdl);
}

} // namespace

uint32_t InputPacketBytes(uint32_t rate, uint32_t inputChannels)
{
    uint64_t frameBytes = uint64_t(inputChannels) * 4;
    if (frameBytes == 0)
        return 0;
    return static_cast<uint32_t>(((uint64_t(rate) * frameBytes / 1000) / 8 / frameBytes + 1) * frameBytes);
}

void FreeMappedBlock(uint8_t*& mapping, Mdl*& mdl)
{
    if (mdl) {
        if (mapping)
            unmapLockedPages(mapping, *mdl);
        freePagesFromMdl(*mdl);
        freeMdl(mdl);
    }
    mapping = nullptr;
    mdl = nullptr;
}

// Pages for a list may only be had below dispatch level, and 19 MB of
// allocation and zeroing have no place under a spin lock: the blocks are
// made at passive level and published under the stream lock. Two first
// set-ups at once may both allocate; only the first to publish keeps its
// blocks, the other frees its own.
Status AllocateStreamBuffers(DeviceContext* context)
{
    requirePassive("allocating the stream buffers");
    {
        SpinLockGuard guard(*context->streamLock);
        if (context->transferPool)
            return status::kSuccess;
    }
    StreamBlocks b;
    b.transferPool = static_cast<uint8_t*>(allocatePool(PoolType::NonPaged, kTransferPoolBytes, kPoolTag));
    if (!b.transferPool || failed(AllocateMappedBlock(kRecordRingBytes, b.recordRing, b.recordRingMdl)) ||
        failed(AllocateMappedBlock(kPlaybackBlockBytes, b.clippedRing, b.clippedRingMdl)) ||
        failed(AllocateMappedBlock(kPlaybackBlockBytes, b.unclippedRing, b.unclippedRingMdl))) {
        FreeStreamBlocks(b);
        return status::kInsufficientResources;
    }
    {
        SpinLockGuard guard(*context->streamLock);
        if (!context->transferPool) {
            context->transferPool = std::exchange(b.transferPool, nullptr);
            context->recordRing = std::exchange(b.recordRing, nullptr);
            context->recordRingMdl = std::exchange(b.recordRingMdl, nullptr);
            context->clippedRing = std::exchange(b.clippedRing, nullptr);
            context->clippedRingMdl = std::exchange(b.clippedRingMdl, nullptr);
            context->unclippedRing = std::exchange(b.unclippedRing, nullptr);
            context->unclippedRingMdl = std::exchange(b.unclippedRingMdl, nullptr);
        }
    }
    FreeStreamBlocks(b); // what another set-up published first made these spare
    return status::kSuccess;
}

Status CreateStreamRequests(DeviceContext* context)
{
    for (uint32_t slot = 0; slot < kTransferSlots; ++slot) {
        for (int output = 0; output < 2; ++output) {
            Request*& request = output ? context->outputRequests[slot] : context->inputRequests[slot];
            Memory*& memory = output ? context->outputUrbMemory[slot] : context->inputUrbMemory[slot];
            uint8_t* urb = output ? context->outputUrbs[slot] : context->inputUrbs[slot];
            if (!request) {
                ObjectAttributes attributes = output ? attributesWithContext<WriteRequestContext>()
                                                     : attributesWithContext<ReadRequestContext>();
                attributes.parent = context->usbDevice;
                Status s = Request::create(attributes, &request);
                if (failed(s))
                    return s;
                if (output)
                    request->contextAs<WriteRequestContext>()->slot = slot;
                else
                    request->contextAs<ReadRequestContext>()->slot = slot;
            }
            if (!memory) {
                ObjectAttributes attributes;
                attributes.parent = request;
                Status s = Memory::createPreallocated(attributes, urb, kUrbBytes, &memory);
                if (failed(s))
                    return s;
            }
        }
    }
    return status::kSuccess;
}

bool ComputeStreamGeometry(DeviceContext* context)
{
    AsioInfo info(context->asioInfo);
    const uint64_t r = context->requestedSampleRate;
    const uint64_t b = context->requestedBlockFrames;
    if (r == 0 || b == 0 || context->framesQueued != 0)
        return false;
    // Channel counts divide below; a device without them cannot stream.
    const uint64_t outputs = context->outputChannels;
    const uint64_t inputs = context->inputChannels;
    if (outputs == 0 || inputs == 0)
        return false;

    // A block shorter than one microframe's samples would set every client's
    // event several times per microframe at dispatch level.
    if (b < r / 8000)
        return false;

    context->runningBlockFrames = static_cast<uint32_t>(b);
    context->blockBytesPerChannel = static_cast<uint32_t>(b * 4);
    context->runningSampleRate = static_cast<uint32_t>(r);

    const uint64_t framesPerMs = std::max<uint64_t>(r / 1000, 1);
    context->shortBlock = (b / framesPerMs < 2) ? 1 : 0;

    const uint64_t blockBytes = b * 4;
    const uint64_t d = std::clamp<uint64_t>(2'640'000 / outputs / blockBytes, kRingBlocksMin, kRingBlocksMax);
    context->ringBlocks = static_cast<uint32_t>(d);
    info.setRingBlocks(static_cast<uint32_t>(d));

    const uint64_t ringBytes = d * outputs * blockBytes;
    if (ringBytes > kPlaybackRingLimit) {
        info.orStatusBits(asio_info::kStatusBitRingTooLarge);
        return false;
    }
    // The record ring holds two blocks per input channel.
    if (inputs * 2 * blockBytes > kRecordRingLimit)
        return false;
    // Output transfers read linearly past the ring's end, and erasing clears
    // the block after it: both must stay inside the playback block.
    const uint64_t packetBytes = InputPacketBytes(static_cast<uint32_t>(r), static_cast<uint32_t>(inputs));
    const uint64_t longestInput = uint64_t(kMaxFramesPerTransfer) * kPacketsPerFrameForGeometry * packetBytes;
    const uint64_t longestOutput = longestInput / inputs * outputs;
    if (ringBytes + std::max(longestOutput, outputs * blockBytes) > kPlaybackBlockBytes)
        return false;
    if (longestInput > kTransferSlotBytes)
        return false;

    const uint64_t h = (b * d * 1000 / r) / 2;
    // Output transfers leave h ms after their input: at 0 ms they would
    // start in a frame that has already begun, and every one fails.
    if (h == 0)
        return false;
    context->halfRingMs = static_cast<uint32_t>(h);
    context->halfRingFrames = static_cast<uint32_t>(r * h / 1000);
    context->halfRingBytes = static_cast<uint32_t>(uint64_t(context->halfRingFrames) * outputs * 4);

    if (ringBytes / 2 >= context->halfRingBytes) {
        context->inFlightLimit = 4;
        return true;
    }
    info.orStatusBits(asio_info::kStatusBitHalfRingTooShort);
    return false;
}

} // namespace orvo::kernel
