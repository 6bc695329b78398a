#include "classcomp/asio/streaming_thread.h"

#include "classcomp/asio/aasio.h"
#include "classcomp/asio/debug_log.h"
#include "classcomp/asio/device_api.h"
#include "classcomp/asio/device_slots.h"
#include "classcomp/asio/driver_threads.h"
#include "classcomp/asio/output_mixing.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/asio/statistics_log.h"
#include "classcomp/asio/transport.h"
#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/win32/clock.h"
#include "platform/win32/error.h"
#include "platform/win32/handles.h"
#include "platform/win32/message.h"
#include "platform/win32/security.h"
#include "platform/win32/synch.h"
#include "platform/win32/threads.h"
#include "platform/win32/version.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace orvo::asio {

namespace {

namespace k = orvo::kernel;
namespace ibr = orvo::kernel::init_buffers_result;

constexpr uint32_t kIdlePollMs = 10;
constexpr uint32_t kNotStartedPollMs = 64;
constexpr uint32_t kStalledPollMs = 20;
constexpr uint32_t kResetRepeatMs = 1000;
constexpr uint32_t kBlockWaitMs = 100;
constexpr int kNegotiationPasses = 20;
// A stopped host's last block (3 ahead of the last one it was given) has been
// sent once the kernel has completed this many blocks past that one; the
// wait for it ends after kBlockWaitMs without a block.
constexpr uint64_t kTailBlocks = 5;
// A clear of the rings takes microseconds; this is for a clearer that died.
constexpr std::chrono::milliseconds kPlaybackClearWait{50};
constexpr uint32_t kStatisticsEndWaitMs = 500;

std::atomic<int> g_nextLoggingId{1};

uint32_t u32At(const uint8_t* p, size_t offset)
{
    uint32_t v;
    std::memcpy(&v, p + offset, 4);
    return v;
}

uint8_t* userAddress(const uint8_t* reply, size_t offset)
{
    return reinterpret_cast<uint8_t*>(uintptr_t(u32At(reply, offset)));
}

bool sendStarted(int slot, AudioDeviceInterfaceWrapper* wrapper, bool on)
{
    return DeviceMessageValue(slot, wrapper, k::kMsgClientStarted, k::device_message::kSet, on ? 1 : 0, nullptr);
}

// The block event's name: the client id, then the interface GUID without braces.
std::u16string eventName(uint32_t clientId, const w32::GUID& g)
{
    char text[96];
    std::snprintf(text, sizeof text, "OrvoUAC2AsioBufferReady%u%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  unsigned(clientId), static_cast<unsigned long>(g.Data1), unsigned(g.Data2), unsigned(g.Data3),
                  unsigned(g.Data4[0]), unsigned(g.Data4[1]), unsigned(g.Data4[2]), unsigned(g.Data4[3]),
                  unsigned(g.Data4[4]), unsigned(g.Data4[5]), unsigned(g.Data4[6]), unsigned(g.Data4[7]));
    return std::u16string(text, text + std::strlen(text));
}

// One registration with the kernel driver: the client's shared mappings,
// held by a lease on the handle that made them.
struct Registration {
    bool active = false;
    uint32_t generation = 0; // of the object's buffers it was made for
    uint32_t clientSlot = 0;
    uint8_t* record = nullptr;
    MappingLease lease;
};

class StreamingThread {
public:
    explicit StreamingThread(AAsio& object)
        : a_(object), slot_(object.deviceIndex()), wrapper_(object.device()), id_(g_nextLoggingId.fetch_add(1))
    {
        statisticsArgs_.object = &object;
    }
    void run();

private:
    void startStatisticsLog();
    void endStatisticsLog();
    bool registerClient();
    void disposeRegistration();
    void streamBlocks();
    void playOutTail(const orvo::kernel::AsioInfo& info, uint64_t lastSwitched);
    void requestResetNow(bool& stillNeedsReset) { stillNeedsReset = !a_.requestReset(); }

    AAsio& a_;
    const int slot_;
    AudioDeviceInterfaceWrapper* const wrapper_;
    const int id_;
    bool realTime_ = false;
    bool negotiated_ = false;
    w32::HANDLE event_ = nullptr;
    Registration reg_;
    bool statisticsStarted_ = false;
    w32::HANDLE statisticsThread_ = nullptr;
    StatisticsLogArgs statisticsArgs_;
};

void StreamingThread::run()
{
    uLog(2, "Begin ASIO kernel streaming thread; logging ID: %d", id_);
    if (wrapper_)
        wrapper_->noReopen = true;
    w32::SetThreadPriority(w32::GetCurrentThread(), w32::THREAD_PRIORITY_TIME_CRITICAL);
    realTime_ = (w32::GetVersion() & 0xFF) >= 6 && RegistryReadIsRealTimeEnabled(slot_);
    bool badHandle = false;
    while (a_.isStreamingWanted()) {
        w32::Sleep(kIdlePollMs);
        if (reg_.active && (!a_.isBufferSizeInited() || a_.buffersGeneration() != reg_.generation)) {
            sendStarted(slot_, wrapper_, false);
            disposeRegistration();
        }
        if (!a_.isBufferSizeInited()) {
            uLogRaw(2, "; (%d)", id_);
            continue;
        }
        if (!wrapper_) {
            uLog(1, "Bad handle from uCreateOrvoAudioDeviceInterfaceWrapper; logging ID: %d", id_);
            badHandle = true;
            break;
        }
        if (!reg_.active && !registerClient())
            break;
        MappingLease current = GetAsioInfo(slot_, wrapper_, false);
        if (!reg_.active || !current) {
            uLog(2, "Failure in kIoCtlInitBuffers, so bailing; logging ID: %d, asioInfo: %llx", id_,
                 static_cast<unsigned long long>(uintptr_t(current.get())));
            a_.setIsBufferSizeInited(false);
            a_.requestReset();
            continue;
        }
        current.release();
        streamBlocks();
        sendStarted(slot_, wrapper_, false);
    }
    if (wrapper_ && !badHandle) {
        sendStarted(slot_, wrapper_, false);
        disposeRegistration();
    }
    a_.clearBuffers();
    if (event_ && !w32::CloseHandle(event_)) {
        uLog(1, "Failed to close kernel->client event handle, so bailing; logging ID: %d", id_);
        a_.requestReset();
    }
    endStatisticsLog();
    uLog(2, "End ASIO kernel streaming thread; logging ID: %d", id_);
}

// Once per thread, when it streams with its own log file open.
void StreamingThread::startStatisticsLog()
{
    if (statisticsStarted_ || !ThreadLogIsOpen())
        return;
    statisticsStarted_ = true;
    w32::DWORD id = 0;
    statisticsThread_ = StartDriverThread(&uAsioDebugLogThread, &statisticsArgs_, &id);
}

// The statistics thread uses the object and this thread's arguments, which
// go with this thread (the object too, when released here): it ends first,
// past the 500 ms (logged) when it must.
void StreamingThread::endStatisticsLog()
{
    if (!statisticsThread_)
        return;
    statisticsArgs_.ownerEnding.store(true);
    const w32::DWORD waited = w32::WaitForSingleObject(statisticsThread_, kStatisticsEndWaitMs);
    if (waited != w32::WAIT_OBJECT_0) {
        uLog(1, "Failed to wait for debug log thread to finish: %08x.", unsigned(waited));
        w32::WaitForSingleObject(statisticsThread_, w32::kInfinite);
    }
    w32::CloseHandle(statisticsThread_);
    statisticsThread_ = nullptr;
}

// False when the thread is to end (no client id, no event name).
bool StreamingThread::registerClient()
{
    uint8_t idReply[k::kClientIdBytes] = {};
    if (!WrappedDeviceIoctl(slot_, wrapper_, k::kIoCtlGetClientId, nullptr, 0, idReply, sizeof idReply)) {
        uLog(1, "Bad result from get client id IOCTL; logging ID: %d", id_);
        return false;
    }
    if (!event_) {
        if (!GetAsioInfo(slot_, wrapper_)) {
            uLog(1, "Failed to retrieve AsioInfo for kernel sync object name");
            return false;
        }
        w32::GUID guid{};
        if (!uRegistryTryReadKernelInterfaceGuid(slot_, guid)) {
            uLog(1, "Failed to retrieve kernel interface guid for kernel sync object name");
            return false;
        }
        w32::SECURITY_DESCRIPTOR descriptor{};
        w32::InitializeSecurityDescriptor(&descriptor, w32::SECURITY_DESCRIPTOR_REVISION);
        w32::SetSecurityDescriptorDacl(&descriptor, w32::TRUE, nullptr, w32::FALSE);
        w32::SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, w32::FALSE};
        event_ = w32::CreateEventW(&attributes, w32::TRUE, w32::FALSE, eventName(u32At(idReply, 0), guid).c_str());
    }
    uLog(2, "Invoking kIoCtlInitBuffers for block size %d, sample rate %d, logging id %d", int(a_.blockFrames()),
         int(uOrvoAudioGetSampleRate(slot_, wrapper_)), id_);
    uint8_t input[k::kInitBuffersInputBytes] = {};
    const uint64_t handle = uint64_t(uintptr_t(event_));
    std::memcpy(input, &handle, sizeof handle);
    uint8_t reply[ibr::kSize] = {};
    reg_.generation = a_.buffersGeneration();
    // The lease is taken in the same hold of the wrapper lock as the set-up,
    // so no re-open can come between them.
    w32::EnterCriticalSection(&wrapper_->lock);
    const bool ok = event_ && WrappedDeviceIoctl(slot_, wrapper_, k::kIoCtlInitBuffers, input, sizeof input, reply,
                                                 sizeof reply);
    if (ok)
        reg_.lease = LeaseCurrentMappings(*wrapper_, userAddress(reply, ibr::kStatusRecordOffset));
    w32::LeaveCriticalSection(&wrapper_->lock);
    reg_.active = ok && reg_.lease;
    if (reg_.active) {
        reg_.record = userAddress(reply, ibr::kStatusRecordOffset);
        reg_.clientSlot = u32At(reply, ibr::kClientSlotOffset);
        uLog(2, "Retrieving asio info: %llx for; logging ID: %d", static_cast<unsigned long long>(uintptr_t(reg_.record)),
             id_);
        a_.attachSharedBuffers(userAddress(reply, ibr::kRecordRingOffset), userAddress(reply, ibr::kClippedRingOffset),
                               userAddress(reply, ibr::kUnclippedRingOffset), reg_.record);
    }
    return true;
}

// Gives the registration back. The object forgets the mappings first; the
// kernel driver's dispose undoes them (the status record too), so it is
// sent only while this thread's lease is the handle's only one. Otherwise
// the handle is replaced, and its last lease closes it, which disposes.
void StreamingThread::disposeRegistration()
{
    a_.detachSharedBuffers();
    reg_.active = false;
    reg_.record = nullptr;
    w32::EnterCriticalSection(&wrapper_->lock);
    const bool current = reg_.lease && reg_.lease.epoch() == wrapper_->epoch;
    if (current && wrapper_->leases == 1) {
        wrapper_->asioInfo = nullptr;
        if (!WrappedDeviceIoctl(slot_, wrapper_, k::kIoCtlDisposeOfBuffers, nullptr, 0, nullptr, 0))
            CloseWrapperHandle(*wrapper_);
    } else if (current) {
        CloseWrapperHandle(*wrapper_);
    }
    reg_.lease.release();
    if (wrapper_->handle == w32::INVALID_HANDLE_VALUE)
        OpenSlotDevice(slot_, *wrapper_);
    w32::LeaveCriticalSection(&wrapper_->lock);
}

void StreamingThread::streamBlocks()
{
    k::AsioInfo info(reg_.record);
    uint64_t processed = info.asioBlockCount();
    bool stillNeedsReset = false, stopped = false, resetRequested = false, startedSent = false;
    uint32_t resetClock = 0;
    const DeviceSlot* slot = DeviceSlotAt(slot_);
    uint32_t heartbeatsSeen = slot ? slot->heartbeatRestarts.load() : 0;
    // A bail's own request is the one the stalled passes after it repeat
    // when unanswered; asking again at the next pass would reset the host twice.
    auto bail = [&] {
        requestResetNow(stillNeedsReset);
        resetRequested = true;
        resetClock = w32::GetTickCount();
        stopped = true;
    };
    const uint32_t addend = DeadlineAddend(a_.blockFrames(), uOrvoAudioGetSampleRate(slot_, wrapper_));
    uLog(2, "Time offset addend = %lld", static_cast<long long>(addend));

    uint64_t lastSwitched = processed; // the last block the host was given
    while (a_.isStreamingWanted() && a_.isBufferSizeInited() && a_.buffersGeneration() == reg_.generation) {
        const bool present = bool(GetAsioInfo(slot_, wrapper_, false));
        if (!a_.isRunning()) {
            // A stopped host is no started client: the kernel driver stops
            // counting on its blocks, and its rings, once nobody is started,
            // are cleared instead of playing the last cycle again and again.
            if (startedSent) {
                playOutTail(info, lastSwitched);
                if (sendStarted(slot_, wrapper_, false)) {
                    startedSent = false;
                    // The last client to stop (the record's count follows
                    // the message at once) clears the rings now: clients
                    // that stopped together each left them to the others.
                    a_.clearJoinedPlaybackBuffers();
                }
            }
            w32::Sleep(kNotStartedPollMs);
            uLogRaw(2, "z");
            a_.clearJoinedPlaybackBuffers();
            // A start after a stop begins at the kernel's current block, not
            // with a catch-up over blocks long overwritten.
            processed = info.asioBlockCount();
            a_.setClientProcessedBlockCount(processed);
            continue;
        }
        if (!startedSent) {
            if (!sendStarted(slot_, wrapper_, true)) {
                uLog(1, "Failed to notify driver of starting streaming");
                continue;
            }
            startedSent = true;
            // A not-started client's clear of the rings that began before
            // the message ends before this client writes into them.
            if (!AwaitPlaybackClears(reg_.record, kPlaybackClearWait))
                uLog(1, "Playback rings still being cleared after %d ms; starting anyway; logging ID: %d",
                     int(kPlaybackClearWait.count()), id_);
            // The others count this client from the kernel's next block on
            // (the record's count follows the message at once); a block they
            // took up before may be mixed without it, never written twice.
            processed = info.asioBlockCount();
            a_.setClientProcessedBlockCount(processed);
            lastSwitched = processed;
        }
        if (stopped || stillNeedsReset || !present || info.isStreamingEnabled() == 0) {
            if (resetClock == 0)
                resetClock = w32::GetTickCount();
            if (!resetRequested || w32::GetTickCount() - resetClock > kResetRepeatMs) {
                requestResetNow(stillNeedsReset);
                resetRequested = true;
                resetClock = w32::GetTickCount();
            }
            uLog(1, "? (%d) isStreamingStopped: %d; stillNeedsReset: %d; !isStreamingEnabled: %d", id_, int(stopped),
                 int(stillNeedsReset), int(present && info.isStreamingEnabled() == 0));
            w32::Sleep(kStalledPollMs);
            continue;
        }
        resetClock = 0;
        startStatisticsLog();
        if (realTime_) {
            if (!negotiated_) {
                NegotiateElevatedPriority(slot_, wrapper_);
                negotiated_ = true;
            }
            // Two dword stores, low half first, as the kernel driver reads it.
            const uint64_t deadline = info.lastBlockTime() + addend;
            uint8_t* at = reg_.record + k::asio_info::kClientDeadlineOffset + 8 * size_t(reg_.clientSlot % k::asio_info::kClientSlots);
            k::storeU32(at, uint32_t(deadline));
            k::storeU32(at + 4, uint32_t(deadline >> 32));
        }
        // Compare, reset, compare again, wait, reset again.
        w32::DWORD waited = w32::WAIT_OBJECT_0;
        if (info.asioBlockCount() == processed) {
            w32::ResetEvent(event_);
            if (info.asioBlockCount() == processed) {
                waited = w32::WaitForSingleObject(event_, kBlockWaitMs);
                w32::ResetEvent(event_);
            }
        }
        const uint64_t count = info.asioBlockCount();
        const uint32_t recordFrames = info.blockFrames();
        if ((recordFrames != 0 && recordFrames != a_.blockFrames()) || info.sampleRate() != a_.sampleRate()) {
            uLog(2,
                 "Bailing, because block frames changed from %d to %d and/or sample rate changed from %.0f to %d; "
                 "logging ID: %d",
                 int(a_.blockFrames()), int(recordFrames), a_.sampleRateHz(), int(info.sampleRate()), id_);
            uOrvoAudioSetKernelBufferMillisecs(slot_, wrapper_, int32_t(RegistryReadBufferSizeMillisecs(slot_)));
            a_.ReadBufferSizeAndSampleRate(true);
            a_.clearOutputReady();
            a_.switchBuffers(uint32_t(processed & 1));
            bail();
            continue;
        }
        if (info.isStreamingEnabled() == 0) {
            uLog(2, "Streaming isn't enabled, so bailing; logging ID: %d", id_);
            bail();
            continue;
        }
        if (processed >= count) {
            uLog(1, "clientProcessedBlockCount (%d) >= asioInfo->asioBlockCount (%d); logging ID: %d", int(processed),
                 int(count), id_);
            processed = count;
            a_.setClientProcessedBlockCount(processed);
            const uint32_t heartbeats = slot ? slot->heartbeatRestarts.load() : 0;
            if (heartbeats != heartbeatsSeen) {
                heartbeatsSeen = heartbeats;
                a_.requestReset();
            }
            if (!sendStarted(slot_, wrapper_, true))
                uLog(1, "Failed to notify driver of starting streaming");
            continue;
        }
        const uint64_t old = processed;
        processed = old + 1;
        bool catchUp = false;
        if (count - processed >= 2) {
            info.addPendingSlips(uint32_t(count - processed - 2));
            catchUp = info.asioBlockCount() >= old + 3;
        }
        a_.setClientProcessedBlockCount(processed);
        if (waited == w32::WAIT_TIMEOUT) {
            uLog(1, "Timeout waiting for audio");
        } else if (waited != w32::WAIT_OBJECT_0) {
            const w32::DWORD error = w32::GetLastError();
            w32::LPWSTR text = nullptr;
            w32::FormatMessageW(w32::FORMAT_MESSAGE_ALLOCATE_BUFFER | w32::FORMAT_MESSAGE_FROM_SYSTEM, nullptr, error,
                                0, reinterpret_cast<w32::LPWSTR>(&text), 0, nullptr);
            std::string narrow;
            for (const char16_t* c = text; c && *c; ++c)
                narrow += *c < 0x80 ? char(*c) : '?';
            uLog(2, "Wait for kernel event failed, so bailing: %x, %x, %s; logging ID: %d", unsigned(waited),
                 unsigned(error), narrow.c_str(), id_);
            if (text)
                w32::LocalFree(text);
            bail();
            continue;
        }
        a_.finishLateBlock(processed);
        a_.clearOutputReady();
        // A host stopped while this thread waited was not called: its output
        // halves hold an earlier block, which is not written again.
        const bool switched = a_.switchBuffers(uint32_t(processed & 1));
        if (switched)
            lastSwitched = processed;
        if (catchUp) {
            processed = info.asioBlockCount();
            a_.setClientProcessedBlockCount(processed);
        } else if (switched) {
            a_.outputReady();
        }
    }
    // Buffers disposed (or the object going) right after a stop: the blocks
    // the host filled are still played out first.
    if (startedSent && info.isStreamingEnabled() != 0)
        playOutTail(info, lastSwitched);
}

// After the host's last block the ring is silenced, and this client stays
// started until the kernel has sent the blocks the host filled: the kernel
// moves no block on while nobody is started, which would cut them off.
void StreamingThread::playOutTail(const k::AsioInfo& info, uint64_t lastSwitched)
{
    a_.silenceAfterLastBlock(lastSwitched);
    const uint64_t until = lastSwitched + kTailBlocks;
    uint64_t seen = info.asioBlockCount();
    // The stream restarted since the host's last block: that block went with
    // the old stream, and the new count would take as long to reach it.
    if (seen < lastSwitched)
        return;
    // Still a started client, this one converts the blocks the started
    // clients have left, as it did at its wakes, and those nobody mixed into
    // silence: clients that stop together each count the others as mixing
    // and leave the ring to them, and one that stops during another's tail
    // leaves that one alone started, which would otherwise let the ring play
    // its previous cycle there.
    a_.finishLateBlock(seen, true);
    for (uint32_t quietMs = 0; seen < until && quietMs < kBlockWaitMs && info.isStreamingEnabled() != 0;) {
        w32::Sleep(1);
        const uint64_t now = info.asioBlockCount();
        if (now < seen)
            break; // the stream started again
        quietMs = now == seen ? quietMs + 1 : 0;
        for (uint64_t block = seen + 1; block <= now && block <= seen + kTailBlocks; ++block)
            a_.finishLateBlock(block, true);
        seen = now;
    }
    // Played: the kernel's transfers go on around the ring, which is now
    // silent everywhere (the host's last blocks included).
    if (seen >= until)
        a_.silenceAfterLastBlock(lastSwitched + 4);
}

} // namespace

uint32_t DeadlineAddend(uint32_t blockFrames, uint32_t sampleRate)
{
    uint32_t kHz = sampleRate / 1000;
    if (kHz < 2)
        kHz = 1;
    return ((blockFrames * 3) >> 1) / kHz * 10000;
}

void NegotiateElevatedPriority(int slot, AudioDeviceInterfaceWrapper* wrapper)
{
    MappingLease record = GetAsioInfo(slot, wrapper, false);
    if (!record)
        return;
    const k::AsioInfo info(record.get());
    if (info.priorityTokenKnown() == 0) {
        for (int pass = 0; pass < kNegotiationPasses; ++pass) {
            const int priority = pass % 2 ? w32::THREAD_PRIORITY_TIME_CRITICAL : w32::THREAD_PRIORITY_NORMAL;
            if (!w32::SetThreadPriority(w32::GetCurrentThread(), priority))
                uLog(1, "Failed to set ASIO thread priority");
            const uint32_t request[2] = {priority == w32::THREAD_PRIORITY_TIME_CRITICAL ? 1u : 0u,
                                         pass == kNegotiationPasses - 1 ? 1u : 0u};
            uint8_t reply[k::kNegotiateOutputBytes] = {};
            uLog(2, "Negotiating elevated priority: about to invoke ioctl");
            if (!WrappedDeviceIoctl(slot, wrapper, k::kIoCtlNegotiateThreadPriority, request, sizeof request, reply,
                                    sizeof reply)) {
                uLog(2, "Negotiating elevated priority: failed, giving up");
                uLog(1, "Bad result from negotiate thread priority IOCTL");
                // Never left at the normal priority of an even pass.
                w32::SetThreadPriority(w32::GetCurrentThread(), w32::THREAD_PRIORITY_TIME_CRITICAL);
                break;
            }
            if (u32At(reply, 0) != 0) {
                uLog(2, "Negotiating elevated priority: needs loop restart");
                pass = 0; // the next pass is 1
            }
        }
        if (info.priorityTokenKnown() == 0)
            return;
    }
    if (!WrappedDeviceIoctl(slot, wrapper, k::kIoCtlElevateThreadPriority, nullptr, 0, nullptr, 0))
        uLog(2, "Saving elevated priority offset failed");
}

w32::DWORD AsioKernelStreamingThread(w32::LPVOID object)
{
    auto* a = static_cast<AAsio*>(object);
    a->streamingThreadStarted();
    StreamingThread(*a).run();
    // Released on this thread: the object goes now, nothing touches it after.
    if (a->streamingThreadEnded())
        AAsio::DeleteReleasedOnStreamingThread(a);
    return 0;
}

} // namespace orvo::asio
