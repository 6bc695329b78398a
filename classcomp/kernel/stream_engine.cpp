#include "classcomp/kernel/stream_engine.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/class_requests.h"
#include "classcomp/kernel/io_dispatch.h"
#include "classcomp/kernel/stream_buffers.h"
#include "classcomp/kernel/usb_config.h"
#include "platform/kernel/kernel_services.h"

#include <algorithm>
#include <cstring>

namespace orvo::kernel {

using namespace kplat;
using usb::IsochPacket;
using usb::IsochUrb;

namespace {

constexpr uint32_t kFramePackets = usb::kPacketsPerFrame;

IsochUrb* InputUrb(DeviceContext* c, uint32_t slot) { return reinterpret_cast<IsochUrb*>(c->inputUrbs[slot]); }
IsochUrb* OutputUrb(DeviceContext* c, uint32_t slot) { return reinterpret_cast<IsochUrb*>(c->outputUrbs[slot]); }

void WakeClients(DeviceContext* context, int32_t increment)
{
    for (uint32_t i = 0; i < context->clientCount; ++i)
        SetClientEvent(context->clients[i].blockEvent, increment);
}

uint32_t CountStartedClients(DeviceContext* context)
{
    uint32_t started = 0;
    for (uint32_t i = 0; i < context->clientCount; ++i)
        started += context->clients[i].started ? 1 : 0;
    return started;
}

struct BlockWork {
    uint32_t blocksCompleted = 0;
};

void CompleteBlock(DeviceContext* c, AsioInfo& info, BlockWork& work, uint32_t packetsLeft)
{
    if (work.blocksCompleted > 0)
        info.orStatusBits(asio_info::kStatusBitBlocksPerTransfer);
    c->framesInBlock -= c->runningBlockFrames;
    // Taken in one exchange: a client may add between a read and a clear.
    info.addSlipsTotal(info.takePendingSlips());
    if (!c->shortBlock && packetsLeft > kFramePackets)
        info.addLateBlocks();
    const uint64_t count = c->blockCount;
    const uint32_t d = c->ringBlocks;
    const size_t blockBytes = size_t(c->outputChannels) * c->blockBytesPerChannel;
    if (info.eraseBuffers()) {
        uint32_t block = static_cast<uint32_t>((count + 5) % d);
        std::memset(c->clippedRing + size_t(block) * blockBytes, 0, blockBytes);
        if (block == d - 1)
            std::memset(c->clippedRing + size_t(d) * blockBytes, 0, blockBytes);
    }
    // The block now due is played: its sum and its counter (with the claim
    // of its conversion) start afresh, so nothing a late client adds reaches
    // the block's next cycle. The count goes first: an addition that starts
    // after it sees the block gone.
    const uint32_t due = static_cast<uint32_t>((count + 1) % d);
    c->blockCount = count + 1;
    info.setAsioBlockCount(count + 1);
    TurnOverMixedBlock(info, due, c->unclippedRing ? c->unclippedRing + size_t(due) * blockBytes : nullptr, blockBytes);
    if (c->clientCount) {
        Ticks t = queryInterruptTime();
        for (uint32_t i = 0; i < c->clientCount; ++i) {
            ClientEntry& client = c->clients[i];
            if (info.priorityBoostOff() == 0 && client.elevatedThread && t < info.clientDeadline(client.deadlineSlot))
                KeepClientThreadBoosted(client);
            SetClientEvent(client.blockEvent, 8);
        }
        info.setLastBlockTime(t);
    }
    ++work.blocksCompleted;
}

} // namespace

void TurnOverMixedBlock(AsioInfo& info, uint32_t ringBlock, uint8_t* sum, size_t blockBytes)
{
    auto counter = info.mixCounterRef(ringBlock);
    uint16_t seen = counter.load(std::memory_order_relaxed);
    uint16_t next;
    do {
        const uint16_t inFlight = seen & asio_info::kMixCounterInFlight;
        next = inFlight ? uint16_t(inFlight | asio_info::kMixCounterTurnedOver) : 0;
    } while (!counter.compare_exchange_weak(seen, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    // Nobody in flight, and nobody starts adding into a block the count has
    // passed.
    if (next == 0 && sum)
        std::memset(sum, 0, blockBytes);
}

uint64_t GetTickCountMs() { return queryTickCount() * queryTimeIncrement() / 10'000; }

void SetStreamingEnabled(DeviceContext* context, bool on)
{
    context->streamingEnabled = on ? 1 : 0;
    // Every switch starts the next stream afresh.
    context->streamPrepared = 0;
    if (context->asioInfo)
        AsioInfo(context->asioInfo).setIsStreamingEnabled(on ? 1 : 0);
    if (!on)
        WakeClients(context, 0);
}

void ResetStreamState(DeviceContext* context)
{
    AsioInfo info(context->asioInfo);
    WakeClients(context, 0);
    context->blockCount = 0;
    info.setAsioBlockCount(0);
    info.takePendingSlips();
    context->nextInputStartFrame = 0;
    context->framesInBlock = 0;
    info.setBlockFrames(context->requestedBlockFrames);
    info.setSampleRate(context->requestedSampleRate);
    context->streamStartMs = GetTickCountMs();
    // The measured rate counts from the stream's start.
    context->totalFramesReceived = 0;
    context->totalMsReceived = 0;
}

void MarkRestartIfChanged(DeviceContext* context)
{
    bool rateChanged = context->requestedSampleRate != context->runningSampleRate;
    if (rateChanged || context->requestedBlockFrames != context->runningBlockFrames)
        context->restart = 1;
    if (rateChanged)
        context->reconfigure = 1;
}

void StreamTimerFunc(Timer& timer)
{
    Device& device = static_cast<Device&>(*timer.parent());
    DeviceContext* c = GetDeviceContext(device);
    c->streamLock->acquire();
    // A tick due when the device left D0 or began releasing (streaming
    // switched on by a set-up that raced with it) touches nothing.
    if (c->timerBusy || c->releasing || !c->inD0) {
        c->streamLock->release();
        return;
    }
    c->timerBusy = 1;
    if (c->streamingEnabled && c->inputsInFlight == 0 && c->outputsInFlight == 0) {
        if (c->geometryRefused &&
            (c->requestedSampleRate != c->refusedSampleRate || c->requestedBlockFrames != c->refusedBlockFrames ||
             c->outputDelayMode != c->refusedDelayMode)) {
            // What was refused has changed: try again from a fresh configuration.
            c->geometryRefused = 0;
            c->restart = 1;
            c->reconfigure = 1;
        }
        if (c->restart) {
            if (c->reconfigure) {
                c->streamLock->release();
                Status s = ConfigureDevice(device, true);
                if (succeeded(s))
                    s = CreateStreamRequests(c);
                c->streamLock->acquire();
                if (failed(s)) {
                    c->timerBusy = 0;
                    c->streamLock->release();
                    return;
                }
                c->reconfigure = 0;
            }
            c->restart = 0;
            c->streamPrepared = 0;
        }
        if (!c->geometryRefused && !c->streamPrepared) {
            // Once per stream start, not at every idle tick.
            if (c->clippedRing)
                std::memset(c->clippedRing, 0, kPlaybackBlockBytes);
            if (c->unclippedRing)
                std::memset(c->unclippedRing, 0, kPlaybackBlockBytes);
            for (size_t i = 0; i < asio_info::kMaxRingBlocks; ++i)
                AsioInfo(c->asioInfo).setMixCounter(i, 0);
            ResetStreamState(c);
            if (ComputeStreamGeometry(c)) {
                c->streamPrepared = 1;
            } else {
                c->geometryRefused = 1;
                c->refusedSampleRate = c->requestedSampleRate;
                c->refusedBlockFrames = c->requestedBlockFrames;
                c->refusedDelayMode = c->outputDelayMode;
            }
        }
        if (c->streamPrepared)
            PumpReadUrbs(c);
    }
    uint32_t delayMs = c->inputsInFlight == 0 ? 1 : 10;
    bool rearm = c->streamingEnabled && !c->releasing;
    c->timerBusy = 0;
    c->streamLock->release();
    if (rearm)
        timer.startRelative(msToTicks(delayMs));
}

uint32_t PublishStartedClients(DeviceContext* c)
{
    const uint32_t started = CountStartedClients(c);
    if (c->asioInfo)
        AsioInfo(c->asioInfo).setStartedClientCount(started);
    return started;
}

uint32_t PumpReadUrbs(DeviceContext* c)
{
    if (c->pumping || c->restart)
        return 0;
    AsioInfo info(c->asioInfo);
    const uint32_t started = PublishStartedClients(c);
    uint32_t sent = 0;
    if (c->streamingEnabled && !c->restart) {
        if (started > 0) {
            c->pumping = 1;
            // Slots go out one after another from the one last sent (SendReadUrb
            // moves it on), as the out-of-order check expects.
            const uint32_t first = c->lastInputSlotSubmitted;
            for (uint32_t k = 1; k <= kTransferSlots && c->inputsInFlight < c->inFlightLimit; ++k) {
                uint32_t slot = (first + k) % kTransferSlots;
                if (c->inputBusy[slot])
                    break;
                c->inputBusy[slot] = 1;
                c->streamLock->release();
                SendReadUrb(c, slot);
                c->streamLock->acquire();
                ++sent;
            }
            c->pumping = 0;
            if (sent)
                c->streamPrepared = 0; // the next idle stretch starts a fresh stream
        }
    } else if (!c->streamingEnabled) {
        WakeClients(c, 0);
    }
    info.setStreamingClientCountCopy(started);
    return sent;
}

void SendReadUrb(DeviceContext* c, uint32_t slot)
{
    c->streamLock->acquire();
    bool resync = c->nextInputStartFrame == 0 || c->consecutiveInputFailures > kMaxConsecutiveFailuresBeforeResync;
    c->streamLock->release();
    uint32_t frameNow = 0;
    if (resync)
        c->usbDevice->retrieveCurrentFrameNumber(&frameNow);

    c->streamLock->acquire();
    AsioInfo info(c->asioInfo);
    if (resync)
        c->nextInputStartFrame = frameNow + kStartFramesAhead;
    uint32_t frames = 1;
    if (!c->shortBlock) {
        const int64_t r = c->runningSampleRate;
        const int64_t b = c->runningBlockFrames;
        const int64_t a = c->framesInBlock;
        const int64_t q = c->framesQueued;
        const int64_t boundary = ((q * r / 1000 + a) / b + 1) * b;
        const int64_t f = (boundary + r / 1000 - a + 1) * 1000 / r - q;
        frames = static_cast<uint32_t>(std::clamp<int64_t>(f, 1, kMaxFramesPerTransfer));
    }
    if (failed(BuildIsochUrb(c, slot, true, frames))) {
        // The request cannot carry a transfer now: the slot waits for the next pump.
        c->inputBusy[slot] = 0;
        info.addReadsFailed();
        c->streamLock->release();
        return;
    }
    const uint32_t start = c->nextInputStartFrame;
    InputUrb(c, slot)->startFrame = start;
    c->framesQueued += frames;
    ++c->inputsInFlight;
    c->nextInputStartFrame = start + frames;
    c->lastInputSlotSubmitted = slot;
    info.readTransferFramesRing().push(frames);
    c->streamLock->release();

    Request* request = c->inputRequests[slot];
    if (!request->send(*c->lowerTarget, SendOptions{msToTicks(kTransferTimeoutMs)})) {
        SpinLockGuard guard(*c->streamLock);
        --c->inputsInFlight;
        c->framesQueued -= frames; // never queued: the geometry waits for this to drain
        c->inputBusy[slot] = 0;
        info.addReadsFailed();
    }
}

Status BuildIsochUrb(DeviceContext* c, uint32_t slot, bool input, uint32_t frames)
{
    Request* request = input ? c->inputRequests[slot] : c->outputRequests[slot];
    Memory* memory = input ? c->inputUrbMemory[slot] : c->outputUrbMemory[slot];
    usb::Pipe* pipe = input ? c->recordPipe : c->playbackPipe;
    if (!request || !memory || !pipe)
        return status::kInvalidDeviceState;
    request->reuse();
    const uint32_t packets = frames * kFramePackets;
    IsochUrb* urb = input ? InputUrb(c, slot) : OutputUrb(c, slot);
    std::memset(static_cast<void*>(urb), 0, usb::isochUrbSize(packets));
    urb->length = static_cast<uint16_t>(usb::isochUrbSize(packets));
    urb->function = usb::kUrbFunctionIsochTransfer;
    urb->pipe = pipe;
    urb->transferFlags = input ? usb::kTransferDirectionIn : 0;
    urb->numberOfPackets = packets;
    if (input) {
        const uint32_t packetBytes = InputPacketBytes(c->runningSampleRate, c->inputChannels);
        IsochPacket* p = urb->packets();
        for (uint32_t i = 0; i < packets; ++i)
            p[i].offset = i * packetBytes;
        urb->transferBuffer = c->transferPool + size_t(slot) * kTransferSlotBytes;
        urb->transferBufferLength = packets * packetBytes;
        AsioInfo(c->asioInfo).requestedPacketFramesRing().push(packetBytes / (c->inputChannels * 4));
    }
    Status s = pipe->formatRequestForUrb(*request, *memory, 0);
    if (failed(s))
        return s;
    request->setCompletionRoutine(input ? &OnReadUrbComplete : &OnWriteUrbComplete, c);
    return status::kSuccess;
}

void OnReadUrbComplete(Request& request, IoTarget& target, void* contextPointer)
{
    (void)target;
    auto* c = static_cast<DeviceContext*>(contextPointer);
    const uint32_t slot = request.contextAs<ReadRequestContext>()->slot;
    IsochUrb* urb = InputUrb(c, slot);
    const bool success = succeeded(request.status()) && !usb::usbd::isError(urb->status);
    bool outputBuilt = false;
    uint32_t outputStart = 0;
    uint32_t outputFrames = urb->numberOfPackets / kFramePackets;

    c->streamLock->acquire();
    AsioInfo info(c->asioInfo);
    if (c->lastCompletedInputSlot == (slot + 1) % kTransferSlots)
        info.orStatusBits(asio_info::kStatusBitOutOfOrder);
    --c->inputsInFlight;
    c->lastCompletedInputSlot = slot;
    c->lastInputStartFrame = urb->startFrame;
    c->framesQueued -= outputFrames;

    if (success) {
        uint32_t mask = 0;
        bool anyZero = false;
        const IsochPacket* p = urb->packets();
        for (uint32_t i = 0; i < urb->numberOfPackets; ++i) {
            if (p[i].length == 0) {
                anyZero = true;
                info.addReadZeroLengthPackets();
                if (i < 32)
                    mask |= 1u << i;
                info.setReadPacketError(static_cast<uint32_t>(p[i].status));
            }
        }
        if (anyZero)
            info.setReadZeroLengthMask(mask);
    }

    if (c->streamingEnabled && success && !c->restart) {
        if (!c->outputBusy[slot])
            outputBuilt = succeeded(BuildIsochUrb(c, slot, false, outputFrames));
        ProcessReadUrb(c, slot, c->streamingEnabled && !c->restart, outputBuilt);
        if (outputBuilt && OutputUrb(c, slot)->transferBufferLength == 0)
            outputBuilt = false;
        outputStart = OutputUrb(c, slot)->startFrame;
    } else {
        ++c->consecutiveInputFailures;
        if (!success && urb->status == usb::usbd::kBadStartFrame)
            c->nextInputStartFrame = 0;
        if (c->streamingEnabled) {
            info.setReadRequestError(static_cast<uint32_t>(request.status()));
            info.setReadUrbError(static_cast<uint32_t>(urb->status));
            info.setReadPacketError(static_cast<uint32_t>(urb->numberOfPackets ? urb->packets()[0].status : 0));
        }
        if (c->consecutiveInputFailures > kMaxConsecutiveFailures)
            c->streamingEnabled = 0; // the engine stops; clients are not woken
    }
    c->inputBusy[slot] = 0;
    if (outputBuilt) {
        c->outputBusy[slot] = 1;
        ++c->outputsInFlight;
    }
    if (success)
        info.addReadsCompleted();
    else
        info.addReadsFailed();
    c->streamLock->release();

    if (outputBuilt) {
        // Output transfers start far ahead with long half-ring times: the
        // time-out counts from their last frame.
        uint32_t now = 0;
        c->usbDevice->retrieveCurrentFrameNumber(&now);
        int64_t ahead = static_cast<int32_t>(outputStart - now);
        Ticks timeout = msToTicks(kTransferTimeoutMs + static_cast<uint64_t>(std::max<int64_t>(ahead, 0)) + outputFrames);
        if (!c->outputRequests[slot]->send(*c->lowerTarget, SendOptions{timeout})) {
            SpinLockGuard guard(*c->streamLock);
            c->outputBusy[slot] = 0;
            --c->outputsInFlight;
            info.addWritesFailed();
        }
    }

    c->streamLock->acquire();
    if (!c->pumping) {
        MarkRestartIfChanged(c);
        if (!c->restart)
            PumpReadUrbs(c);
    }
    c->streamLock->release();
}

bool ProcessReadUrb(DeviceContext* c, uint32_t slot, bool completeBlocks, bool fillOutput)
{
    AsioInfo info(c->asioInfo);
    c->consecutiveInputFailures = 0;
    const uint32_t inputs = c->inputChannels;
    const uint32_t outputs = c->outputChannels;
    const uint64_t B = c->blockBytesPerChannel;
    const uint32_t d = c->ringBlocks;
    const uint32_t r = c->runningSampleRate;
    const uint64_t ringBytes = uint64_t(d) * outputs * B;
    const uint64_t count = c->blockCount;

    uint64_t recordPosition = ((((count - 1) & 1) * B) + uint64_t(c->framesInBlock) * 4) % (2 * B);
    uint64_t playbackPosition =
        ((((count + 1) % d) * B + uint64_t(c->framesInBlock) * 4) * outputs + c->halfRingBytes) % ringBytes;
    if (c->halfRingBytes >= ringBytes || recordPosition >= 2 * B || playbackPosition >= ringBytes)
        c->restart = 1;

    IsochUrb* in = InputUrb(c, slot);
    IsochUrb* out = OutputUrb(c, slot);
    uint8_t* inputData = c->transferPool + size_t(slot) * kTransferSlotBytes;
    const bool loopback = info.kernelLoopback() != 0;
    // With loopback the input samples are written where the output transfer
    // reads, so more output than input channels cannot overrun the input.
    uint8_t* outputData = c->clippedRing + playbackPosition;
    const uint64_t playbackStart = playbackPosition;

    const uint32_t nominalFrames = r / 8000;
    const uint32_t packets = in->numberOfPackets;
    IsochPacket* ip = in->packets();
    IsochPacket* op = out->packets();
    uint64_t outputBytes = 0;
    uint64_t framesThisTransfer = 0;
    bool zeroSeen = false;
    bool plausible = false;
    BlockWork work;
    uint8_t* recordRegion = c->recordRing;
    const uint64_t regionBytes = 2 * B;

    for (uint32_t i = 0; i < packets; ++i) {
        uint32_t inputLength = ip[i].length;
        uint8_t* packetData = inputData + ip[i].offset;
        if (inputLength == 0) {
            // Counted as a nominal packet of silence.
            inputLength = nominalFrames * inputs * 4;
            std::memset(packetData, 0, inputLength);
            info.orStatusBits(asio_info::kStatusBitZeroLengthPacket);
            zeroSeen = true;
        }
        const uint32_t frames = inputLength / 4 / inputs;
        const uint32_t outputLength = inputs == outputs ? inputLength : static_cast<uint32_t>(uint64_t(inputLength) * outputs / inputs);
        if (frames == 0 || ((frames < 12) == (r < 96'000)))
            plausible = true;
        info.packetFramesRing().push(frames);
        if (fillOutput) {
            op[i].offset = static_cast<uint32_t>(outputBytes);
            op[i].length = outputLength;
        }
        if (loopback && fillOutput) {
            uint8_t* dst = outputData + outputBytes;
            for (uint32_t f = 0; f < frames; ++f) {
                const uint8_t* src = packetData + size_t(f) * inputs * 4;
                uint8_t* to = dst + size_t(f) * outputs * 4;
                uint32_t shared = std::min(inputs, outputs);
                std::memcpy(to, src, size_t(shared) * 4);
                if (outputs > shared)
                    std::memset(to + size_t(shared) * 4, 0, size_t(outputs - shared) * 4);
            }
        }
        outputBytes += outputLength;
        framesThisTransfer += frames;
        if (!c->restart) {
            // De-interleave into each channel's region, wrapping at its end.
            const uint8_t* src = packetData;
            for (uint32_t f = 0; f < frames; ++f) {
                for (uint32_t k = 0; k < inputs; ++k) {
                    std::memcpy(recordRegion + k * regionBytes + recordPosition, src, 4);
                    src += 4;
                }
                recordPosition += 4;
                if (recordPosition == regionBytes)
                    recordPosition = 0;
            }
        }
        if (completeBlocks) {
            c->framesInBlock += frames;
            while (c->framesInBlock >= c->runningBlockFrames)
                CompleteBlock(c, info, work, packets - i);
        }
    }
    if (!plausible) {
        // The device's rate changed under the stream.
        c->restart = 1;
        c->reconfigure = 1;
    }
    if (fillOutput) {
        out->transferBuffer = outputData;
        out->transferBufferLength = static_cast<uint32_t>(outputBytes);
        out->startFrame = c->outputDelayMode + c->halfRingMs + in->startFrame;
    }
    if (completeBlocks && playbackStart + outputBytes > ringBytes) {
        if (info.playbackOverrun() != 0)
            info.orStatusBits(asio_info::kStatusBitOverrunNotTaken);
        info.setPlaybackOverrun(static_cast<uint32_t>(playbackStart + outputBytes - ringBytes));
    }
    if (!zeroSeen) {
        c->totalFramesReceived += framesThisTransfer;
        c->totalMsReceived += packets / kFramePackets;
        if (c->totalMsReceived)
            info.setMeasuredSampleRate(static_cast<uint32_t>(c->totalFramesReceived * 1000 / c->totalMsReceived));
    }
    info.blockLeftoverRing().push(c->framesInBlock);
    info.readTransferSamplesRing().push(static_cast<uint32_t>(framesThisTransfer));
    if (!c->shortBlock && work.blocksCompleted == 0)
        info.addReadsWithoutBlock();
    info.setFramesInBlock(c->framesInBlock);
    info.setPendingReadFrames(c->framesQueued);
    return work.blocksCompleted > 0;
}

void OnWriteUrbComplete(Request& request, IoTarget& target, void* contextPointer)
{
    (void)target;
    auto* c = static_cast<DeviceContext*>(contextPointer);
    const uint32_t slot = request.contextAs<WriteRequestContext>()->slot;
    IsochUrb* urb = OutputUrb(c, slot);
    const bool success = succeeded(request.status()) && !usb::usbd::isError(urb->status);
    SpinLockGuard guard(*c->streamLock);
    AsioInfo info(c->asioInfo);
    if (success) {
        const IsochPacket* p = urb->packets();
        for (uint32_t i = 0; i < urb->numberOfPackets; ++i) {
            if (usb::usbd::isError(p[i].status) || p[i].length == 0) {
                info.addWriteBadPackets();
                info.setWritePacketError(static_cast<uint32_t>(p[i].status));
            }
        }
    } else {
        info.setWriteRequestError(static_cast<uint32_t>(request.status()));
        info.setWriteUrbError(static_cast<uint32_t>(urb->status));
        info.setWritePacketError(static_cast<uint32_t>(urb->numberOfPackets ? urb->packets()[0].status : 0));
    }
    info.setShortBlockFlag(c->shortBlock);
    info.setHalfRingMs(c->halfRingMs);
    c->outputBusy[slot] = 0;
    --c->outputsInFlight;
    c->lastOutputCompletionMs = GetTickCountMs();
    if (success)
        info.addWritesCompleted();
    else
        info.addWritesFailed();
}

} // namespace orvo::kernel
