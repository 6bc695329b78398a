#include "platform/kernel/usb_bus.h"

#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kplat::usb {

namespace {

int32_t usbdFromDevice(DeviceStatus s)
{
    switch (s) {
    case DeviceStatus::Ok: return usbd::kSuccess;
    case DeviceStatus::Stall: return usbd::kStallPid;
    case DeviceStatus::NoResponse: return usbd::kDeviceNotResponding;
    case DeviceStatus::Error: return usbd::kCrc;
    }
    return usbd::kXactError;
}

} // namespace

// The device's stack as its function driver's lower target.
class Port::StackTarget final : public IoTarget {
public:
    explicit StackTarget(Port& port) : port_(port) {}

protected:
    Status submit(Request& request) override { return port_.submit(request); }
    bool withdraw(Request& request) override { return port_.withdraw(request); }

private:
    Port& port_;
};

Port::Port(HostController& controller, uint32_t number, DeviceBackend& backend)
    : controller_(controller),
      number_(number),
      backend_(&backend),
      deviceDescriptor_(DeviceDescriptor::parse(backend.deviceDescriptor())),
      highSpeed_(backend.highSpeed()),
      stackTarget_(std::make_unique<StackTarget>(*this))
{
    auto config = backend.configurationDescriptor();
    configuration_.assign(config.begin(), config.end());
    if (configuration_.size() >= 4) {
        size_t total = static_cast<size_t>(configuration_[2] | configuration_[3] << 8);
        if (total < configuration_.size())
            configuration_.resize(total);
    }
}

IoTarget& Port::lowerTarget() { return *stackTarget_; }

bool Port::drives(const DeviceBackend& backend) const
{
    std::lock_guard lock(mutex_);
    return backend_ == &backend;
}

std::u16string Port::instancePath() const
{
    char text[48];
    std::snprintf(text, sizeof text, "VID_%04X&PID_%04X#%u", deviceDescriptor_.idVendor, deviceDescriptor_.idProduct,
                  number_);
    return std::u16string(text, text + std::strlen(text));
}

void Port::scheduleLocked(Request& request)
{
    // Sorted by start frame; equal frames keep their order. New transfers
    // usually go last.
    Request* after = scheduleTail_;
    while (after && after->scheduleKey > request.scheduleKey)
        after = after->schedulePrev;
    request.schedulePrev = after;
    request.scheduleNext = after ? after->scheduleNext : scheduleHead_;
    if (request.scheduleNext)
        request.scheduleNext->schedulePrev = &request;
    else
        scheduleTail_ = &request;
    if (after)
        after->scheduleNext = &request;
    else
        scheduleHead_ = &request;
    request.onSchedule = true;
}

void Port::unscheduleLocked(Request& request)
{
    if (request.schedulePrev)
        request.schedulePrev->scheduleNext = request.scheduleNext;
    else
        scheduleHead_ = request.scheduleNext;
    if (request.scheduleNext)
        request.scheduleNext->schedulePrev = request.schedulePrev;
    else
        scheduleTail_ = request.schedulePrev;
    request.schedulePrev = request.scheduleNext = nullptr;
    request.onSchedule = false;
}

Status Port::submit(Request& request)
{
    auto* urb = static_cast<IsochUrb*>(request.urb());
    if (request.parameters().kind != RequestKind::Urb || !urb)
        return status::kInvalidDeviceRequest;
    if (urb->function != kUrbFunctionIsochTransfer)
        return status::kNotImplemented;
    uint32_t packets = urb->numberOfPackets;
    if (packets == 0 || packets % kPacketsPerFrame != 0 || packets > 1024 ||
        urb->length < isochUrbSize(packets) || isochUrbSize(packets) > request.urbCapacity())
        return status::kInvalidParameter;
    if (!urb->transferBuffer || urb->transferBufferLength == 0)
        return status::kInvalidParameter;
    {
        std::lock_guard lock(mutex_);
        if (!present_)
            return status::kNoSuchDevice;
        Pipe* pipe = urb->pipe;
        if (std::find(pipes_.begin(), pipes_.end(), pipe) == pipes_.end())
            return status::kInvalidParameter;
        const PipeInformation& info = pipe->information();
        if (info.pipeType != PipeType::Isochronous)
            return status::kInvalidParameter;
        bool in = (urb->transferFlags & kTransferDirectionIn) != 0;
        if (in != ((info.endpointAddress & 0x80) != 0))
            return status::kInvalidParameter;
        // Packet layout: IN packets lie at ascending offsets, OUT packets
        // follow one another without gaps; all inside the buffer.
        const IsochPacket* p = urb->packets();
        uint32_t end = 0;
        for (uint32_t i = 0; i < packets; ++i) {
            if (p[i].offset < end || p[i].offset > urb->transferBufferLength ||
                (in && p[i].offset == urb->transferBufferLength))
                return status::kInvalidParameter;
            if (!in) {
                if (i > 0 && p[i].offset != end)
                    return status::kInvalidParameter;
                if (uint64_t(p[i].offset) + p[i].length > urb->transferBufferLength)
                    return status::kInvalidParameter;
                end = p[i].offset + p[i].length;
            } else {
                end = p[i].offset;
            }
        }
        uint64_t frames = packets / kPacketsPerFrame;
        uint64_t current = controller_.currentFrame();
        int64_t delta;
        if (urb->transferFlags & kStartIsoTransferAsap) {
            uint64_t next = current + 1;
            for (Request* r = scheduleHead_; r; r = r->scheduleNext)
                if (static_cast<IsochUrb*>(r->urb())->pipe == pipe && r->scheduleFailure == 0)
                    next = std::max<uint64_t>(next, r->scheduleKey + r->scheduleFrames);
            urb->startFrame = static_cast<uint32_t>(next);
            delta = static_cast<int64_t>(next - current);
        } else {
            delta = static_cast<int32_t>(urb->startFrame - static_cast<uint32_t>(current));
        }
        uint64_t start = static_cast<uint64_t>(static_cast<int64_t>(current) + delta);
        request.scheduleFailure = 0;
        request.scheduleUsbdFailure = 0;
        request.scheduleFrames = static_cast<uint32_t>(frames);
        bool bad = delta < 0 || delta > int64_t(kSchedulingWindowFrames);
        // Two transfers of one endpoint cannot share a frame.
        for (Request* r = scheduleHead_; r && !bad; r = r->scheduleNext) {
            if (r->scheduleFailure || static_cast<IsochUrb*>(r->urb())->pipe != pipe)
                continue;
            bad = start < r->scheduleKey + r->scheduleFrames && r->scheduleKey < start + frames;
        }
        if (bad) {
            request.scheduleFailure = status::kUnsuccessful;
            request.scheduleUsbdFailure = usbd::kBadStartFrame;
            request.scheduleKey = 0; // completes first, at the next frame
        } else {
            request.scheduleKey = start;
        }
        urb->status = 0;
        urb->errorCount = 0;
        scheduleLocked(request);
    }
    controller_.ensureTicking();
    return status::kSuccess;
}

bool Port::withdraw(Request& request)
{
    std::lock_guard lock(mutex_);
    if (!request.onSchedule)
        return false;
    unscheduleLocked(request);
    return true;
}

void Port::cancelPipes(std::span<Pipe* const> pipes)
{
    Request* head = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (Request* r = scheduleHead_; r;) {
            Request* next = r->scheduleNext;
            Pipe* pipe = static_cast<IsochUrb*>(r->urb())->pipe;
            if (pipes.empty() || std::find(pipes.begin(), pipes.end(), pipe) != pipes.end()) {
                unscheduleLocked(*r);
                r->doneNext = head;
                head = r;
            }
            r = next;
        }
    }
    while (head) {
        Request* r = head;
        head = r->doneNext;
        static_cast<IsochUrb*>(r->urb())->status = usbd::kCancelled;
        r->target()->finish(*r, status::kCancelled, 0, usbd::kCancelled);
    }
}

void Port::setPipes(std::vector<Pipe*> pipes)
{
    std::lock_guard delivery(deliveryMutex_);
    std::lock_guard lock(mutex_);
    pipes_ = std::move(pipes);
    std::erase_if(readers_, [&](Pipe* p) { return std::find(pipes_.begin(), pipes_.end(), p) == pipes_.end(); });
    readerData_.clear();
}

void Port::activateReader(Pipe& pipe, bool active)
{
    {
        std::lock_guard delivery(deliveryMutex_);
        std::lock_guard lock(mutex_);
        auto it = std::find(readers_.begin(), readers_.end(), &pipe);
        if (active && it == readers_.end()) {
            readers_.push_back(&pipe);
            readerData_.reserve(readers_.size());
            delivering_.reserve(readers_.size());
        } else if (!active && it != readers_.end()) {
            readers_.erase(it);
            std::erase_if(readerData_, [&](const ReaderData& d) { return d.pipe == &pipe; });
        }
    }
    if (active)
        controller_.ensureTicking();
}

ControlResult Port::control(const SetupPacket& setup, std::span<uint8_t> data, bool& gone)
{
    std::lock_guard lock(mutex_);
    if (!present_ || !backend_->attached()) {
        gone = true;
        return {DeviceStatus::NoResponse, 0};
    }
    return backend_->controlTransfer(setup, data);
}

std::optional<std::u16string> Port::string(uint8_t index, uint16_t langId, bool& gone)
{
    std::lock_guard lock(mutex_);
    if (!present_ || !backend_->attached()) {
        gone = true;
        return std::nullopt;
    }
    return backend_->stringDescriptor(index, langId);
}

bool Port::setConfiguration(uint8_t value)
{
    std::lock_guard lock(mutex_);
    if (!present_)
        return false;
    backend_->setConfiguration(value);
    return true;
}

bool Port::setInterface(uint8_t number, uint8_t alternate)
{
    std::lock_guard lock(mutex_);
    if (!present_)
        return false;
    backend_->setInterface(number, alternate);
    return true;
}

bool Port::busy() const
{
    // A present device keeps the frame clock running: its port is watched.
    return present_.load(std::memory_order_acquire);
}

void Port::processFrame(uint64_t frame)
{
    std::lock_guard lock(mutex_);
    if (!present_ || detachPending_)
        return;
    if (!backend_->attached()) {
        detachPending_.store(true, std::memory_order_release);
        return;
    }
    for (Request* r = scheduleHead_; r;) {
        Request* next = r->scheduleNext;
        bool done = r->scheduleFailure != 0;
        if (!done) {
            if (r->scheduleKey > frame)
                break;
            auto* urb = static_cast<IsochUrb*>(r->urb());
            const PipeInformation& info = urb->pipe->information();
            uint8_t endpoint = info.endpointAddress;
            auto* buffer = static_cast<uint8_t*>(urb->transferBuffer);
            IsochPacket* packets = urb->packets();
            uint32_t n = urb->numberOfPackets;
            uint32_t first = static_cast<uint32_t>(frame - r->scheduleKey) * kPacketsPerFrame;
            bool in = (urb->transferFlags & kTransferDirectionIn) != 0;
            for (uint32_t k = 0; k < kPacketsPerFrame && first + k < n; ++k) {
                uint32_t i = first + k;
                IsochPacket& packet = packets[i];
                uint64_t microframe = frame * kPacketsPerFrame + k;
                if (in) {
                    uint32_t limit = (i + 1 < n ? packets[i + 1].offset : urb->transferBufferLength) - packet.offset;
                    uint32_t room = std::min(limit, info.maximumPacketSize);
                    IsochPacketResult result =
                        backend_->isochIn(endpoint, microframe, std::span<uint8_t>(buffer + packet.offset, room));
                    packet.length = std::min(result.length, room);
                    packet.status = usbdFromDevice(result.status);
                } else if (packet.length > info.maximumPacketSize) {
                    packet.status = usbd::kBabbleDetected;
                } else {
                    IsochPacketResult result = backend_->isochOut(
                        endpoint, microframe, std::span<const uint8_t>(buffer + packet.offset, packet.length));
                    packet.status = usbdFromDevice(result.status);
                }
            }
            done = frame + 1 >= r->scheduleKey + r->scheduleFrames;
        }
        if (done) {
            unscheduleLocked(*r);
            r->doneNext = nullptr;
            if (doneTail_)
                doneTail_->doneNext = r;
            else
                doneHead_ = r;
            doneTail_ = r;
        }
        r = next;
    }
    for (Pipe* pipe : readers_) {
        auto message = backend_->interruptIn(pipe->information().endpointAddress);
        if (!message)
            continue;
        auto& buffer = pipe->readerBuffer();
        const auto& reader = pipe->reader();
        size_t length = std::min(message->size(), reader.transferLength);
        if (length > 0) // an empty message has no bytes (and may have no storage)
            std::memcpy(buffer.data() + reader.headerLength, message->data(), length);
        readerData_.push_back({pipe, message->size() > reader.transferLength ? SIZE_MAX : length});
    }
}

void Port::finishDone(Request* head)
{
    while (head) {
        Request* r = head;
        head = r->doneNext;
        auto* urb = static_cast<IsochUrb*>(r->urb());
        Status s = status::kSuccess;
        uint64_t bytes = 0;
        if (r->scheduleFailure) {
            s = r->scheduleFailure;
            urb->status = r->scheduleUsbdFailure;
            for (uint32_t i = 0; i < urb->numberOfPackets; ++i)
                urb->packets()[i].status = usbd::kNotAccessed;
        } else if (consumeFault(FaultKind::IsochTransfer)) {
            s = status::kUnsuccessful;
            urb->status = usbd::kIsochRequestFailed;
            for (uint32_t i = 0; i < urb->numberOfPackets; ++i) {
                urb->packets()[i].status = usbd::kXactError;
                if (urb->transferFlags & kTransferDirectionIn)
                    urb->packets()[i].length = 0;
            }
            urb->errorCount = urb->numberOfPackets;
        } else {
            uint32_t errors = 0;
            for (uint32_t i = 0; i < urb->numberOfPackets; ++i) {
                const IsochPacket& packet = urb->packets()[i];
                if (usbd::isError(packet.status))
                    ++errors;
                else
                    bytes += packet.length;
            }
            urb->errorCount = errors;
            if (errors == urb->numberOfPackets) {
                s = status::kUnsuccessful;
                urb->status = usbd::kIsochRequestFailed;
            } else {
                urb->status = usbd::kSuccess;
            }
        }
        r->target()->finish(*r, s, bytes, urb->status);
    }
}

void Port::deliver()
{
    Request* done;
    {
        std::lock_guard lock(mutex_);
        done = doneHead_;
        doneHead_ = doneTail_ = nullptr;
    }
    finishDone(done);
    std::lock_guard delivery(deliveryMutex_);
    {
        std::lock_guard lock(mutex_);
        if (readerData_.empty())
            return;
        delivering_.swap(readerData_);
    }
    ScopedLevel level(Level::Dispatch);
    for (const ReaderData& d : delivering_) {
        const auto& reader = d.pipe->reader();
        if (d.length == SIZE_MAX) {
            if (reader.readersFailed)
                reader.readersFailed(*d.pipe, status::kUnsuccessful, usbd::kBabbleDetected, reader.context);
            continue;
        }
        if (consumeFault(FaultKind::IsochTransfer) && reader.readersFailed) {
            reader.readersFailed(*d.pipe, status::kUnsuccessful, usbd::kXactError, reader.context);
            continue;
        }
        reader.readersComplete(*d.pipe, d.pipe->readerBuffer().data() + reader.headerLength, d.length,
                               reader.context);
    }
    delivering_.clear();
}

void Port::unplugged()
{
    Request* head = nullptr;
    Request* tail = nullptr;
    {
        std::lock_guard delivery(deliveryMutex_);
        std::lock_guard lock(mutex_);
        present_.store(false, std::memory_order_release);
        backend_ = nullptr;
        readers_.clear();
        readerData_.clear();
        for (Request* r = scheduleHead_; r;) {
            Request* next = r->scheduleNext;
            unscheduleLocked(*r);
            r->doneNext = nullptr;
            (tail ? tail->doneNext : head) = r;
            tail = r;
            r = next;
        }
        if (doneTail_) {
            doneTail_->doneNext = head;
            head = doneHead_;
            doneHead_ = doneTail_ = nullptr;
        }
    }
    stackTarget_->markGone();
    ScopedLevel level(Level::Dispatch);
    while (head) {
        Request* r = head;
        head = r->doneNext;
        static_cast<IsochUrb*>(r->urb())->status = usbd::kDeviceGone;
        r->target()->finish(*r, status::kNoSuchDevice, 0, usbd::kDeviceGone);
    }
}

// --- host controller -------------------------------------------------------------

HostController::HostController(uint32_t firstFrame)
    : startTicks_(kernelClock().now() / kTicksPerMs * kTicksPerMs), firstFrame_(firstFrame)
{
    tick_.owner = this;
    tick_.setFire(&HostController::onTick);
    removal_.owner = this;
    removal_.setFire(&HostController::onRemoval);
}

HostController::~HostController()
{
    std::vector<uint32_t> numbers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& slot : ports_)
            numbers.push_back(slot.port->number());
    }
    for (uint32_t n : numbers)
        unplug(n);
    kernelClock().cancelAndWait(removal_);
    kernelClock().cancelAndWait(tick_);
}

uint64_t HostController::currentFrame() const { return firstFrame_ + (kernelClock().now() - startTicks_) / kTicksPerMs; }

Ticks HostController::frameEnd(uint64_t frame) const { return startTicks_ + (frame - firstFrame_ + 1) * kTicksPerMs; }

uint32_t HostController::plug(DeviceBackend& device)
{
    requirePassive("plugging a device");
    std::shared_ptr<Port> port;
    {
        std::lock_guard lock(mutex_);
        for (const auto& slot : ports_)
            if (slot.port->drives(device))
                violation("plugging a device that is already plugged in");
        port = std::make_shared<Port>(*this, nextPort_++, device);
        ports_.push_back({port, 0});
    }
    pnp::NodeId node = pnp::deviceArrived(port);
    {
        std::lock_guard lock(mutex_);
        for (auto& slot : ports_)
            if (slot.port == port)
                slot.node = node;
    }
    ensureTicking();
    return port->number();
}

void HostController::unplug(uint32_t number)
{
    requirePassive("unplugging a device");
    std::shared_ptr<Port> port;
    pnp::NodeId node = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(ports_.begin(), ports_.end(), [&](const Slot& s) { return s.port->number() == number; });
        if (it == ports_.end())
            return;
        port = it->port;
        node = it->node;
        ports_.erase(it);
    }
    port->unplugged();
    if (node)
        pnp::surpriseRemoved(node);
}

pnp::NodeId HostController::node(uint32_t number) const
{
    std::lock_guard lock(mutex_);
    for (const auto& slot : ports_)
        if (slot.port->number() == number)
            return slot.node;
    return 0;
}

Device* HostController::device(uint32_t number) const { return pnp::deviceOf(node(number)); }

void HostController::ensureTicking()
{
    std::lock_guard lock(mutex_);
    if (ticking_)
        return;
    ticking_ = true;
    uint64_t current = currentFrame();
    lastProcessed_ = current - 1;
    kernelClock().schedule(tick_, frameEnd(current));
}

void HostController::onTick(ClockEntry& entry) { static_cast<Tick&>(entry).owner->tick(); }

void HostController::onRemoval(ClockEntry& entry)
{
    HostController& controller = *static_cast<Tick&>(entry).owner;
    std::vector<uint32_t> pulled;
    {
        std::lock_guard lock(controller.mutex_);
        for (const auto& slot : controller.ports_)
            if (slot.port->detachPending())
                pulled.push_back(slot.port->number());
    }
    for (uint32_t number : pulled)
        controller.unplug(number);
}

void HostController::tick()
{
    uint64_t last;
    uint64_t first;
    std::vector<std::shared_ptr<Port>>& keep = scratch_;
    {
        std::lock_guard lock(mutex_);
        for (const auto& slot : ports_)
            keep.push_back(slot.port);
        last = currentFrame() - 1;
        first = lastProcessed_ + 1;
    }
    for (uint64_t frame = first; frame <= last; ++frame) {
        for (const auto& port : keep) {
            port->processFrame(frame);
            port->deliver();
        }
    }
    bool pulled = false;
    for (const auto& port : keep)
        pulled = pulled || port->detachPending();
    keep.clear();
    if (pulled)
        kernelClock().schedule(removal_, kernelClock().now());
    std::lock_guard lock(mutex_);
    lastProcessed_ = std::max(lastProcessed_, last);
    bool busy = false;
    for (const auto& slot : ports_)
        busy = busy || slot.port->busy();
    if (busy)
        kernelClock().schedule(tick_, frameEnd(currentFrame()));
    else
        ticking_ = false;
}

} // namespace kplat::usb
