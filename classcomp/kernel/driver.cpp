#include "classcomp/kernel/driver.h"

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/asio_registry.h"
#include "classcomp/kernel/class_requests.h"
#include "classcomp/kernel/device_slots.h"
#include "classcomp/kernel/io_dispatch.h"
#include "classcomp/kernel/process_rundown.h"
#include "classcomp/kernel/stream_buffers.h"
#include "classcomp/kernel/stream_engine.h"
#include "classcomp/kernel/usb_config.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/memory.h"

#include <cstring>

namespace orvo::kernel {

using namespace kplat;

namespace {

// Allocates, maps and zeroes the status record (destroy frees it).
Status AllocateStatusRecord(DeviceContext* context)
{
    uint8_t* record = nullptr;
    if (failed(AllocateMappedBlock(asio_info::kSize, record, context->statusRecordMdl)))
        return status::kInsufficientResources;
    context->statusRecordMapping = record;
    context->asioInfo = record;
    AsioInfo(record).setClassId(context->classId);
    return status::kSuccess;
}

// Everything of device add after the device exists; a failure here leaves
// the device to the framework, which deletes it (and runs destroy).
Status CreateDeviceObjects(Device& device, DeviceContext* context)
{
    // A UUID that fails for good must not hang the add.
    Status s = status::kUnsuccessful;
    for (int attempt = 0; attempt < kUuidAttempts; ++attempt) {
        s = createUuid(context->interfaceGuid);
        if (succeeded(s) || s == status::kUuidLocalOnly)
            break;
    }
    if (failed(s))
        return s;

    QueueConfig queueConfig;
    queueConfig.dispatch = QueueDispatch::Parallel;
    queueConfig.defaultQueue = true;
    queueConfig.powerManaged = true;
    queueConfig.ioDeviceControl = &EvtIoDeviceControl;
    // The device runs at dispatch level, but the queue's handler makes
    // passive-only calls (control transfers for a rate change): the queue
    // declares passive execution, so the framework calls it at passive level.
    ObjectAttributes queueAttributes;
    queueAttributes.executionLevel = ExecutionLevel::Passive;
    Queue* queue = nullptr;
    s = Queue::create(device, queueConfig, queueAttributes, &queue);
    if (failed(s))
        return s;
    context->defaultQueue = queue;

    s = device.createDeviceInterface(context->interfaceGuid, nullptr);
    if (failed(s))
        return s;

    TimerConfig timerConfig;
    timerConfig.callback = &StreamTimerFunc;
    timerConfig.periodMs = 0;
    timerConfig.automaticSerialization = false;
    timerConfig.tolerableDelay = 0;
    ObjectAttributes timerAttributes;
    timerAttributes.executionLevel = ExecutionLevel::Passive;
    timerAttributes.parent = &device;
    s = Timer::create(timerConfig, timerAttributes, &context->streamTimer);
    if (failed(s))
        return s;

    ObjectAttributes lockAttributes;
    lockAttributes.parent = &device;
    s = SpinLock::create(lockAttributes, &context->streamLock);
    if (failed(s))
        return s;
    s = SpinLock::create(lockAttributes, &context->interruptDataLock);
    if (failed(s))
        return s;

    s = AllocateStatusRecord(context);
    if (failed(s))
        return status::kInsufficientResources;

    PnpCapabilities capabilities;
    capabilities.surpriseRemovalOk = true;
    capabilities.address = 0xFFFFFFFF;
    capabilities.uiNumber = 0xFFFFFFFF;
    device.setPnpCapabilities(capabilities);
    return status::kSuccess;
}

} // namespace

Status DriverEntry(DriverObject& driverObject, const std::u16string& registryPath)
{
    (void)registryPath;
    DriverConfig config;
    config.deviceAdd = &EvtDriverDeviceAdd;
    config.unload = &EvtDriverUnload;
    Driver* driver = nullptr;
    Status s = Driver::create(driverObject, ObjectAttributes{}, config, &driver);
    if (failed(s))
        return s;
    s = InitDeviceSlots(*driver);
    if (failed(s))
        return s;
    return InitProcessRundown(*driver);
}

void EvtDriverUnload(Driver& driver)
{
    (void)driver;
    ShutdownProcessRundown();
}

Status EvtDriverDeviceAdd(Driver& driver, DeviceInit& init)
{
    (void)driver;
    PnpPowerCallbacks pnp;
    pnp.d0Entry = &EvtDeviceD0Entry;
    pnp.d0Exit = &EvtDeviceD0Exit;
    pnp.prepareHardware = &EvtDevicePrepareHardware;
    pnp.releaseHardware = &EvtDeviceReleaseHardware;
    init.setPnpPowerCallbacks(pnp);

    init.setIoInCallerContextCallback(&EvtIoInCallerContext);

    FileObjectConfig fileConfig;
    fileConfig.fileCreate = &EvtDeviceFileCreate;
    fileConfig.fileClose = &EvtFileClose;
    fileConfig.fileCleanup = &EvtFileCleanup;
    ObjectAttributes fileAttributes = attributesWithContext<FileContext>();
    fileAttributes.executionLevel = ExecutionLevel::InheritFromParent;
    fileAttributes.synchronizationScope = SynchronizationScope::InheritFromParent;
    init.setFileObjectConfig(fileConfig, fileAttributes);

    init.setIoType(IoType::Direct);

    ObjectAttributes attributes = attributesWithContext<DeviceContext>();
    attributes.destroy = &EvtDeviceDestroy;
    attributes.executionLevel = ExecutionLevel::Dispatch;
    attributes.synchronizationScope = SynchronizationScope::None;

    // Every device must own a slot: with all of them taken, no device.
    uint32_t slot = TakeFreeSlot();
    if (slot == kNoSlot)
        return status::kInsufficientResources;

    Device* device = nullptr;
    Status s = Device::create(init, attributes, &device);
    if (failed(s)) {
        FreeSlot(slot);
        return s;
    }

    DeviceContext* context = GetDeviceContext(*device);
    std::memset(static_cast<void*>(context), 0, sizeof *context); // trivially copyable: all zero is its empty state
    context->classId = ClassIdForSlot(slot);
    context->slotIndex = slot;
    context->device = device;

    s = CreateDeviceObjects(*device, context);
    if (failed(s)) {
        // The framework deletes the device; its slot goes back now.
        FreeSlot(slot);
        return s;
    }
    return status::kSuccess;
}

Status EvtDeviceD0Entry(Device& device, PowerState previous)
{
    (void)previous;
    DeviceContext* context = GetDeviceContext(device);
    if (context->recordPipe)
        context->recordPipe->reset();
    if (context->playbackPipe)
        context->playbackPipe->reset();
    setTimerResolution(kTimerResolution, true);
    if (context->interruptPipe && succeeded(context->interruptPipe->ioTarget().start()))
        context->interruptReaderStarted = 1;
    WriteAsioRegistryEntries(context);
    ReadSampleRate(context);
    {
        SpinLockGuard guard(*context->streamLock);
        context->inD0 = 1;
    }
    return status::kSuccess;
}

Status EvtDeviceD0Exit(Device& device, PowerState target)
{
    (void)target;
    DeviceContext* context = GetDeviceContext(device);
    if (context->interruptReaderStarted) {
        context->interruptPipe->ioTarget().stop(IoTarget::StopAction::CancelSentIo);
        context->interruptReaderStarted = 0;
    }
    {
        SpinLockGuard guard(*context->streamLock);
        context->inD0 = 0;
        SetStreamingEnabled(context, false);
    }
    setTimerResolution(kTimerResolution, false);
    DeleteAsioRegistryEntries(context);
    return status::kSuccess;
}

Status EvtDeviceReleaseHardware(Device& device)
{
    DeviceContext* context = GetDeviceContext(device);
    FreeSlot(context->slotIndex);
    if (!context->usbDevice)
        return status::kSuccess;
    {
        SpinLockGuard guard(*context->streamLock);
        SetStreamingEnabled(context, false);
        AsioInfo(context->asioInfo).setRecordDead(1);
        context->releasing = 1;
    }
    // Let outstanding transfers drain, and a stream-timer callback that is
    // still running finish, before the target stops under them.
    for (uint32_t waited = 0; waited < kReleaseWaitMs; waited += kReleaseWaitStepMs) {
        bool idle;
        {
            SpinLockGuard guard(*context->streamLock);
            idle = context->inputsInFlight == 0 && context->outputsInFlight == 0 && !context->timerBusy;
        }
        if (idle)
            break;
        context->releaseTimer.set(-static_cast<int64_t>(kReleaseWaitStepMs) * 10'000);
        context->releaseTimer.wait();
    }
    context->usbDevice->ioTarget().stop(IoTarget::StopAction::CancelSentIo);
    usb::SelectConfigParams deconfigure;
    deconfigure.type = usb::SelectConfigParams::Type::Deconfigure;
    return context->usbDevice->selectConfig(deconfigure);
}

void EvtDeviceDestroy(Object& object)
{
    auto& device = static_cast<Device&>(object);
    DeviceContext* context = GetDeviceContext(device);
    // No other callback runs any more.
    SetStreamingEnabled(context, false);
    FreeMappedBlock(context->recordRing, context->recordRingMdl);
    context->asioInfo = nullptr;
    FreeMappedBlock(context->statusRecordMapping, context->statusRecordMdl);
    if (context->transferPool) {
        freePool(context->transferPool);
        context->transferPool = nullptr;
    }
    FreeMappedBlock(context->clippedRing, context->clippedRingMdl);
    FreeMappedBlock(context->unclippedRing, context->unclippedRingMdl);
    if (context->interfacePairs) {
        freePool(context->interfacePairs);
        context->interfacePairs = nullptr;
    }
}

} // namespace orvo::kernel
