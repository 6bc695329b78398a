#pragma once
// The USB host controller: the bus that simulated devices plug into. It
// enumerates each device (reporting it to the PnP manager, which starts the
// loaded driver on it), answers the standard requests from the device's
// descriptors, and runs the schedule on the kernel clock: every 1 ms frame it
// moves the isochronous packets of that frame (eight microframes) between
// the transfers' buffers and the device, polls the interrupt endpoints that
// have a continuous reader running, and completes transfers whose last frame
// is over, in start-frame order, at dispatch level. While a device is
// plugged in the bus also watches its port: a device that reports itself
// pulled (attached() false) is removed as a surprise removal, at passive
// level on the clock's thread.
//
// The bus never calls one device from two threads at once.

#include "platform/kernel/clock.h"
#include "platform/kernel/device.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb.h"
#include "platform/kernel/usb_device_backend.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace kplat::usb {

class HostController;

// One device on the bus (the bus's side of it). Internal to the USB stand-in.
class Port final : public BusDevice {
public:
    Port(HostController& controller, uint32_t number, DeviceBackend& backend);
    IoTarget& lowerTarget() override;
    std::u16string instancePath() const override;

    HostController& controller() const { return controller_; }
    bool drives(const DeviceBackend& backend) const;
    uint32_t number() const { return number_; }
    bool present() const { return present_.load(std::memory_order_acquire); }
    const DeviceDescriptor& deviceDescriptor() const { return deviceDescriptor_; }
    const std::vector<uint8_t>& configurationDescriptor() const { return configuration_; }
    bool highSpeed() const { return highSpeed_; }

    // Transfers.
    Status submit(Request& request);
    bool withdraw(Request& request);
    // Completes, as cancelled, every scheduled transfer on these pipes
    // (all pipes when empty). Passive level.
    void cancelPipes(std::span<Pipe* const> pipes);
    void setPipes(std::vector<Pipe*> pipes);
    void activateReader(Pipe& pipe, bool active);
    // Serialised access to the device for control requests.
    ControlResult control(const SetupPacket& setup, std::span<uint8_t> data, bool& gone);
    std::optional<std::u16string> string(uint8_t index, uint16_t langId, bool& gone);
    bool setConfiguration(uint8_t value);
    bool setInterface(uint8_t number, uint8_t alternate);

    // Controller side.
    void processFrame(uint64_t frame);
    void deliver();
    void unplugged();
    bool busy() const;
    // The device reported itself pulled; the controller removes it.
    bool detachPending() const { return detachPending_.load(std::memory_order_acquire); }

private:
    class StackTarget;
    void scheduleLocked(Request& request);
    void unscheduleLocked(Request& request);
    void finishDone(Request* head);

    HostController& controller_;
    uint32_t number_;
    DeviceBackend* backend_;
    std::atomic<bool> present_{true};
    std::atomic<bool> detachPending_{false};
    DeviceDescriptor deviceDescriptor_;
    std::vector<uint8_t> configuration_;
    bool highSpeed_;
    std::unique_ptr<StackTarget> stackTarget_;

    mutable std::mutex mutex_;       // schedule, pipes, readers, the device
    std::mutex deliveryMutex_;       // held while reader data is delivered
    Request* scheduleHead_ = nullptr;
    Request* scheduleTail_ = nullptr;
    Request* doneHead_ = nullptr;
    Request* doneTail_ = nullptr;
    std::vector<Pipe*> pipes_;
    std::vector<Pipe*> readers_;
    struct ReaderData {
        Pipe* pipe;
        size_t length;
    };
    std::vector<ReaderData> readerData_; // filled under mutex_, delivered after
    std::vector<ReaderData> delivering_;
};

class HostController {
public:
    // `firstFrame`: the frame number at the current time.
    explicit HostController(uint32_t firstFrame = 1000);
    ~HostController();
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Plugs a device in; the PnP manager starts its driver at once (passive
    // level). Returns the port number. A device pulled from its port is
    // forgotten by the bus: plugging it in again goes through here.
    uint32_t plug(DeviceBackend& device);
    // Surprise removal: transfers in flight complete with the device gone,
    // then the driver's removal callbacks run. The device object is no longer
    // called once this returns.
    void unplug(uint32_t port);
    pnp::NodeId node(uint32_t port) const;
    Device* device(uint32_t port) const;

    uint64_t currentFrame() const;
    // Time at which `frame` is over.
    Ticks frameEnd(uint64_t frame) const;

    // --- for ports ----------------------------------------------------------
    void ensureTicking();

private:
    static void onTick(ClockEntry& entry);
    static void onRemoval(ClockEntry& entry);
    void tick();

    struct Tick : ClockEntry {
        HostController* owner = nullptr;
    } tick_, removal_;
    Ticks startTicks_;
    uint64_t firstFrame_;
    mutable std::mutex mutex_;
    struct Slot {
        std::shared_ptr<Port> port;
        pnp::NodeId node = 0;
    };
    std::vector<Slot> ports_;
    std::vector<std::shared_ptr<Port>> scratch_; // reused by each tick
    uint32_t nextPort_ = 1;
    bool ticking_ = false;
    uint64_t lastProcessed_ = 0;
};

} // namespace kplat::usb
