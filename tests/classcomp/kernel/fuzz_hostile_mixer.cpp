// Fuzzes what a device tells the kernel driver: a mixer whose descriptors,
// string descriptors, clock and rate replies, interrupt messages and audio
// packet lengths come from the input is plugged in (prepare hardware, D0
// entry), a client sets up its buffers and streams on the virtual clock,
// the device may leave and re-enter low power, and it is unplugged, while
// streaming or after the client has gone.
//
// Input: six header bytes (profile, rate, block size, how long to stream,
// when to unplug, power), then the mixer's script (see hostile_mixer.h).

#include "fuzz_machine.h"
#include "hostile_mixer.h"

#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/driver.h"
#include "classcomp/kernel/io_control.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb_bus.h"
#include "platform/object/event.h"
#include "platform/object/process.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

using namespace kplat;
using namespace orvo::kernel;
using orvo::kernel::testing::ByteScript;
using orvo::kernel::testing::HostileMixer;

namespace {

sim::mixer::Profile pickProfile(uint8_t pick)
{
    switch (pick % 6) {
    case 0: return sim::mixer::profiles::qx1600();
    case 1: return sim::mixer::profiles::zr90Alpha();
    case 2: return sim::mixer::profiles::asymmetric();
    case 3: return sim::mixer::profiles::manySubranges();
    case 4: return sim::mixer::profiles::continuousRange();
    default: return sim::mixer::profiles::floatFormat();
    }
}

struct Client {
    ob::Ref<ob::Process> process = ob::Process::create();
    io::FileRef file;
    ob::Ref<ob::Event> event = ob::Event::create(ob::Event::Kind::ManualReset, false);
    ob::Handle eventHandle = 0;

    Status message(uint32_t selector, uint32_t value)
    {
        uint8_t in[device_message::kSize] = {}, out[device_message::kReplySize];
        const uint32_t operation = device_message::kSet;
        std::memcpy(in, &selector, 4);
        std::memcpy(in + 4, &operation, 4);
        std::memcpy(in + 8, &value, 4);
        return control(kIoCtlMessage, in, sizeof in, out, sizeof out);
    }
    Status control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength)
    {
        ob::ProcessScope scope(process);
        uint32_t bytes = 0;
        Status s = io::deviceIoControl(file, code, in, inLength, out, outLength, &bytes, Caller{});
        if (succeeded(s) && bytes > outLength)
            __builtin_trap();
        return s;
    }
    void close()
    {
        if (!file)
            return;
        ob::ProcessScope scope(process);
        io::closeFile(file);
        file = nullptr;
    }
};

void run(const uint8_t* data, size_t size)
{
    ByteScript header{data, std::min<size_t>(size, 6)};
    ByteScript script{data + header.size, size - header.size};
    const uint8_t profile = header.byte(), rate = header.byte(), block = header.byte(), streamMs = header.byte(),
                  unplugAt = header.byte(), power = header.byte();

    if (failed(pnp::loadDriver(&DriverEntry, u"OrvoUAC2")))
        __builtin_trap();
    {
        auto bus = std::make_unique<usb::HostController>();
        sim::mixer::Mixer mixer(pickProfile(profile), 1);
        HostileMixer hostile(mixer.usb('A'), script);
        hostile.lieAboutDescriptors();
        const uint32_t port = bus->plug(hostile);
        Client client;
        if (Device* device = bus->device(port)) {
            DeviceContext* c = GetDeviceContext(*device);
            auto links = io::deviceInterfaces(c->interfaceGuid);
            client.process->insert(client.event, ob::kEventAllAccess, client.eventHandle);
            if (!links.empty()) {
                ob::ProcessScope scope(client.process);
                if (failed(io::openDeviceInterface(links[0], Caller{}, client.file)))
                    client.file = nullptr;
            }
            if (client.file) {
                constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};
                client.message(kMsgClientProcessId, client.process->id());
                client.message(kMsgSampleRate, kRates[rate % std::size(kRates)]);
                client.message(kMsgBlockFrames, 32 + block * 4u);
                uint8_t in[8] = {}, out[64];
                std::memcpy(in, &client.eventHandle, 4);
                client.control(kIoCtlInitBuffers, in, sizeof in, out, init_buffers_result::kSize);
                client.message(kMsgClientStarted, 1);
                client.control(kIoCtlGetAsioInfo, nullptr, 0, out, sizeof out);
            }
            const uint32_t total = streamMs % 200, unplugMs = unplugAt < 0x80 ? unplugAt % 200 : total + 1;
            for (uint32_t ms = 0; ms < total && bus->device(port); ms += 4) {
                if (ms == unplugMs / 4 * 4)
                    bus->unplug(port);
                if (power & 1 && ms == (power >> 1) / 4 * 4 && bus->node(port)) {
                    pnp::setLowPower(bus->node(port), true);
                    kernelClock().advance(msToTicks(power >> 5));
                    pnp::setLowPower(bus->node(port), false);
                }
                kernelClock().advance(msToTicks(4));
            }
        }
        client.close();
        bus->unplug(port);
        bus.reset();
        if (pnp::liveDeviceCount() != 0)
            __builtin_trap(); // the last handle gone, the device object goes
    }
    pnp::unloadDriver();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    orvo::kernel::testing::setUpFuzzMachine("fuzz-hostile-mixer");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    run(data, size);
    return 0;
}
