#pragma once
// Framework driver, device, default queue and file objects.
//
// The PnP manager (io_manager.h) drives a device through its lifecycle in
// the framework's order: add → prepare hardware → D0 entry ↔ D0 exit →
// release hardware → destroy. Release hardware also follows a failed prepare
// or a failed D0 entry; a surprise removal runs D0 exit (if working),
// surprise-removal and release hardware at once and destroys the device when
// its last file is closed.

#include "platform/kernel/framework_object.h"
#include "platform/kernel/guid.h"
#include "platform/kernel/request.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kplat {

class Device;
class DeviceInit;
class Driver;
class FileObject;
class Queue;

// What the platform hands to a driver's entry point.
class DriverObject {
public:
    explicit DriverObject(std::u16string serviceName) : serviceName_(std::move(serviceName)) {}
    const std::u16string& serviceName() const { return serviceName_; }
    Driver* driver() const { return driver_; }

private:
    friend class Driver;
    std::u16string serviceName_;
    Driver* driver_ = nullptr;
};

struct DriverConfig {
    Status (*deviceAdd)(Driver& driver, DeviceInit& init) = nullptr;
    void (*unload)(Driver& driver) = nullptr;
};

class Driver final : public Object {
public:
    static Status create(DriverObject& object, const ObjectAttributes& attributes, const DriverConfig& config,
                         Driver** out);
    const DriverConfig& config() const { return config_; }
    DriverObject& driverObject() const { return object_; }

private:
    Driver(DriverObject& object, const ObjectAttributes& attributes, const DriverConfig& config);
    void teardown() override;
    DriverObject& object_;
    DriverConfig config_;
};

// The bus's side of a device (the physical device object it enumerated).
class BusDevice {
public:
    virtual ~BusDevice() = default;
    // Where the function driver's requests go: the bus's stack.
    virtual IoTarget& lowerTarget() = 0;
    // Instance path used in symbolic links, e.g. u"VID_3A71&PID_0018#1".
    virtual std::u16string instancePath() const = 0;
};

enum class PowerState : uint8_t { D0, D1, D2, D3, D3Final };

struct PnpPowerCallbacks {
    Status (*prepareHardware)(Device& device) = nullptr;
    Status (*releaseHardware)(Device& device) = nullptr;
    Status (*d0Entry)(Device& device, PowerState previous) = nullptr;
    Status (*d0Exit)(Device& device, PowerState target) = nullptr;
    void (*surpriseRemoval)(Device& device) = nullptr;
};

struct FileObjectConfig {
    void (*fileCreate)(Device& device, Request& request, FileObject& file) = nullptr;
    void (*fileClose)(FileObject& file) = nullptr;
    void (*fileCleanup)(FileObject& file) = nullptr;
};

enum class IoType : uint8_t { Buffered, Direct, Neither };

using IoInCallerContext = void (*)(Device& device, Request& request);

class DeviceInit {
public:
    void setPnpPowerCallbacks(const PnpPowerCallbacks& callbacks) { pnp_ = callbacks; }
    void setIoInCallerContextCallback(IoInCallerContext callback) { inCallerContext_ = callback; }
    void setFileObjectConfig(const FileObjectConfig& config, const ObjectAttributes& fileAttributes)
    {
        fileConfig_ = config;
        fileAttributes_ = fileAttributes;
    }
    void setIoType(IoType type) { ioType_ = type; }

    // --- for the PnP manager ----------------------------------------------
    DeviceInit(Driver& driver, std::shared_ptr<BusDevice> bus) : driver_(driver), bus_(std::move(bus)) {}
    Device* createdDevice() const { return created_; }

private:
    friend class Device;
    Driver& driver_;
    std::shared_ptr<BusDevice> bus_;
    PnpPowerCallbacks pnp_;
    IoInCallerContext inCallerContext_ = nullptr;
    FileObjectConfig fileConfig_;
    ObjectAttributes fileAttributes_;
    IoType ioType_ = IoType::Buffered;
    Device* created_ = nullptr;
};

struct PnpCapabilities {
    bool surpriseRemovalOk = false;
    uint32_t address = 0xFFFFFFFF;
    uint32_t uiNumber = 0xFFFFFFFF;
};

class Device final : public Object {
public:
    // Creates the device from its init (which may create one device only).
    static Status create(DeviceInit& init, const ObjectAttributes& attributes, Device** out);

    Driver& driver() const { return driver_; }
    // Registers a device interface of this class; it becomes visible (and can
    // be opened) once the device has started.
    Status createDeviceInterface(const Guid& interfaceClass, const char16_t* referenceString);
    void setPnpCapabilities(const PnpCapabilities& capabilities) { capabilities_ = capabilities; }
    const PnpCapabilities& pnpCapabilities() const { return capabilities_; }
    // The device's lower I/O target (the bus's stack).
    IoTarget& ioTarget() const { return bus_->lowerTarget(); }
    Queue* defaultQueue() const { return defaultQueue_; }
    // Hands an I/O request to the default queue.
    Status enqueueRequest(Request& request);
    IoType ioType() const { return ioType_; }

    // --- for the PnP and I/O managers and the buses --------------------------
    BusDevice& busDevice() const { return *bus_; }
    const PnpPowerCallbacks& pnpCallbacks() const { return pnp_; }
    IoInCallerContext inCallerContextCallback() const { return inCallerContext_; }
    const FileObjectConfig& fileConfig() const { return fileConfig_; }
    const ObjectAttributes& fileAttributes() const { return fileAttributes_; }
    const std::vector<std::u16string>& interfaceLinks() const { return links_; }
    void setDefaultQueue(Queue* queue) { defaultQueue_ = queue; }
    void addQueue(Queue* queue) { queues_.push_back(queue); }
    void removeQueue(Queue* queue);
    // Power-managed queues hold requests out of D0 and present them again in D0.
    void powerDownQueues();
    void powerUpQueues();
    // At removal every queue drops what it holds and refuses what comes.
    void purgeQueues();

private:
    Device(DeviceInit& init, const ObjectAttributes& attributes);
    void teardown() override;

    Driver& driver_;
    std::shared_ptr<BusDevice> bus_;
    PnpPowerCallbacks pnp_;
    IoInCallerContext inCallerContext_;
    FileObjectConfig fileConfig_;
    ObjectAttributes fileAttributes_;
    IoType ioType_;
    PnpCapabilities capabilities_;
    Queue* defaultQueue_ = nullptr;
    std::vector<Queue*> queues_;
    std::vector<std::u16string> links_;
};

enum class QueueDispatch : uint8_t { Parallel, Sequential, Manual };

struct QueueConfig {
    QueueDispatch dispatch = QueueDispatch::Parallel;
    bool defaultQueue = true;
    bool powerManaged = true;
    uint32_t presentedRequestLimit = 0; // 0 = unlimited
    void (*ioDeviceControl)(Queue& queue, Request& request, size_t outputLength, size_t inputLength,
                            uint32_t ioControlCode) = nullptr;
};

// A parallel queue presents each request to its handler at once, in the
// thread that queued it, at the level its execution level allows: a queue
// that inherits dispatch-level execution (the default) runs its handlers at
// dispatch level, as the framework may; only a queue declared (or inheriting)
// passive runs them at passive level.
//
// A power-managed queue holds the requests that arrive while its device is
// out of D0 and presents them, in arrival order, once the device is back in
// D0 (on the thread that brought it back). Leaving D0 waits for the handlers
// running at that moment to return. At removal any queue is purged: held
// requests complete with kCancelled and new ones are refused with
// kInvalidDeviceState (the caller completes them).
class Queue final : public Object {
public:
    static Status create(Device& device, const QueueConfig& config, const ObjectAttributes& attributes, Queue** out);
    Device& device() const { return device_; }
    // Presents an I/O request to the handler, or holds it.
    Status dispatch(Request& request);
    // Requests held until the device returns to D0 (for tests).
    size_t heldRequestCount() const;

    // --- for the PnP manager ----------------------------------------------
    void powerDown();
    void powerUp();
    void purge();

private:
    Queue(Device& device, const QueueConfig& config, const ObjectAttributes& attributes);
    void teardown() override;
    // Presents a request counted in presenting_ and uncounts it.
    void present(Request& request);
    // Completes the held requests with `status`.
    void dropHeld(Status status);

    Device& device_;
    QueueConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::deque<Request*> held_;
    size_t presenting_ = 0;
    bool powered_ = true;
    bool purged_ = false;
};

class FileObject final : public Object {
public:
    Device& device() const { return device_; }
    // The process that opened the file.
    const Caller& creator() const { return creator_; }

    // --- for the I/O manager ----------------------------------------------
    static FileObject* create(Device& device, const Caller& creator);

private:
    FileObject(Device& device, const ObjectAttributes& attributes, const Caller& creator);
    Device& device_;
    Caller creator_;
};

} // namespace kplat
