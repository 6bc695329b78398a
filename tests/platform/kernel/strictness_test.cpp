#include "kernel_fixture.h"

#include "platform/kernel/kernel_services.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/request.h"
#include "platform/kernel/spin_lock.h"
#include "platform/kernel/timer.h"
#include "platform/kernel/wait_lock.h"

#include <functional>
#include <memory>
#include <string>

namespace kplat::testing {
namespace {

struct Root final : Object {
    Root() : Object(ObjectAttributes{}, nullptr) {}
};

class StrictnessTest : public KernelFixture {
protected:
    StrictnessTest()
    {
        ObjectAttributes attributes;
        attributes.parent = root_;
        EXPECT_EQ(SpinLock::create(attributes, &lock_), status::kSuccess);
    }
    ~StrictnessTest() override { root_->deleteObject(); }

    Root* root_ = new Root;
    SpinLock* lock_ = nullptr;
};

TEST_F(StrictnessTest, SpinLockRaisesToDispatchAndRestores)
{
    EXPECT_EQ(currentLevel(), Level::Passive);
    lock_->acquire();
    EXPECT_EQ(currentLevel(), Level::Dispatch);
    lock_->release();
    EXPECT_EQ(currentLevel(), Level::Passive);
}

TEST_F(StrictnessTest, RecursiveAcquisitionIsCaught)
{
    lock_->acquire();
    EXPECT_THROW(lock_->acquire(), StrictnessViolation);
    lock_->release();
}

TEST_F(StrictnessTest, ReleasingALockNotHeldIsCaught) { EXPECT_THROW(lock_->release(), StrictnessViolation); }

TEST_F(StrictnessTest, AWaitLockHasOneHolderAtPassiveLevel)
{
    ObjectAttributes attributes;
    attributes.parent = root_;
    WaitLock* waitLock = nullptr;
    ASSERT_EQ(WaitLock::create(attributes, &waitLock), status::kSuccess);
    EXPECT_THROW(waitLock->release(), StrictnessViolation);
    {
        SpinLockGuard guard(*lock_);
        EXPECT_THROW(waitLock->acquire(), StrictnessViolation);
    }
    waitLock->acquire();
    EXPECT_EQ(currentLevel(), Level::Passive);
    EXPECT_THROW(waitLock->acquire(), StrictnessViolation);
    waitLock->release();
}

TEST_F(StrictnessTest, PassiveOnlyCallsAtDispatchAreCaught)
{
    Mdl* mdl = allocatePagesForMdl(0, ~0ull, 0, 4096);
    ASSERT_NE(mdl, nullptr);
    void* system = mapLockedPages(*mdl, AccessMode::Kernel, CacheType::Cached);
    void* user = mapLockedPages(*mdl, AccessMode::User, CacheType::Cached);
    ASSERT_NE(user, nullptr);
    KernelTimer wait;
    wait.set(-10'000);
    void* paged = allocatePool(PoolType::Paged, 16, poolTag("test"));
    Guid guid{};
    std::u16string text;

    const std::pair<const char*, std::function<void()>> cases[] = {
        {"delay", [] { delayExecution(10'000); }},
        {"kernel timer wait", [&] { wait.wait(); }},
        {"user mapping", [&] { mapLockedPages(*mdl, AccessMode::User, CacheType::Cached); }},
        {"user unmapping", [&] { unmapLockedPages(user, *mdl); }},
        {"paged pool", [] { allocatePool(PoolType::Paged, 16, poolTag("test")); }},
        {"freeing paged pool", [&] { freePool(paged); }},
        {"UUID", [&] { createUuid(guid); }},
        {"GUID text", [&] { guidToString(guid, text); }},
        {"timer resolution", [] { setTimerResolution(10'000, true); }},
        {"clock advance", [] { kernelClock().advance(1); }},
    };
    for (const auto& [name, call] : cases) {
        SpinLockGuard guard(*lock_);
        EXPECT_THROW(call(), StrictnessViolation) << name;
    }
    // At passive level the same calls pass.
    freePool(paged);
    EXPECT_EQ(timerResolutionBalance(), 0);
    unmapLockedPages(user, *mdl);
    unmapLockedPages(system, *mdl);
    freePagesFromMdl(*mdl);
    freeMdl(mdl);
}

TEST_F(StrictnessTest, ShortBuffersFailWithBufferTooSmall)
{
    uint8_t buffer[16] = {};
    std::unique_ptr<Request, void (*)(Request*)> request(
        Request::createIo({RequestKind::DeviceControl, 0x220010, 8, 4}, buffer, nullptr, Caller{}),
        [](Request* r) { r->deleteObject(); });
    void* in = nullptr;
    void* out = nullptr;
    size_t length = 0;
    EXPECT_EQ(request->retrieveInputBuffer(72, &in, &length), status::kBufferTooSmall);
    EXPECT_EQ(request->retrieveOutputBuffer(64, &out, &length), status::kBufferTooSmall);
    EXPECT_EQ(request->retrieveInputBuffer(8, &in, &length), status::kSuccess);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(request->retrieveOutputBuffer(4, &out, &length), status::kSuccess);
    // METHOD_BUFFERED: one system buffer for both directions.
    EXPECT_EQ(in, out);
    EXPECT_EQ(in, buffer);
}

TEST_F(StrictnessTest, EmptyBufferIsTooSmallEvenWithoutMinimum)
{
    std::unique_ptr<Request, void (*)(Request*)> request(
        Request::createIo({RequestKind::DeviceControl, 0x220004, 0, 0}, nullptr, nullptr, Caller{}),
        [](Request* r) { r->deleteObject(); });
    void* out = nullptr;
    EXPECT_EQ(request->retrieveOutputBuffer(0, &out, nullptr), status::kBufferTooSmall);
}

TEST_F(StrictnessTest, CompletingTwiceOrOverfillingIsCaught)
{
    uint8_t buffer[8] = {};
    std::unique_ptr<Request, void (*)(Request*)> request(
        Request::createIo({RequestKind::DeviceControl, 0x220004, 0, 4}, buffer, nullptr, Caller{}),
        [](Request* r) { r->deleteObject(); });
    EXPECT_THROW(request->completeWithInformation(status::kSuccess, 5), StrictnessViolation);
    request->completeWithInformation(status::kSuccess, 4);
    EXPECT_THROW(request->complete(status::kSuccess), StrictnessViolation);
}

TEST_F(StrictnessTest, TimerWaitingForItselfIsCaught)
{
    static Timer* self = nullptr;
    static bool caught = false;
    caught = false;
    TimerConfig config;
    config.callback = [](Timer& t) {
        try {
            t.stop(true);
        } catch (const StrictnessViolation&) {
            caught = true;
        }
    };
    ObjectAttributes attributes;
    attributes.parent = root_;
    attributes.executionLevel = ExecutionLevel::Passive;
    ASSERT_EQ(Timer::create(config, attributes, &self), status::kSuccess);
    self->startRelative(10'000);
    kernelClock().advance(10'000);
    EXPECT_TRUE(caught);
}

} // namespace
} // namespace kplat::testing
