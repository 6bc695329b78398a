#include "kernel_fixture.h"
#include "test_usb_device.h"

#include "platform/kernel/device.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb_bus.h"

#include <cstring>
#include <string>
#include <vector>

namespace kplat::testing {
namespace {

const Guid kClass{0x11112222, 0x3333, 0x4444, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr uint32_t kQueued = controlCode(0x22, 1, kMethodBuffered, kFileAnyAccess);
constexpr uint32_t kDirect = controlCode(0x22, 2, kMethodBuffered, kFileAnyAccess);

std::vector<std::string> gLog;
Status gPrepare = status::kSuccess;
uint32_t gLastProcess = 0;

struct FileCtx {
    uint32_t opened;
};

void handle(Request& request)
{
    void* in = nullptr;
    void* out = nullptr;
    Status s = request.retrieveInputBuffer(4, &in, nullptr);
    if (succeeded(s))
        s = request.retrieveOutputBuffer(4, &out, nullptr);
    if (failed(s)) {
        request.complete(s);
        return;
    }
    uint32_t value;
    std::memcpy(&value, in, 4);
    value += 1;
    std::memcpy(out, &value, 4);
    gLastProcess = request.caller().processId;
    request.completeWithInformation(status::kSuccess, 4);
}

Status add(Driver&, DeviceInit& init)
{
    gLog.push_back("add");
    PnpPowerCallbacks pnp;
    pnp.prepareHardware = [](Device&) {
        gLog.push_back("prepare");
        return gPrepare;
    };
    pnp.releaseHardware = [](Device&) {
        gLog.push_back("release");
        return status::kSuccess;
    };
    pnp.d0Entry = [](Device&, PowerState previous) {
        gLog.push_back(previous == PowerState::D3Final ? "d0 entry" : "d0 entry from d3");
        return status::kSuccess;
    };
    pnp.d0Exit = [](Device&, PowerState target) {
        gLog.push_back(target == PowerState::D3Final ? "d0 exit" : "d0 exit to d3");
        return status::kSuccess;
    };
    pnp.surpriseRemoval = [](Device&) { gLog.push_back("surprise removal"); };
    init.setPnpPowerCallbacks(pnp);
    init.setIoInCallerContextCallback([](Device& device, Request& request) {
        gLog.push_back("in caller context");
        if (request.parameters().ioControlCode == kDirect) {
            handle(request);
            return;
        }
        Status s = device.enqueueRequest(request);
        if (failed(s))
            request.complete(s);
    });
    FileObjectConfig files;
    files.fileCreate = [](Device&, Request& request, FileObject& file) {
        gLog.push_back("create");
        file.contextAs<FileCtx>()->opened = 1;
        request.complete(status::kSuccess);
    };
    files.fileCleanup = [](FileObject&) { gLog.push_back("cleanup"); };
    files.fileClose = [](FileObject&) { gLog.push_back("close"); };
    init.setFileObjectConfig(files, attributesWithContext<FileCtx>());
    ObjectAttributes attributes;
    attributes.destroy = [](Object&) { gLog.push_back("destroy"); };
    Device* device = nullptr;
    Status s = Device::create(init, attributes, &device);
    if (failed(s))
        return s;
    QueueConfig queue;
    queue.ioDeviceControl = [](Queue&, Request& request, size_t, size_t, uint32_t) {
        gLog.push_back("queue");
        handle(request);
    };
    Queue* q = nullptr;
    s = Queue::create(*device, queue, ObjectAttributes{}, &q);
    if (failed(s))
        return s;
    return device->createDeviceInterface(kClass, nullptr);
}

Status entry(DriverObject& object, const std::u16string&)
{
    DriverConfig config;
    config.deviceAdd = &add;
    return Driver::create(object, ObjectAttributes{}, config, nullptr);
}

class IoManagerTest : public KernelFixture {
protected:
    IoManagerTest()
    {
        gLog.clear();
        gPrepare = status::kSuccess;
        EXPECT_EQ(pnp::loadDriver(&entry, u"test"), status::kSuccess);
        bus_ = std::make_unique<usb::HostController>();
    }
    ~IoManagerTest() override
    {
        bus_.reset();
        pnp::unloadDriver();
    }

    std::vector<std::string> takeLog()
    {
        auto log = gLog;
        gLog.clear();
        return log;
    }

    TestUsbDevice mixer_;
    std::unique_ptr<usb::HostController> bus_;
};

using Log = std::vector<std::string>;

TEST_F(IoManagerTest, LifecycleRunsInFrameworkOrder)
{
    uint32_t port = bus_->plug(mixer_);
    EXPECT_EQ(takeLog(), (Log{"add", "prepare", "d0 entry"}));
    ASSERT_EQ(pnp::setLowPower(bus_->node(port), true), status::kSuccess);
    ASSERT_EQ(pnp::setLowPower(bus_->node(port), false), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"d0 exit to d3", "d0 entry from d3"}));
    bus_->unplug(port);
    EXPECT_EQ(takeLog(), (Log{"d0 exit", "surprise removal", "release", "destroy"}));
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
}

TEST_F(IoManagerTest, ADevicePulledFromItsPortIsRemovedByTheBus)
{
    uint32_t port = bus_->plug(mixer_);
    takeLog();
    mixer_.pulled = true;
    kernelClock().advance(msToTicks(2));
    EXPECT_EQ(takeLog(), (Log{"d0 exit", "surprise removal", "release", "destroy"}));
    EXPECT_EQ(bus_->node(port), 0u);
    EXPECT_EQ(pnp::liveDeviceCount(), 0u);
    // Put back, it is plugged in as a new device.
    mixer_.pulled = false;
    uint32_t again = bus_->plug(mixer_);
    EXPECT_NE(again, port);
    EXPECT_EQ(takeLog(), (Log{"add", "prepare", "d0 entry"}));
    EXPECT_THROW(bus_->plug(mixer_), StrictnessViolation);
}

TEST_F(IoManagerTest, FailedPrepareIsFollowedByRelease)
{
    gPrepare = status::kInvalidDeviceState;
    uint32_t port = bus_->plug(mixer_);
    EXPECT_EQ(takeLog(), (Log{"add", "prepare", "release", "destroy"}));
    EXPECT_EQ(bus_->node(port), 0u);
    EXPECT_EQ(pnp::lastStartStatus(), status::kInvalidDeviceState);
    EXPECT_TRUE(io::deviceInterfaces(kClass).empty());
}

TEST_F(IoManagerTest, OpenControlAndCloseGoThroughTheDriver)
{
    bus_->plug(mixer_);
    auto links = io::deviceInterfaces(kClass);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_NE(links[0].find(u"vid_3a71&pid_0018"), std::u16string::npos);
    takeLog();

    Caller caller{4242, 7, {}};
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(links[0], caller, file), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"create"}));

    uint32_t value = 41;
    uint32_t reply = 0;
    uint32_t bytes = 99;
    ASSERT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, caller), status::kSuccess);
    EXPECT_EQ(reply, 42u);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(gLastProcess, 4242u);
    EXPECT_EQ(takeLog(), (Log{"in caller context", "queue"}));

    ASSERT_EQ(io::deviceIoControl(file, kDirect, &value, 4, &reply, 8, &bytes, caller), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"in caller context"}));

    // An output buffer shorter than the handler's minimum.
    EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 2, &bytes, caller), status::kBufferTooSmall);
    EXPECT_EQ(bytes, 0u);
    takeLog();

    ASSERT_EQ(io::closeFile(file), status::kSuccess);
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close"}));
    EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, caller), status::kInvalidHandle);
    EXPECT_EQ(io::closeFile(file), status::kInvalidHandle);
}

TEST_F(IoManagerTest, RemovedDeviceIsDestroyedWhenItsLastFileCloses)
{
    uint32_t port = bus_->plug(mixer_);
    auto links = io::deviceInterfaces(kClass);
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(links[0], Caller{1, 1, {}}, file), status::kSuccess);
    takeLog();
    bus_->unplug(port);
    EXPECT_EQ(takeLog(), (Log{"d0 exit", "surprise removal", "release"}));
    EXPECT_TRUE(io::deviceInterfaces(kClass).empty());
    io::FileRef second;
    EXPECT_NE(io::openDeviceInterface(links[0], Caller{1, 1, {}}, second), status::kSuccess);
    uint32_t value = 1, reply = 0, bytes = 0;
    // The driver still answers until the handle is closed.
    EXPECT_EQ(io::deviceIoControl(file, kQueued, &value, 4, &reply, 4, &bytes, Caller{1, 1, {}}), status::kSuccess);
    takeLog();
    io::closeFile(file);
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close", "destroy"}));
}

TEST_F(IoManagerTest, OnlyBufferedControlCodesAreAccepted)
{
    bus_->plug(mixer_);
    io::FileRef file;
    ASSERT_EQ(io::openDeviceInterface(io::deviceInterfaces(kClass)[0], Caller{}, file), status::kSuccess);
    uint32_t value = 0, bytes = 0;
    EXPECT_EQ(io::deviceIoControl(file, kQueued | 2, &value, 4, &value, 4, &bytes, Caller{}),
              status::kNotImplemented);
    io::closeFile(file);
}

} // namespace
} // namespace kplat::testing
