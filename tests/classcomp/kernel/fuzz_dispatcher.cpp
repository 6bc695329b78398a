// Fuzzes the kernel driver's I/O control dispatcher: each input is a fresh
// machine with one simulated mixer and a script of requests from three
// handles in two processes: random codes and buffer lengths, device
// messages, buffer set-ups with good and bad event handles, opening and
// closing, time passing while the stream runs, and random bytes written
// into the status record the client has mapped.

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/driver.h"
#include "classcomp/kernel/io_control.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb_bus.h"
#include "platform/object/event.h"
#include "platform/object/process.h"
#include "platform/registry/registry.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

using namespace kplat;
using namespace orvo::kernel;

namespace {

struct Script {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(byte()) << (8 * i);
        return v;
    }
};

struct Handle {
    ob::Ref<ob::Process> process;
    io::FileRef file;
    ob::Ref<ob::Event> event;
    ob::Handle eventHandle = 0;
    uint32_t statusRecord = 0; // the handle's view, while mapped
};

constexpr uint32_t kCodes[] = {kIoCtlNegotiateThreadPriority, kIoCtlGetClientId, kIoCtlInitBuffers,
                               kIoCtlElevateThreadPriority,   kIoCtlMessage,     kIoCtlGetAsioInfo,
                               kIoCtlDisposeOfBuffers,        0x220018};
constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 12345};

Status request(Handle& h, uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out, uint32_t outLength)
{
    ob::ProcessScope scope(h.process);
    uint32_t bytes = 0;
    Status s = io::deviceIoControl(h.file, code, in, inLength, out, outLength, &bytes, Caller{});
    if (succeeded(s) && bytes > outLength)
        __builtin_trap();
    if (code == kIoCtlDisposeOfBuffers && succeeded(s))
        h.statusRecord = 0;
    if ((code == kIoCtlGetAsioInfo || code == kIoCtlInitBuffers) && succeeded(s)) {
        uint32_t address;
        std::memcpy(&address, out + (code == kIoCtlGetAsioInfo ? 0 : init_buffers_result::kStatusRecordOffset), 4);
        if (h.statusRecord && h.statusRecord != address)
            __builtin_trap(); // one view per handle
        h.statusRecord = address;
    }
    return s;
}

void open(Handle& h, const std::u16string& link)
{
    ob::ProcessScope scope(h.process);
    if (failed(io::openDeviceInterface(link, Caller{}, h.file)))
        __builtin_trap();
}

void close(Handle& h)
{
    if (!h.file)
        return;
    ob::ProcessScope scope(h.process);
    io::closeFile(h.file);
    h.file = nullptr;
    h.statusRecord = 0;
}

void run(Script& script)
{
    if (failed(pnp::loadDriver(&DriverEntry, u"OrvoUAC2")))
        __builtin_trap();
    {
        auto bus = std::make_unique<usb::HostController>();
        sim::mixer::Mixer mixer(sim::mixer::profiles::qx1600(), 1);
        uint32_t port = bus->plug(mixer.usb('A'));
        Device* device = bus->device(port);
        if (!device)
            __builtin_trap();
        DeviceContext* c = GetDeviceContext(*device);
        const std::u16string link = io::deviceInterfaces(c->interfaceGuid).at(0);
        auto first = ob::Process::create();
        auto second = ob::Process::create();
        Handle handles[3];
        for (int i = 0; i < 3; ++i) {
            Handle& h = handles[i];
            h.process = i == 2 ? second : first;
            h.event = ob::Event::create(ob::Event::Kind::ManualReset, false);
            h.process->insert(h.event, ob::kEventAllAccess, h.eventHandle);
            open(h, link);
        }
        uint8_t in[96], out[96];
        for (int steps = 0; steps < 64 && !script.done(); ++steps) {
            const uint8_t op = script.byte();
            Handle& h = handles[(op >> 4) % 3];
            if (!h.file && (op & 15) != 0)
                continue;
            std::memset(in, 0, sizeof in);
            switch (op & 15) {
            case 0: // open or close
                if (h.file)
                    close(h);
                else
                    open(h, link);
                break;
            case 1: { // any code, any lengths, any bytes
                uint32_t code = kCodes[script.byte() % std::size(kCodes)];
                uint32_t inLength = script.byte() % 90, outLength = script.byte() % 90;
                for (uint32_t i = 0; i < inLength; ++i)
                    in[i] = script.byte();
                request(h, code, in, inLength, out, outLength);
                break;
            }
            case 2:
            case 3: { // a device message
                uint32_t selector = script.byte() % 11, operation = script.byte() % 3;
                uint8_t pick = script.byte();
                uint32_t value = pick < 200 ? kRates[pick % std::size(kRates)] : script.u32();
                if (selector == kMsgClientProcessId)
                    value = pick & 1 ? h.process->id() : value;
                if (selector == kMsgBlockFrames)
                    value = pick < 250 ? 32 + pick * 4 : value;
                std::memcpy(in, &selector, 4);
                std::memcpy(in + 4, &operation, 4);
                std::memcpy(in + 8, &value, 4);
                request(h, kIoCtlMessage, in, 72, out, 64);
                break;
            }
            case 4:
            case 5: { // buffer set-up with the handle's event or another value
                uint32_t handle = (script.byte() & 3) ? h.eventHandle : script.u32();
                std::memcpy(in, &handle, 4);
                request(h, kIoCtlInitBuffers, in, 8, out, 36);
                break;
            }
            case 6:
            case 7: // time passes
                kernelClock().advance(msToTicks(script.byte() % 64));
                break;
            case 8: { // the client writes its record
                if (!h.statusRecord)
                    break;
                auto* record = reinterpret_cast<uint8_t*>(uintptr_t(h.statusRecord));
                uint32_t count = script.byte();
                for (uint32_t i = 0; i < count; ++i) {
                    uint32_t offset = (uint32_t(script.byte()) << 8 | script.byte()) * 3 % asio_info::kSize;
                    record[offset] = script.byte();
                }
                break;
            }
            case 9: { // started, then a priority request
                uint32_t selector = kMsgClientStarted, operation = 1, value = 1;
                std::memcpy(in, &selector, 4);
                std::memcpy(in + 4, &operation, 4);
                std::memcpy(in + 8, &value, 4);
                request(h, kIoCtlMessage, in, 72, out, 64);
                in[4] = script.byte() & 1;
                request(h, kIoCtlNegotiateThreadPriority, in, 8, out, 8);
                request(h, kIoCtlElevateThreadPriority, in, 0, out, 0);
                break;
            }
            default: request(h, kIoCtlGetClientId, in, 0, out, 4); break;
            }
            if (c->clientCount > kMaxClients)
                __builtin_trap();
        }
        for (Handle& h : handles)
            close(h);
        if (c->clientCount != 0)
            __builtin_trap();
        bus->unplug(port);
        bus.reset();
    }
    pnp::unloadDriver();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = [] {
        kernelClock().useVirtual(0);
        auto root = std::filesystem::temp_directory_path() / ("orvo-fuzz-dispatcher-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        reg::Registry::setMachineRoot(root);
        reg::Registry& registry = reg::Registry::machine();
        for (const char16_t* path : {u"Software\\ASIO", u"Software\\Classes\\CLSID"}) {
            reg::KeyRef key;
            registry.create(registry.hiveRoot(reg::Hive::LocalMachine), path, false, key);
        }
        return true;
    }();
    (void)ready;
    Script script{data, size};
    run(script);
    return 0;
}
