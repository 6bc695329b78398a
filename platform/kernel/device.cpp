#include "platform/kernel/device.h"

#include "platform/kernel/exception.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/level.h"

#include <optional>

namespace kplat {

Driver::Driver(DriverObject& object, const ObjectAttributes& attributes, const DriverConfig& config)
    : Object(attributes, nullptr), object_(object), config_(config)
{
}

Status Driver::create(DriverObject& object, const ObjectAttributes& attributes, const DriverConfig& config,
                      Driver** out)
{
    if (out)
        *out = nullptr;
    if (object.driver_)
        violation("creating a second framework driver for one driver object");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* driver = new Driver(object, attributes, config);
    if (!driver->valid()) {
        driver->deleteObject();
        return status::kInsufficientResources;
    }
    object.driver_ = driver;
    if (out)
        *out = driver;
    return status::kSuccess;
}

void Driver::teardown() { object_.driver_ = nullptr; }

Device::Device(DeviceInit& init, const ObjectAttributes& attributes)
    : Object(attributes, &init.driver_),
      driver_(init.driver_),
      bus_(init.bus_),
      pnp_(init.pnp_),
      inCallerContext_(init.inCallerContext_),
      fileConfig_(init.fileConfig_),
      fileAttributes_(init.fileAttributes_),
      ioType_(init.ioType_)
{
}

Status Device::create(DeviceInit& init, const ObjectAttributes& attributes, Device** out)
{
    *out = nullptr;
    requirePassive("creating a device");
    if (init.created_)
        violation("creating a second device from one device init");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* device = new Device(init, attributes);
    if (!device->valid()) {
        device->deleteObject();
        return status::kInsufficientResources;
    }
    init.created_ = device;
    *out = device;
    return status::kSuccess;
}

Status Device::createDeviceInterface(const Guid& interfaceClass, const char16_t* referenceString)
{
    requirePassive("creating a device interface");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    std::u16string link = io::registerDeviceInterface(*this, interfaceClass, referenceString);
    links_.push_back(link);
    return status::kSuccess;
}

Status Device::enqueueRequest(Request& request)
{
    if (!defaultQueue_)
        return status::kInvalidDeviceState;
    return defaultQueue_->dispatch(request);
}

void Device::removeQueue(Queue* queue) { std::erase(queues_, queue); }

void Device::powerDownQueues()
{
    for (Queue* queue : queues_)
        queue->powerDown();
}

void Device::powerUpQueues()
{
    for (Queue* queue : queues_)
        queue->powerUp();
}

void Device::purgeQueues()
{
    for (Queue* queue : queues_)
        queue->purge();
}

void Device::teardown()
{
    for (const auto& link : links_)
        io::unregisterDeviceInterface(link);
    links_.clear();
}

Queue::Queue(Device& device, const QueueConfig& config, const ObjectAttributes& attributes)
    : Object(attributes, &device), device_(device), config_(config)
{
}

Status Queue::create(Device& device, const QueueConfig& config, const ObjectAttributes& attributes, Queue** out)
{
    *out = nullptr;
    if (config.dispatch != QueueDispatch::Parallel)
        return status::kNotImplemented;
    if (config.defaultQueue && device.defaultQueue())
        violation("a second default queue for one device");
    if (consumeFault(FaultKind::Allocation))
        return status::kInsufficientResources;
    auto* queue = new Queue(device, config, attributes);
    if (!queue->valid()) {
        queue->deleteObject();
        return status::kInsufficientResources;
    }
    if (config.defaultQueue)
        device.setDefaultQueue(queue);
    device.addQueue(queue);
    *out = queue;
    return status::kSuccess;
}

Status Queue::dispatch(Request& request)
{
    {
        std::lock_guard lock(mutex_);
        if (purged_)
            return status::kInvalidDeviceState;
        if (config_.powerManaged && !powered_) {
            held_.push_back(&request);
            return status::kSuccess;
        }
        ++presenting_;
    }
    present(request);
    return status::kSuccess;
}

void Queue::present(Request& request)
{
    // Counted as presented until the handler returns, also by a violation.
    struct Presenting {
        Queue& queue;
        ~Presenting()
        {
            std::lock_guard lock(queue.mutex_);
            if (--queue.presenting_ == 0)
                queue.idle_.notify_all();
        }
    } presenting{*this};
    // Dispatch-level execution lets the framework call from dispatch level:
    // the handler has to cope with it.
    std::optional<ScopedLevel> level;
    if (executionLevel() != ExecutionLevel::Passive)
        level.emplace(Level::Dispatch);
    RequestParameters p = request.parameters();
    runDriverCallback("the queue's I/O handler", [&] {
        if (p.kind == RequestKind::DeviceControl && config_.ioDeviceControl)
            config_.ioDeviceControl(*this, request, p.outputBufferLength, p.inputBufferLength, p.ioControlCode);
        else
            request.complete(status::kInvalidDeviceRequest);
    });
}

size_t Queue::heldRequestCount() const
{
    std::lock_guard lock(mutex_);
    return held_.size();
}

void Queue::powerDown()
{
    requirePassive("stopping a queue");
    if (!config_.powerManaged)
        return;
    std::unique_lock lock(mutex_);
    powered_ = false;
    idle_.wait(lock, [&] { return presenting_ == 0; });
}

void Queue::powerUp()
{
    requirePassive("starting a queue");
    if (!config_.powerManaged)
        return;
    for (;;) {
        Request* request;
        {
            std::lock_guard lock(mutex_);
            if (held_.empty() || purged_) {
                powered_ = !purged_;
                return;
            }
            request = held_.front();
            held_.pop_front();
            ++presenting_;
        }
        present(*request);
    }
}

void Queue::purge()
{
    requirePassive("purging a queue");
    {
        std::unique_lock lock(mutex_);
        purged_ = true;
        idle_.wait(lock, [&] { return presenting_ == 0; });
    }
    dropHeld(status::kCancelled);
}

void Queue::dropHeld(Status completion)
{
    std::deque<Request*> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(held_);
    }
    for (Request* request : dropped)
        request->complete(completion);
}

void Queue::teardown()
{
    dropHeld(status::kCancelled);
    device_.removeQueue(this);
    if (device_.defaultQueue() == this)
        device_.setDefaultQueue(nullptr);
}

FileObject::FileObject(Device& device, const ObjectAttributes& attributes, const Caller& creator)
    : Object(attributes, &device), device_(device), creator_(creator)
{
}

FileObject* FileObject::create(Device& device, const Caller& creator)
{
    ObjectAttributes attributes = device.fileAttributes();
    attributes.parent = &device;
    auto* file = new FileObject(device, attributes, creator);
    if (!file->valid()) {
        file->deleteObject();
        return nullptr;
    }
    return file;
}

} // namespace kplat
