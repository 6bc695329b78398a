#include "client_fixture.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/stream_engine.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/kernel_objects.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/spin_lock.h"
#include "platform/object/thread.h"

#include <gtest/gtest.h>

#include <thread>

namespace orvo::kernel::testing {
namespace {

using namespace kplat;
namespace dm = device_message;
namespace ibr = init_buffers_result;

class IoDispatchTest : public ClientFixture {};

TEST_F(IoDispatchTest, ClientIdsCountUpInOpeningOrderAndAreNotReused)
{
    Client& a = open();
    Client& b = open();
    Client& c = open(a.process);
    for (auto [client, id] : {std::pair{&a, 0u}, {&b, 1u}, {&c, 2u}}) {
        Reply r = ioctl(*client, kIoCtlGetClientId, nullptr, 0, 4);
        ASSERT_EQ(r.status, status::kSuccess);
        EXPECT_EQ(r.bytes, 4u);
        EXPECT_EQ(r.u32(), id);
    }
    close(b);
    EXPECT_EQ(ioctl(open(), kIoCtlGetClientId, nullptr, 0, 8).u32(), 3u);
}

TEST_F(IoDispatchTest, DeviceMessageReplies)
{
    Client& a = open();
    struct Case {
        uint32_t selector, operation, value;
        Status status;
        uint32_t reply;
    };
    const Case cases[] = {
        {kMsgDriverVersion, dm::kGet, 0, status::kSuccess, kDriverVersion},
        {kMsgSampleRate, dm::kGet, 0, status::kSuccess, 48000},
        {kMsgBlockFrames, dm::kGet, 0, status::kInternalError, 0},
        {kMsgBufferMode, dm::kGet, 0, status::kInternalError, 0},
        {kMsgClientProcessId, dm::kGet, 0, status::kInternalError, 0},
        {kMsgDriverVersion, dm::kSet, 7, status::kInternalError, 0},
        {kMsgClientStarted, dm::kGet, 0, status::kInternalError, 0}, // no entry yet
        {kMsgClientStarted, dm::kSet, 1, status::kSuccess, 0},      // succeeds without an entry
        {2, dm::kGet, 0, status::kInternalError, 0},
        {kMsgDriverVersion, 2, 0, status::kInternalError, 0},
        {kMsgSampleRate, dm::kSet, 96000, status::kInternalError, 0}, // process id not known yet
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(::testing::Message() << "selector " << k.selector << " operation " << k.operation);
        Reply r = message(a, k.selector, k.operation, k.value);
        EXPECT_EQ(r.status, k.status);
        EXPECT_EQ(r.bytes, k.status == status::kSuccess ? 64u : 0u);
        if (k.status == status::kSuccess) {
            EXPECT_EQ(r.u32(), k.reply);
        }
    }
    EXPECT_EQ(c_->requestedSampleRate, 48000u);
}

TEST_F(IoDispatchTest, BufferModeAboveTwoIsAcceptedAndChangesNothing)
{
    Client& a = open();
    uint8_t restart = c_->restart;
    EXPECT_EQ(message(a, kMsgBufferMode, dm::kSet, 5).status, status::kSuccess);
    EXPECT_EQ(c_->outputDelayMode, 0u);
    EXPECT_EQ(c_->restart, restart);
    EXPECT_EQ(message(a, kMsgBufferMode, dm::kSet, 2).status, status::kSuccess);
    EXPECT_EQ(c_->outputDelayMode, 2u);
    EXPECT_EQ(c_->restart, 1u);
}

TEST_F(IoDispatchTest, BlockFramesArePublishedAndMarkTheRestart)
{
    Client& a = open();
    EXPECT_EQ(message(a, kMsgBlockFrames, dm::kSet, 256).status, status::kSuccess);
    EXPECT_EQ(c_->requestedBlockFrames, 256u);
    EXPECT_EQ(info(c_).blockFrames(), 256u);
    EXPECT_EQ(c_->restart, 1u);
}

TEST_F(IoDispatchTest, UnknownCodesAreInvalidDeviceRequests)
{
    Client& a = open();
    for (uint32_t code : {0x220018u, 0x220020u, 0x220024u, 0x00220004u | 0x4000u, 0u}) {
        Reply r = ioctl(a, code, nullptr, 0, 64);
        EXPECT_EQ(r.status, status::kInvalidDeviceRequest) << std::hex << code;
        EXPECT_EQ(r.bytes, 0u);
    }
}

TEST_F(IoDispatchTest, ShortBuffersFailWithTheFrameworkStatusAndLongOnesAreAccepted)
{
    Client& a = open();
    prepare(a);
    uint8_t in[72] = {};
    std::memcpy(in, &a.eventHandle, 4);
    struct Case {
        uint32_t code, input, output;
    };
    const Case shortCases[] = {
        {kIoCtlGetClientId, 0, 3},        {kIoCtlMessage, 71, 64},        {kIoCtlMessage, 72, 63},
        {kIoCtlInitBuffers, 7, 36},       {kIoCtlInitBuffers, 8, 35},     {kIoCtlGetAsioInfo, 0, 7},
        {kIoCtlNegotiateThreadPriority, 7, 8}, {kIoCtlNegotiateThreadPriority, 8, 7},
    };
    for (const Case& k : shortCases) {
        Reply r = ioctl(a, k.code, in, k.input, k.output);
        EXPECT_EQ(r.status, status::kBufferTooSmall) << std::hex << k.code << " " << k.input << " " << k.output;
        EXPECT_EQ(r.bytes, 0u);
    }
    // A refused set-up left nothing behind: the next one works, with a long buffer.
    Reply r = ioctl(a, kIoCtlInitBuffers, in, 72, 64);
    ASSERT_EQ(r.status, status::kSuccess);
    EXPECT_EQ(r.bytes, 36u);
    EXPECT_EQ(c_->clientCount, 1u);
    EXPECT_EQ(ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, 64).bytes, 8u);
    EXPECT_EQ(ioctl(a, kIoCtlGetClientId, nullptr, 0, 64).bytes, 4u);
}

TEST_F(IoDispatchTest, BufferSetUpNeedsABlockSizeAndHappensOncePerHandle)
{
    Client& a = open();
    EXPECT_EQ(initBuffers(a).status, status::kInvalidDeviceRequest); // no block size yet
    Reply first = registerClient(a);
    ASSERT_EQ(first.status, status::kSuccess);
    EXPECT_EQ(first.bytes, 36u);
    EXPECT_EQ(first.u32(ibr::kClientSlotOffset), 0u);
    EXPECT_EQ(initBuffers(a).status, status::kInvalidDeviceRequest);
    EXPECT_EQ(c_->clientCount, 1u);

    Client& b = open(a.process);
    Reply second = registerClient(b);
    ASSERT_EQ(second.status, status::kSuccess);
    EXPECT_EQ(second.u32(ibr::kClientSlotOffset), 1u);
    EXPECT_EQ(c_->clientCount, 2u);
    // Each handle has its own views of the same blocks; the high halves are zero.
    for (size_t offset : {ibr::kRecordRingOffset, ibr::kClippedRingOffset, ibr::kUnclippedRingOffset,
                          ibr::kStatusRecordOffset}) {
        EXPECT_NE(first.u32(offset), 0u);
        EXPECT_EQ(first.u32(offset + 4), 0u);
        EXPECT_NE(first.u32(offset), second.u32(offset));
    }
    EXPECT_EQ(c_->streamingEnabled, 1u);
}

TEST_F(IoDispatchTest, TheStatusRecordIsMappedOncePerHandle)
{
    Client& a = open();
    Reply info1 = ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, 8);
    ASSERT_EQ(info1.status, status::kSuccess);
    EXPECT_EQ(info1.bytes, 8u);
    EXPECT_EQ(ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, 8).u32(), info1.u32());
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    EXPECT_EQ(r.u32(ibr::kStatusRecordOffset), info1.u32());
    const uint8_t* user = reinterpret_cast<const uint8_t*>(uintptr_t(info1.u32()));
    EXPECT_EQ(AsioInfo(const_cast<uint8_t*>(user)).sampleRate(), 48000u);
    EXPECT_EQ(mdlMappingCount(*c_->statusRecordMdl), 2u); // the kernel's and this handle's
}

TEST_F(IoDispatchTest, CompactionKeepsEachClientsDeadlineSlot)
{
    Client& a = open();
    Client& b = open();
    ASSERT_EQ(registerClient(a).u32(ibr::kClientSlotOffset), 0u);
    ASSERT_EQ(registerClient(b).u32(ibr::kClientSlotOffset), 1u);
    close(a);
    ASSERT_EQ(c_->clientCount, 1u);
    EXPECT_EQ(c_->clients[0].clientId, 1u);
    EXPECT_EQ(c_->clients[0].deadlineSlot, 1u);
    Client& c = open();
    Reply r = registerClient(c);
    ASSERT_EQ(r.status, status::kSuccess);
    ASSERT_EQ(c_->clientCount, 2u);
    EXPECT_EQ(c_->clients[1].clientId, 2u); // appended at index 1
    EXPECT_EQ(r.u32(ibr::kClientSlotOffset), 0u); // the free slot, not b's
    EXPECT_EQ(c_->clients[1].deadlineSlot, 0u);
}

// The owner rule. Process 1 becomes the owner by changing the rate first.
TEST_F(IoDispatchTest, OwnerRule)
{
    struct Case {
        const char* name;
        bool ownerRegistered;
        uint64_t silenceMs;
        uint32_t rate;
        bool taken;
    };
    const Case cases[] = {
        {"owner recently active", false, 1999, 44100, false},
        {"owner silent, no registered client", false, 2000, 44100, true},
        {"owner silent, long", false, 10'000, 44100, true},
        {"owner silent but registered", true, 5000, 44100, false},
        {"owner active, same rate", true, 0, 96000, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Client& owner = open();
        Client& other = open();
        prepare(owner);
        prepare(other);
        // Whoever owns the device from an earlier case has been silent long enough.
        advanceMs(3000);
        ASSERT_EQ(message(owner, kMsgSampleRate, dm::kSet, 96000).status, status::kSuccess);
        ASSERT_EQ(c_->ownerProcessId, owner.process->id());
        ASSERT_EQ(c_->requestedSampleRate, 96000u);
        if (k.ownerRegistered) {
            ASSERT_EQ(initBuffers(owner).status, status::kSuccess);
        }
        advanceMs(k.silenceMs);
        Reply r = message(other, kMsgSampleRate, dm::kSet, k.rate);
        EXPECT_EQ(r.status, k.taken ? status::kSuccess : status::kInternalError);
        EXPECT_EQ(c_->requestedSampleRate, k.taken ? k.rate : 96000u);
        if (k.rate != 96000) {
            EXPECT_EQ(c_->ownerProcessId, (k.taken ? other : owner).process->id());
        }
        close(owner);
        close(other);
    }
}

TEST_F(IoDispatchTest, EveryRequestOfTheOwnerKeepsItsStanding)
{
    Client& owner = open();
    Client& other = open();
    prepare(owner);
    prepare(other);
    ASSERT_EQ(message(owner, kMsgSampleRate, dm::kSet, 96000).status, status::kSuccess);
    for (int i = 0; i < 4; ++i) {
        advanceMs(1500);
        ioctl(owner, kIoCtlGetClientId, nullptr, 0, 4);
    }
    advanceMs(1500);
    EXPECT_EQ(message(other, kMsgSampleRate, dm::kSet, 44100).status, status::kInternalError);
    advanceMs(600);
    EXPECT_EQ(message(other, kMsgSampleRate, dm::kSet, 44100).status, status::kSuccess);
    EXPECT_EQ(message(other, kMsgSampleRate, dm::kSet, 12345).status, status::kInternalError); // not listed
    EXPECT_EQ(c_->requestedSampleRate, 44100u);
}

TEST_F(IoDispatchTest, ARegisteredClientIsWokenAtEveryBlockThroughItsOwnViews)
{
    Client& a = open();
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    ASSERT_EQ(message(a, kMsgClientStarted, dm::kSet, 0x101).status, status::kSuccess);
    EXPECT_EQ(message(a, kMsgClientStarted, dm::kGet).data[0], 1u);
    advanceMs(500);
    AsioInfo kernel(c_->asioInfo);
    uint64_t blocks = kernel.asioBlockCount();
    ASSERT_GT(blocks, 30u);
    EXPECT_GE(a.event->setCount(), blocks);
    EXPECT_EQ(a.event->lastPriorityIncrement(), kBlockEventIncrement);
    auto* record = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kStatusRecordOffset)));
    EXPECT_EQ(AsioInfo(record).asioBlockCount(), blocks);
    auto* ring = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kRecordRingOffset)));
    EXPECT_EQ(std::memcmp(ring, c_->recordRing, 480'000), 0);
    // Same pages: what the client writes the kernel sees.
    auto* clipped = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kClippedRingOffset)));
    auto* unclipped = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kUnclippedRingOffset)));
    clipped[3'440'003] = 0x5A;
    unclipped[17] = 0xA5;
    EXPECT_EQ(c_->clippedRing[3'440'003], 0x5A);
    EXPECT_EQ(c_->unclippedRing[17], 0xA5);
}

TEST_F(IoDispatchTest, ClosingTheHandleDisposesWakesAndUnmaps)
{
    Client& a = open();
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    advanceMs(100);
    uint32_t addresses[] = {r.u32(ibr::kRecordRingOffset), r.u32(ibr::kClippedRingOffset),
                            r.u32(ibr::kUnclippedRingOffset), r.u32(ibr::kStatusRecordOffset)};
    for (uint32_t address : addresses)
        EXPECT_TRUE(readable(address));
    a.event->reset();
    close(a);
    EXPECT_EQ(c_->clientCount, 0u);
    EXPECT_EQ(c_->streamingEnabled, 0u);
    EXPECT_GT(a.event->setCount(), 0u);
    EXPECT_EQ(a.event->lastPriorityIncrement(), 0);
    for (uint32_t address : addresses)
        EXPECT_FALSE(readable(address)); // a stale view faults
    for (Mdl* mdl : {c_->recordRingMdl, c_->clippedRingMdl, c_->unclippedRingMdl, c_->statusRecordMdl})
        EXPECT_EQ(mdlMappingCount(*mdl), 1u); // the kernel's own
}

TEST_F(IoDispatchTest, DisposeOnRequestAllowsASecondSetUp)
{
    Client& a = open();
    ASSERT_EQ(registerClient(a).status, status::kSuccess);
    Reply d = ioctl(a, kIoCtlDisposeOfBuffers, nullptr, 0, 0);
    EXPECT_EQ(d.status, status::kSuccess);
    EXPECT_EQ(d.bytes, 0u);
    EXPECT_EQ(c_->clientCount, 0u);
    EXPECT_EQ(initBuffers(a).status, status::kSuccess);
    EXPECT_EQ(c_->clientCount, 1u);
}

// A dispose of the handle (another thread of its process, or the cleanup of
// its last handle) can come between any two locked steps of a request that
// maps views. After each such interleaving the request succeeds only with
// its views in place and tied to its process, and the stream runs exactly
// while the handle has a client entry.
TEST_F(IoDispatchTest, ADisposeBetweenAnyTwoStepsOfAMappingRequestLeavesNothingAstray)
{
    struct Case {
        const char* name;
        uint32_t code;
    };
    for (const Case& k : {Case{"buffer set-up", kIoCtlInitBuffers}, Case{"status record", kIoCtlGetAsioInfo}}) {
        Client& a = open();
        prepare(a);
        bool disposed = true;
        for (int step = 0; disposed; ++step) {
            SCOPED_TRACE(::testing::Message() << k.name << ", dispose before lock acquisition " << step);
            disposed = false;
            int acquisitions = 0;
            Reply r;
            {
                SpinLockAcquireHook hook([&](SpinLock& lock) {
                    if (&lock != c_->streamLock || currentLevel() != Level::Passive || acquisitions++ != step)
                        return;
                    disposed = true;
                    EXPECT_EQ(ioctl(a, kIoCtlDisposeOfBuffers, nullptr, 0, 0).status, status::kSuccess);
                });
                r = k.code == kIoCtlInitBuffers ? initBuffers(a) : ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, 8);
            }
            const bool mapped = mdlMappingCount(*c_->statusRecordMdl) == 2;
            EXPECT_EQ(r.status == status::kSuccess, mapped);
            EXPECT_EQ(c_->streamingEnabled != 0, c_->clientCount == 1);
            EXPECT_EQ(c_->clientCount == 1, k.code == kIoCtlInitBuffers && mapped);
            if (mapped) {
                // The views stay the first process's: a second one sharing
                // the handle may not undo them.
                Client other = a;
                other.process = ob::Process::create();
                EXPECT_EQ(ioctl(other, kIoCtlDisposeOfBuffers, nullptr, 0, 0).status, status::kAccessDenied);
            }
            EXPECT_EQ(ioctl(a, kIoCtlDisposeOfBuffers, nullptr, 0, 0).status, status::kSuccess);
            advanceMs(20);
            EXPECT_EQ(c_->clientCount, 0u);
            EXPECT_EQ(c_->streamingEnabled, 0u);
            for (Mdl* mdl : {c_->clippedRingMdl, c_->statusRecordMdl})
                EXPECT_EQ(mdlMappingCount(*mdl), 1u); // the kernel's own
        }
        close(a);
    }
}

// A priority request that registers its thread on an entry still being set
// up, whose set-up then fails: the thread's reference goes with the entry.
TEST_F(IoDispatchTest, AFailedSetUpReleasesTheThreadRegisteredOnItsEntry)
{
    Client& a = open();
    prepare(a);
    uint8_t in[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_EQ(ioctl(a, kIoCtlNegotiateThreadPriority, in, 8, 8).status, status::kSuccess);
    const auto self = ob::Thread::current();
    const long before = self.use_count();
    a.eventHandle = 0x7FFC; // no such handle: the set-up fails after reserving its entry
    bool elevated = false;
    Reply r;
    {
        SpinLockAcquireHook hook([&](SpinLock& lock) {
            if (elevated || &lock != c_->streamLock || currentLevel() != Level::Passive || c_->clientCount != 1)
                return;
            elevated = true;
            EXPECT_EQ(ioctl(a, kIoCtlElevateThreadPriority, nullptr, 0, 0).status, status::kSuccess);
        });
        r = initBuffers(a);
    }
    EXPECT_TRUE(elevated);
    EXPECT_NE(r.status, status::kSuccess);
    EXPECT_EQ(c_->clientCount, 0u);
    EXPECT_EQ(self.use_count(), before);
    close(a);
}

TEST_F(IoDispatchTest, AHundredClientsFillTheTable)
{
    auto process = ob::Process::create();
    for (uint32_t i = 0; i < kMaxClients; ++i) {
        Reply r = registerClient(open(process));
        ASSERT_EQ(r.status, status::kSuccess) << i;
        ASSERT_EQ(r.u32(ibr::kClientSlotOffset), i);
    }
    Client& extra = open(process);
    size_t mappings = mdlMappingCount(*c_->clippedRingMdl);
    EXPECT_EQ(registerClient(extra).status, status::kInvalidDeviceRequest);
    EXPECT_EQ(c_->clientCount, kMaxClients);
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), mappings);
}

TEST_F(IoDispatchTest, TheBlockEventIsReferencedAsTheClientsUserHandle)
{
    Client& a = open();
    prepare(a);
    // A handle without synchronise access, and one of another process.
    ob::Handle modifyOnly = 0;
    a.process->insert(a.event, ob::kEventModifyState, modifyOnly);
    Client& b = open();
    for (auto [handle, expected] : {std::pair{modifyOnly, status::kAccessDenied}, {b.eventHandle + 400, status::kInvalidHandle}}) {
        uint8_t in[8] = {};
        std::memcpy(in, &handle, 4);
        EXPECT_EQ(ioctl(a, kIoCtlInitBuffers, in, 8, 36).status, expected);
        EXPECT_EQ(c_->clientCount, 0u);
        EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u);
    }
    EXPECT_EQ(initBuffers(a).status, status::kSuccess);
}

TEST_F(IoDispatchTest, AFailedMappingIsUndoneAndTheHandleCanTryAgain)
{
    Client& first = open();
    ASSERT_EQ(registerClient(first).status, status::kSuccess); // the blocks exist
    Client& a = open();
    prepare(a);
    size_t before[4];
    Mdl* mdls[4] = {c_->recordRingMdl, c_->clippedRingMdl, c_->unclippedRingMdl, c_->statusRecordMdl};
    bool sawFailure = false;
    for (int skip = 0; skip < 8; ++skip) {
        for (int i = 0; i < 4; ++i)
            before[i] = mdlMappingCount(*mdls[i]);
        armFault(FaultKind::Allocation, skip, 1);
        Reply r = initBuffers(a);
        disarmFaults();
        if (r.status == status::kSuccess)
            break;
        sawFailure = true;
        EXPECT_EQ(r.status, status::kInsufficientResources) << skip;
        EXPECT_EQ(c_->clientCount, 1u);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(mdlMappingCount(*mdls[i]), before[i]) << skip << " " << i;
    }
    EXPECT_TRUE(sawFailure);
    EXPECT_EQ(c_->clientCount, 2u);
}

TEST_F(IoDispatchTest, AFailedStatusRecordMappingFailsTheRequestAndMapsNothing)
{
    Client& a = open();
    const size_t before = mdlMappingCount(*c_->statusRecordMdl);
    armFault(FaultKind::Allocation);
    Reply r = ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, kAsioInfoOutputBytes);
    disarmFaults();
    EXPECT_EQ(r.status, status::kInsufficientResources);
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(mdlMappingCount(*c_->statusRecordMdl), before);
    r = ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, kAsioInfoOutputBytes);
    EXPECT_EQ(r.status, status::kSuccess);
    EXPECT_NE(r.u32(), 0u);
}

TEST_F(IoDispatchTest, ARegisteredThreadIsBoostedWhileItsBlockIsDue)
{
    Client& a = open();
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    EXPECT_EQ(ioctl(a, kIoCtlElevateThreadPriority, nullptr, 0, 0).status, status::kInvalidParameter);
    uint8_t in[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    Reply n = ioctl(a, kIoCtlNegotiateThreadPriority, in, 8, 8);
    ASSERT_EQ(n.status, status::kSuccess);
    EXPECT_EQ(n.bytes, 8u);
    EXPECT_EQ(n.u32(), 0u);
    EXPECT_NE(n.u32(4), 0u);
    EXPECT_EQ(info(c_).priorityTokenKnown(), 1u);
    Reply e = ioctl(a, kIoCtlElevateThreadPriority, nullptr, 0, 0);
    EXPECT_EQ(e.status, status::kSuccess);
    EXPECT_EQ(e.bytes, 0u);
    ASSERT_EQ(message(a, kMsgClientStarted, dm::kSet, 1).status, status::kSuccess);

    auto self = ob::Thread::current();
    self->setPriority(0);
    advanceMs(200); // no deadline written: not boosted
    EXPECT_EQ(self->priority(), 0);
    auto* record = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kStatusRecordOffset)));
    AsioInfo(record).setClientDeadline(r.u32(ibr::kClientSlotOffset), queryInterruptTime() + msToTicks(10'000));
    advanceMs(200);
    EXPECT_EQ(self->priority(), kBoostedThreadPriority);
}

TEST_F(IoDispatchTest, ARegisteredThreadThatEndsIsNotTouched)
{
    Client& a = open();
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    uint8_t in[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    ASSERT_EQ(ioctl(a, kIoCtlNegotiateThreadPriority, in, 8, 8).status, status::kSuccess);
    ob::Ref<ob::Thread> registered;
    std::thread worker([&] {
        registered = ob::Thread::current();
        EXPECT_EQ(ioctl(a, kIoCtlElevateThreadPriority, nullptr, 0, 0).status, status::kSuccess);
        registered->markExited(0);
    });
    worker.join();
    ASSERT_EQ(message(a, kMsgClientStarted, dm::kSet, 1).status, status::kSuccess);
    auto* record = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kStatusRecordOffset)));
    AsioInfo(record).setClientDeadline(r.u32(ibr::kClientSlotOffset), queryInterruptTime() + msToTicks(10'000));
    advanceMs(200);
    EXPECT_GT(info(c_).asioBlockCount(), 10u);
    EXPECT_EQ(registered->priority(), 0); // held by reference, left alone once ended
}

// Clients can write the whole record: whatever they write, the kernel stays
// inside its blocks and goes on streaming.
TEST_F(IoDispatchTest, AScribbledStatusRecordCannotMisleadTheKernel)
{
    Client& a = open();
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    ASSERT_EQ(message(a, kMsgClientStarted, dm::kSet, 1).status, status::kSuccess);
    auto* record = reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kStatusRecordOffset)));
    uint32_t seed = 12345;
    for (int round = 0; round < 20; ++round) {
        for (size_t i = 0; i < asio_info::kSize; ++i) {
            seed = seed * 1103515245 + 12345;
            record[i] = round % 4 == 0 ? 0xFF : uint8_t(seed >> 16);
        }
        advanceMs(25);
    }
    std::memset(record, 0xFF, asio_info::kSize);
    EXPECT_EQ(message(a, kMsgSampleRate, dm::kSet, 0xFFFFFFFF).status, status::kInternalError);
    EXPECT_EQ(c_->requestedSampleRate, 48000u);
    EXPECT_EQ(c_->clientCount, 1u);
    std::memset(record, 0, asio_info::kSize);
    advanceMs(200);
    EXPECT_GT(info(c_).asioBlockCount(), 5u);
}

// The rate list in the record is only what the kernel published. 64 kHz lies
// in this mixer's continuous range (the device would take it) but is not a
// listed rate: adding it to the record's list must not make it settable, and
// emptying the record's list must not make the kernel read the ranges again.
TEST_F(IoDispatchTest, TheRecordsRateListCannotChangeWhichRatesTheKernelTakes)
{
    auto& dev = make(sim::mixer::profiles::continuousRange(), 1001);
    c_ = context(plugIn(dev));
    ASSERT_NE(c_, nullptr);
    link_ = kplat::io::deviceInterfaces(c_->interfaceGuid).at(0);
    Client& a = open();
    Reply r = registerClient(a);
    ASSERT_EQ(r.status, status::kSuccess);
    AsioInfo record(reinterpret_cast<uint8_t*>(uintptr_t(r.u32(ibr::kStatusRecordOffset))));
    ASSERT_EQ(record.sampleRateCount(), 2u);
    const uint32_t rateBefore = c_->requestedSampleRate;
    const uint64_t rangeReads = dev.counters().rangeReads;
    const uint64_t rateSets = dev.counters().rateSets;

    record.setSampleRateAt(2, 64000);
    record.setSampleRateCount(3);
    EXPECT_EQ(message(a, kMsgSampleRate, dm::kSet, 64000).status, status::kInternalError);
    EXPECT_EQ(c_->requestedSampleRate, rateBefore);
    EXPECT_EQ(dev.counters().rateSets, rateSets); // the device was not even asked

    for (uint32_t count : {0u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(count);
        record.setSampleRateCount(count);
        EXPECT_EQ(ioctl(a, kIoCtlGetAsioInfo, nullptr, 0, kAsioInfoOutputBytes).status, status::kSuccess);
        EXPECT_EQ(message(a, kMsgSampleRate, dm::kSet, 64000).status, status::kInternalError);
        const uint32_t listed = c_->requestedSampleRate == 44100 ? 96000 : 44100;
        EXPECT_EQ(message(a, kMsgSampleRate, dm::kSet, listed).status, status::kSuccess);
        EXPECT_EQ(c_->requestedSampleRate, listed);
        EXPECT_EQ(dev.counters().rangeReads, rangeReads);
    }
}

TEST_F(IoDispatchTest, AfterReleaseHardwareEveryRequestFailsWithInvalidHandle)
{
    Client& a = open();
    ASSERT_EQ(registerClient(a).status, status::kSuccess);
    advanceMs(50);
    bus_->unplug(ports_.back());
    uint8_t in[72] = {};
    for (uint32_t code : {kIoCtlNegotiateThreadPriority, kIoCtlGetClientId, kIoCtlInitBuffers,
                          kIoCtlElevateThreadPriority, kIoCtlMessage, kIoCtlGetAsioInfo, kIoCtlDisposeOfBuffers,
                          0x220018u}) {
        Reply r = ioctl(a, code, in, 72, 64);
        EXPECT_EQ(r.status, status::kInvalidHandle) << std::hex << code;
        EXPECT_EQ(r.bytes, 0u);
    }
    close(a); // still disposes and unmaps
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

// The device's state is checked under the stream lock where streaming is
// switched on, not only on entry: a set-up that runs after D0 exit must not
// switch streaming on for a device that is not working.
TEST_F(IoDispatchTest, ASetUpAfterD0ExitDoesNotSwitchStreamingOn)
{
    Client& a = open();
    prepare(a);
    ASSERT_EQ(pnp::setLowPower(bus_->node(ports_.back()), true), status::kSuccess);
    Reply r = initBuffers(a);
    EXPECT_EQ(r.status, status::kInvalidDeviceState);
    EXPECT_EQ(c_->streamingEnabled, 0);
    EXPECT_EQ(c_->clientCount, 0u);
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u); // the kernel's own view only
    advanceMs(20);
    EXPECT_EQ(c_->inputsInFlight, 0u);
    // Back in D0 the handle can set up.
    ASSERT_EQ(pnp::setLowPower(bus_->node(ports_.back()), false), status::kSuccess);
    EXPECT_EQ(initBuffers(a).status, status::kSuccess);
    EXPECT_EQ(c_->streamingEnabled, 1);
}

// A tick that fires after the device left D0 or began releasing its
// hardware (streaming switched on by a set-up racing with it) reconfigures
// nothing, sends nothing and is not re-armed.
TEST_F(IoDispatchTest, ALateTimerTickLeavesADeviceOutOfD0Alone)
{
    Client& a = open();
    ASSERT_EQ(registerClient(a).status, status::kSuccess);
    ASSERT_EQ(message(a, kMsgClientStarted, device_message::kSet, 1).status, status::kSuccess);
    ASSERT_EQ(pnp::setLowPower(bus_->node(ports_.back()), true), status::kSuccess);
    advanceMs(100);
    ASSERT_EQ(c_->inputsInFlight, 0u);
    const uint64_t reads = AsioInfo(c_->asioInfo).readsCompleted() + AsioInfo(c_->asioInfo).readsFailed();
    {
        SpinLockGuard guard(*c_->streamLock);
        SetStreamingEnabled(c_, true); // what the racing set-up did
        c_->restart = c_->reconfigure = 1;
    }
    c_->streamTimer->startRelative(msToTicks(1));
    const uint64_t fired = c_->streamTimer->firedCount();
    advanceMs(50);
    EXPECT_EQ(c_->streamTimer->firedCount(), fired + 1); // not re-armed
    EXPECT_EQ(c_->inputsInFlight, 0u);
    EXPECT_EQ(c_->reconfigure, 1);
    EXPECT_EQ(AsioInfo(c_->asioInfo).readsCompleted() + AsioInfo(c_->asioInfo).readsFailed(), reads);
}

// A handle shared with a second process (duplicated or inherited): the
// views belong to the process that set up, which alone may dispose of them;
// the last close, from either process, undoes them in their own process.
TEST_F(IoDispatchTest, ASecondProcessOnASharedHandleCannotUndoTheFirstProcesssViews)
{
    auto [a, b, clipped] = setUpAndShare();
    EXPECT_EQ(ioctl(b, kIoCtlDisposeOfBuffers, nullptr, 0, 0).status, status::kAccessDenied);
    EXPECT_EQ(ioctl(b, kIoCtlGetAsioInfo, nullptr, 0, 8).status, status::kAccessDenied);
    EXPECT_EQ(c_->clientCount, 1u);
    {
        ob::ProcessScope scope(a.process);
        EXPECT_TRUE(readable(clipped));
    }
    // The first process has closed its handle; the second closes the last.
    close(b);
    a.file = nullptr;
    EXPECT_EQ(c_->clientCount, 0u);
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u); // the kernel's own view only
    EXPECT_FALSE(readable(clipped));
}

// No cleanup comes when the process that set up ends while a second one
// still holds the handle: its views go at its end, in its own context, and
// its client with them (the platform stops if a process runs down with a
// view of locked pages mapped).
TEST_F(IoDispatchTest, ViewsGoWhenTheirProcessEndsWhileAnotherHoldsTheHandle)
{
    auto [a, b, clipped] = setUpAndShare();
    EXPECT_NO_THROW(a.process->terminate(0));
    EXPECT_EQ(c_->clientCount, 0u);
    EXPECT_EQ(c_->streamingEnabled, 0u);
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u); // the kernel's own view only
    EXPECT_FALSE(readable(clipped));
    // The handle lives on in the second process, which may now set up itself.
    b.eventHandle = 0;
    b.process->insert(b.event, ob::kEventAllAccess, b.eventHandle);
    EXPECT_EQ(registerClient(b).status, status::kSuccess);
    EXPECT_EQ(c_->clientCount, 1u);
    close(b);
    a.file = nullptr;
    EXPECT_EQ(mdlMappingCount(*c_->clippedRingMdl), 1u);
}

} // namespace
} // namespace orvo::kernel::testing
