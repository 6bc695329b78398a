#pragma once
// A small test driver over the I/O and PnP managers: it logs every callback
// it gets; a queued or direct request adds one to the u32 it is sent. Its
// queue inherits the device's execution level, dispatch unless a test sets
// gQueueLevel to passive before the device is plugged in.

#include "kernel_fixture.h"
#include "test_usb_device.h"

#include "platform/kernel/device.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/memory.h"
#include "platform/kernel/usb_bus.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace kplat::testing {

inline const Guid kClass{0x11112222, 0x3333, 0x4444, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr uint32_t kQueued = controlCode(0x22, 1, kMethodBuffered, kFileAnyAccess);
inline constexpr uint32_t kDirect = controlCode(0x22, 2, kMethodBuffered, kFileAnyAccess);

inline std::vector<std::string> gLog;
inline Status gPrepare = status::kSuccess;
inline uint32_t gLastProcess = 0;
// The level the queue handler last ran at, and its declared execution level.
inline Level gHandlerLevel = Level::Passive;
inline ExecutionLevel gQueueLevel = ExecutionLevel::InheritFromParent;
// Set when a handler's paged-pool allocation was reported as a violation.
inline bool gPagedPoolRefused = false;

struct FileCtx {
    uint32_t opened;
};

inline void handle(Request& request)
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

inline Status add(Driver&, DeviceInit& init)
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
        gHandlerLevel = currentLevel();
        // A passive-only call: allowed only where the handler runs at passive level.
        try {
            freePool(allocatePool(PoolType::Paged, 16, poolTag("test")));
        } catch (const StrictnessViolation&) {
            gPagedPoolRefused = true;
        }
        handle(request);
    };
    ObjectAttributes queueAttributes;
    queueAttributes.executionLevel = gQueueLevel;
    Queue* q = nullptr;
    s = Queue::create(*device, queue, queueAttributes, &q);
    if (failed(s))
        return s;
    return device->createDeviceInterface(kClass, nullptr);
}

inline Status entry(DriverObject& object, const std::u16string&)
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
        gQueueLevel = ExecutionLevel::InheritFromParent;
        gPagedPoolRefused = false;
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

} // namespace kplat::testing
