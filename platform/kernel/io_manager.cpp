#include "platform/kernel/io_manager.h"

#include "platform/kernel/exception.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/level.h"
#include "platform/kernel/process_notify.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

namespace kplat {

namespace {

struct InterfaceEntry {
    std::u16string link;
    std::u16string key; // lower case, for matching
    Guid interfaceClass;
    Device* device = nullptr;
    bool enabled = false;
};

enum class NodeState : uint8_t { Working, LowPower, Removed };

struct Node {
    std::shared_ptr<BusDevice> bus;
    Device* device = nullptr;
    NodeState state = NodeState::Working;
    size_t openFiles = 0;
};

struct Manager {
    std::recursive_mutex mutex;
    std::condition_variable_any changed;
    std::unique_ptr<DriverObject> driverObject;
    std::vector<InterfaceEntry> interfaces;
    std::map<pnp::NodeId, Node> nodes;
    pnp::NodeId nextNode = 1;
    Status lastStart = status::kSuccess;
};

Manager& manager()
{
    static Manager instance;
    return instance;
}

std::u16string lowered(const std::u16string& text)
{
    std::u16string out = text;
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

std::u16string guidText(const Guid& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    return std::u16string(text, text + 38);
}

Node* nodeOfDevice(Manager& m, Device& device)
{
    for (auto& [id, node] : m.nodes)
        if (node.device == &device)
            return &node;
    return nullptr;
}

// Tears the device down after its hardware is released, once no file is open.
void destroyIfUnused(Manager& m, pnp::NodeId id)
{
    auto it = m.nodes.find(id);
    if (it == m.nodes.end() || it->second.state != NodeState::Removed || it->second.openFiles > 0)
        return;
    Device* device = it->second.device;
    m.nodes.erase(it);
    device->deleteObject();
}

void releaseAndDelete(Device& device)
{
    if (auto release = device.pnpCallbacks().releaseHardware)
        release(device);
    device.deleteObject();
}

} // namespace

namespace io {

namespace {
Caller withProcess(const Caller& caller)
{
    Caller out = caller;
    if (!out.process)
        out.process = ob::Process::currentRef();
    if (out.processId == 0)
        out.processId = out.process->id();
    return out;
}
} // namespace

class OpenFile {
public:
    FileObject* file = nullptr;
    Device* device = nullptr;
    pnp::NodeId node = 0;
    bool closed = false;
    size_t inFlight = 0;
};

std::u16string registerDeviceInterface(Device& device, const Guid& interfaceClass, const char16_t* referenceString)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    // Appended piece by piece: GCC 12 at -O3 misreads chained u16 concatenation.
    std::u16string link(u"\\\\?\\usb#");
    link.append(lowered(device.busDevice().instancePath()));
    link.push_back(u'#');
    link.append(guidText(interfaceClass));
    if (referenceString) {
        link.push_back(u'\\');
        link.append(referenceString);
    }
    m.interfaces.push_back({link, lowered(link), interfaceClass, &device, false});
    return link;
}

void unregisterDeviceInterface(const std::u16string& symbolicLink)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    std::erase_if(m.interfaces, [&](const InterfaceEntry& e) { return e.link == symbolicLink; });
}

void setDeviceInterfacesEnabled(Device& device, bool enabled)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    for (auto& e : m.interfaces)
        if (e.device == &device)
            e.enabled = enabled;
}

std::vector<std::u16string> deviceInterfaces(const Guid& interfaceClass)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    std::vector<std::u16string> out;
    for (const auto& e : m.interfaces)
        if (e.enabled && e.interfaceClass == interfaceClass)
            out.push_back(e.link);
    return out;
}

Status openDeviceInterface(const std::u16string& symbolicLink, const Caller& given, FileRef& out)
{
    const Caller caller = withProcess(given);
    requirePassive("opening a device");
    out.reset();
    Manager& m = manager();
    auto open = std::make_shared<OpenFile>();
    {
        std::lock_guard lock(m.mutex);
        std::u16string key = lowered(symbolicLink);
        auto it = std::find_if(m.interfaces.begin(), m.interfaces.end(),
                               [&](const InterfaceEntry& e) { return e.key == key; });
        if (it == m.interfaces.end() || !it->enabled)
            return status::kObjectNameNotFound;
        Node* node = nodeOfDevice(m, *it->device);
        if (!node || node->state == NodeState::Removed)
            return status::kNoSuchDevice;
        if (consumeFault(FaultKind::Allocation))
            return status::kInsufficientResources;
        open->device = it->device;
        for (auto& [id, n] : m.nodes)
            if (&n == node)
                open->node = id;
        ++node->openFiles; // keeps the device while the driver runs its create callback
    }
    Device& device = *open->device;
    open->file = FileObject::create(device, caller);
    Status s = open->file ? status::kSuccess : status::kInsufficientResources;
    if (open->file && device.fileConfig().fileCreate) {
        Request* request = Request::createIo({RequestKind::Create, 0, 0, 0}, nullptr, open->file, caller);
        runDriverCallback("the file create callback",
                          [&] { device.fileConfig().fileCreate(device, *request, *open->file); });
        request->waitIoCompleted();
        s = request->status();
        request->deleteObject();
    }
    if (failed(s)) {
        if (open->file)
            open->file->deleteObject();
        std::lock_guard lock(m.mutex);
        --m.nodes[open->node].openFiles;
        destroyIfUnused(m, open->node);
        return s;
    }
    out = open;
    return status::kSuccess;
}

Status deviceIoControl(const FileRef& file, uint32_t ioControlCode, const void* input, uint32_t inputLength,
                       void* output, uint32_t outputLength, uint32_t* bytesReturned, const Caller& given)
{
    const Caller caller = withProcess(given);
    requirePassive("device I/O control");
    if (bytesReturned)
        *bytesReturned = 0;
    Manager& m = manager();
    {
        std::lock_guard lock(m.mutex);
        if (!file || file->closed)
            return status::kInvalidHandle;
        ++file->inFlight;
    }
    // Uncounted also when a violation is thrown through here, so that the
    // close of the file does not wait for it.
    struct InFlight {
        Manager& m;
        OpenFile& file;
        ~InFlight()
        {
            std::lock_guard lock(m.mutex);
            --file.inFlight;
            m.changed.notify_all();
        }
    } inFlight{m, *file};
    Status s;
    uint64_t information = 0;
    if ((ioControlCode & 3) != kMethodBuffered) {
        s = status::kNotImplemented;
    } else if ((inputLength && !input) || (outputLength && !output)) {
        s = status::kInvalidParameter;
    } else {
        std::vector<uint8_t> systemBuffer(std::max(inputLength, outputLength));
        if (inputLength)
            std::memcpy(systemBuffer.data(), input, inputLength);
        Request* request =
            Request::createIo({RequestKind::DeviceControl, ioControlCode, inputLength, outputLength},
                              systemBuffer.empty() ? nullptr : systemBuffer.data(), file->file, caller);
        Device& device = *file->device;
        if (auto hook = device.inCallerContextCallback()) {
            runDriverCallback("the in-caller-context callback", [&] { hook(device, *request); });
        } else {
            Status queued = device.enqueueRequest(*request);
            if (failed(queued))
                request->complete(queued);
        }
        request->waitIoCompleted();
        s = request->status();
        information = request->information();
        request->deleteObject();
        if (!failed(s)) {
            uint64_t copy = std::min<uint64_t>(information, outputLength);
            if (copy)
                std::memcpy(output, systemBuffer.data(), copy);
            if (bytesReturned)
                *bytesReturned = static_cast<uint32_t>(copy);
        }
    }
    return s;
}

Status closeFile(const FileRef& file)
{
    requirePassive("closing a file");
    Manager& m = manager();
    {
        std::lock_guard lock(m.mutex);
        if (!file || file->closed)
            return status::kInvalidHandle;
        file->closed = true;
    }
    Device& device = *file->device;
    if (auto cleanup = device.fileConfig().fileCleanup)
        runDriverCallback("the file cleanup callback", [&] { cleanup(*file->file); });
    {
        std::unique_lock lock(m.mutex);
        m.changed.wait(lock, [&] { return file->inFlight == 0; });
    }
    if (auto close = device.fileConfig().fileClose)
        close(*file->file);
    file->file->deleteObject();
    file->file = nullptr;
    std::lock_guard lock(m.mutex);
    --m.nodes[file->node].openFiles;
    destroyIfUnused(m, file->node);
    return status::kSuccess;
}

} // namespace io

namespace pnp {

Status loadDriver(DriverEntry entry, const std::u16string& serviceName)
{
    requirePassive("loading a driver");
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (m.driverObject)
        violation("a driver is already loaded");
    auto object = std::make_unique<DriverObject>(serviceName);
    std::u16string registryPath(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\");
    registryPath.append(serviceName);
    Status s = entry(*object, registryPath);
    if (failed(s)) {
        if (object->driver())
            object->driver()->deleteObject();
        return s;
    }
    if (!object->driver())
        violation("a driver entry succeeded without creating its framework driver");
    m.driverObject = std::move(object);
    return status::kSuccess;
}

void unloadDriver()
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (!m.driverObject)
        return;
    if (!m.nodes.empty())
        violation("unloading a driver that still has devices");
    Driver* driver = m.driverObject->driver();
    if (driver) {
        if (auto unload = driver->config().unload)
            unload(*driver);
        // The routine's code goes with the driver; a later process would call into nothing.
        if (processNotifyRoutineCount() != 0)
            violation("unloading a driver that left a process notify routine registered");
        driver->deleteObject();
    }
    m.driverObject.reset();
}

bool driverLoaded()
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    return m.driverObject != nullptr;
}

NodeId deviceArrived(std::shared_ptr<BusDevice> bus)
{
    requirePassive("starting a device");
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    if (!m.driverObject || !m.driverObject->driver()) {
        m.lastStart = status::kNoSuchDevice;
        return 0;
    }
    Driver& driver = *m.driverObject->driver();
    DeviceInit init(driver, std::move(bus));
    Status s = driver.config().deviceAdd ? driver.config().deviceAdd(driver, init) : status::kNotImplemented;
    Device* device = init.createdDevice();
    if (succeeded(s) && !device)
        violation("device add succeeded without creating a device");
    if (failed(s)) {
        if (device)
            device->deleteObject();
        m.lastStart = s;
        return 0;
    }
    const PnpPowerCallbacks& cb = device->pnpCallbacks();
    if (cb.prepareHardware) {
        s = cb.prepareHardware(*device);
        if (failed(s)) {
            releaseAndDelete(*device);
            m.lastStart = s;
            return 0;
        }
    }
    if (cb.d0Entry) {
        s = cb.d0Entry(*device, PowerState::D3Final);
        if (failed(s)) {
            releaseAndDelete(*device);
            m.lastStart = s;
            return 0;
        }
    }
    NodeId id = m.nextNode++;
    m.nodes[id] = Node{nullptr, device, NodeState::Working, 0};
    io::setDeviceInterfacesEnabled(*device, true);
    m.lastStart = status::kSuccess;
    return id;
}

Status lastStartStatus()
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    return m.lastStart;
}

void surpriseRemoved(NodeId id)
{
    requirePassive("removing a device");
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    auto it = m.nodes.find(id);
    if (it == m.nodes.end() || it->second.state == NodeState::Removed)
        return;
    Node& node = it->second;
    Device& device = *node.device;
    io::setDeviceInterfacesEnabled(device, false);
    // Queued requests are purged before the device leaves D0.
    device.purgeQueues();
    const PnpPowerCallbacks& cb = device.pnpCallbacks();
    if (node.state == NodeState::Working && cb.d0Exit)
        cb.d0Exit(device, PowerState::D3Final);
    if (cb.surpriseRemoval)
        cb.surpriseRemoval(device);
    if (cb.releaseHardware)
        cb.releaseHardware(device);
    node.state = NodeState::Removed;
    destroyIfUnused(m, id);
}

Status setLowPower(NodeId id, bool lowPower)
{
    requirePassive("a power change");
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    auto it = m.nodes.find(id);
    if (it == m.nodes.end() || it->second.state == NodeState::Removed)
        return status::kNoSuchDevice;
    Node& node = it->second;
    Device& device = *node.device;
    const PnpPowerCallbacks& cb = device.pnpCallbacks();
    if (lowPower && node.state == NodeState::Working) {
        // Power-managed queues stop (and their running handlers return) before D0 exit.
        device.powerDownQueues();
        if (cb.d0Exit)
            cb.d0Exit(device, PowerState::D3);
        node.state = NodeState::LowPower;
    } else if (!lowPower && node.state == NodeState::LowPower) {
        Status s = cb.d0Entry ? cb.d0Entry(device, PowerState::D3) : status::kSuccess;
        if (failed(s))
            return s;
        node.state = NodeState::Working;
        // They start again after D0 entry, with what they held.
        device.powerUpQueues();
    }
    return status::kSuccess;
}

Device* deviceOf(NodeId id)
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    auto it = m.nodes.find(id);
    return it == m.nodes.end() ? nullptr : it->second.device;
}

size_t liveDeviceCount()
{
    Manager& m = manager();
    std::lock_guard lock(m.mutex);
    return m.nodes.size();
}

} // namespace pnp

} // namespace kplat
