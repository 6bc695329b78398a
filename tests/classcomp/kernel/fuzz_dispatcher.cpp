// Fuzzes the kernel driver's I/O control dispatcher. One machine with one
// simulated mixer lives across inputs; each input is a script of requests on
// four handle slots held by three processes: random codes and buffer
// lengths, device messages, buffer set-ups with good and bad event handles,
// opening and closing, handles duplicated into (inherited by) another
// process, a process ending with its handles open, bursts from several
// threads at once, time passing while the stream runs, the mixer pulled out
// and plugged in again while streaming, mixer faults, low power, and random
// bytes written into the status record a client has mapped.
//
// After each input every handle is closed and the machine is brought back
// to a known state: the mixer plugged in with no faults, the driver's
// requested rate, block size and delay mode as a fresh device has them,
// no client, streaming off and no transfer in flight. Keeping the device
// keeps its stream buffers, which makes an input cost microseconds where a
// fresh device costs tens of milliseconds.

#include "fuzz_machine.h"

#include "classcomp/kernel/asio_info.h"
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

#include <bit>
#include <condition_variable>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

constexpr int kProcesses = 3;
constexpr int kSlots = 4;
constexpr uint32_t kCodes[] = {kIoCtlNegotiateThreadPriority, kIoCtlGetClientId, kIoCtlInitBuffers,
                               kIoCtlElevateThreadPriority,   kIoCtlMessage,     kIoCtlGetAsioInfo,
                               kIoCtlDisposeOfBuffers,        0x220018};
constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 12345};

struct Process {
    ob::Ref<ob::Process> process;
    ob::Ref<ob::Event> event;
    ob::Handle eventHandle = 0;

    void start()
    {
        process = ob::Process::create();
        event = ob::Event::create(ob::Event::Kind::ManualReset, false);
        process->insert(event, ob::kEventAllAccess, eventHandle);
    }
};

// An open file and the processes holding a handle to it: the file is closed
// (cleanup, then close) when its last handle goes, in that handle's process.
struct Slot {
    io::FileRef file;
    uint8_t holders = 0;       // bit per process
    uint32_t statusRecord = 0; // the file's view, while mapped
};

// The machine kept across inputs.
struct World {
    std::unique_ptr<usb::HostController> bus;
    std::unique_ptr<sim::mixer::Mixer> mixer;
    uint32_t port = 0;
    std::u16string link;
    DeviceContext fresh{}; // the driver's state of the device as first plugged in

    sim::mixer::UsbAudioDevice& usb() { return mixer->usb('A'); }
    DeviceContext* context() const
    {
        Device* device = bus->device(port);
        return device ? GetDeviceContext(*device) : nullptr;
    }
    bool plugged() { return context() && usb().attached(); }
    void plug()
    {
        usb().replug();
        port = bus->plug(usb());
        DeviceContext* c = context();
        if (!c)
            __builtin_trap();
        link = io::deviceInterfaces(c->interfaceGuid).at(0);
        if (!fresh.device)
            fresh = *c;
    }
};

World& world()
{
    static World* w = [] {
        auto* made = new World;
        made->bus = std::make_unique<usb::HostController>();
        made->mixer = std::make_unique<sim::mixer::Mixer>(sim::mixer::profiles::qx1600(), 1);
        made->plug();
        return made;
    }();
    return *w;
}

// Threads kept for the bursts: making threads costs far more than an input.
class Crew {
public:
    static constexpr int kThreads = 3;
    Crew()
    {
        for (int i = 0; i < kThreads; ++i)
            std::thread([this, i] { work(i); }).detach();
    }
    // Runs `job` on each part, one thread per part, and waits for them all.
    template <class Job>
    void run(std::vector<std::vector<uint8_t>>& parts, Job job)
    {
        std::unique_lock lock(mutex_);
        for (size_t i = 0; i < parts.size(); ++i)
            jobs_[i] = [&job, &part = parts[i]] { job(part); };
        changed_.notify_all();
        changed_.wait(lock, [&] {
            for (const auto& j : jobs_)
                if (j)
                    return false;
            return true;
        });
    }

private:
    void work(int i)
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return bool(jobs_[i]); });
            lock.unlock();
            jobs_[i]();
            lock.lock();
            jobs_[i] = nullptr;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> jobs_[kThreads];
};

Crew& crew()
{
    static Crew* c = new Crew; // never destroyed: its threads outlive every input
    return *c;
}

class Run {
public:
    Run()
    {
        for (Process& p : processes_)
            p.start();
    }

    // The machine's life may change (the mixer pulled out and plugged in,
    // low power) in one input out of 32, three changes at most: each
    // costs milliseconds where a whole input otherwise costs a fraction of
    // one (a new device writes the registry and allocates its stream
    // buffers). The input's hash decides, so that the share stays one in
    // 32 whatever the corpus comes to hold.
    void script(Script& script)
    {
        uint32_t hash = 2166136261u;
        for (size_t k = 0; k < script.size; ++k)
            hash = (hash ^ script.data[k]) * 16777619u;
        lifeChanges_ = hash % 32 == 0 ? 3 : 0;
        for (int steps = 0; steps < 64 && !script.done(); ++steps)
            step(script, true);
    }

    // Every handle closed, the machine back to its known state.
    void finish()
    {
        for (int i = 0; i < kSlots; ++i)
            while (slots_[i].holders)
                release(i, std::countr_zero(slots_[i].holders));
        World& w = world();
        w.usb().setFaults(sim::mixer::Faults{});
        if (!w.plugged()) {
            w.bus->unplug(w.port); // also a device pulled that the bus has not noticed yet
            w.plug();
        }
        if (pnp::liveDeviceCount() != 1)
            __builtin_trap(); // a removed device outlived its last handle
        w.usb().changeRateFromPanel(w.fresh.requestedSampleRate);
        DeviceContext* c = w.context();
        for (int ms = 0; !idle(c); ms += 4) {
            if (ms > 2000)
                __builtin_trap(); // the stream never stopped
            kernelClock().advance(msToTicks(4));
        }
        resetRequests(c);
    }

private:
    static bool idle(const DeviceContext* c)
    {
        return c->clientCount == 0 && !c->streamingEnabled && c->inputsInFlight == 0 && c->outputsInFlight == 0;
    }

    // What clients asked for goes back to what a fresh device has, through a
    // handle of a process of its own. Which process owns the device is the
    // one thing no request clears (a device is added with no owner): it is
    // cleared here, while the driver is idle, before and after.
    void resetRequests(DeviceContext* c)
    {
        const DeviceContext& fresh = world().fresh;
        c->ownerProcessId = 0;
        c->ownerLastSeenMs = 0;
        Process house;
        house.start();
        Slot slot;
        {
            ob::ProcessScope scope(house.process);
            if (failed(io::openDeviceInterface(world().link, Caller{}, slot.file)))
                __builtin_trap();
        }
        uint8_t in[96], out[96];
        for (auto [selector, value] :
             {std::pair{kMsgClientProcessId, house.process->id()}, std::pair{kMsgSampleRate, fresh.requestedSampleRate},
              std::pair{kMsgBlockFrames, fresh.requestedBlockFrames}, std::pair{kMsgBufferMode, fresh.outputDelayMode}}) {
            message(in, selector, device_message::kSet, value);
            if (failed(request(house, slot, kIoCtlMessage, in, device_message::kSize, out, device_message::kReplySize)))
                __builtin_trap();
        }
        {
            ob::ProcessScope scope(house.process);
            io::closeFile(slot.file);
        }
        c->ownerProcessId = 0;
        c->ownerLastSeenMs = 0;
        if (c->requestedSampleRate != fresh.requestedSampleRate ||
            c->requestedBlockFrames != fresh.requestedBlockFrames || c->outputDelayMode != fresh.outputDelayMode ||
            !idle(c))
            __builtin_trap();
    }

    static void message(uint8_t* in, uint32_t selector, uint32_t operation, uint32_t value)
    {
        std::memcpy(in, &selector, 4);
        std::memcpy(in + 4, &operation, 4);
        std::memcpy(in + 8, &value, 4);
    }

    Status request(Process& p, Slot& slot, uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                   uint32_t outLength, bool single = true)
    {
        ob::ProcessScope scope(p.process);
        uint32_t bytes = 0;
        Status s = io::deviceIoControl(slot.file, code, in, inLength, out, outLength, &bytes, Caller{});
        if (succeeded(s) && bytes > outLength)
            __builtin_trap();
        if (!single || failed(s))
            return s;
        if (code == kIoCtlDisposeOfBuffers)
            slot.statusRecord = 0;
        if (code == kIoCtlGetAsioInfo || code == kIoCtlInitBuffers) {
            uint32_t address;
            std::memcpy(&address,
                        out + (code == kIoCtlGetAsioInfo ? 0 : init_buffers_result::kStatusRecordOffset), 4);
            if (slot.statusRecord && slot.statusRecord != address)
                __builtin_trap(); // one view per file
            slot.statusRecord = address;
        }
        return s;
    }

    // The handle of process `p` to the slot's file goes; the last one closes it.
    void release(int i, int p)
    {
        Slot& slot = slots_[i];
        slot.holders &= static_cast<uint8_t>(~(1u << p));
        if (slot.holders)
            return;
        ob::ProcessScope scope(processes_[p].process);
        if (failed(io::closeFile(slot.file)))
            __builtin_trap();
        slot = Slot{};
    }

    // One step of the script. `single`: no other thread runs steps now.
    void step(Script& script, bool single)
    {
        const uint8_t op = script.byte();
        const int i = (op >> 4) % kSlots;
        std::unique_lock lock(mutex_);
        Slot& slot = slots_[i];
        // The process acting on the slot: one of its holders.
        int actor = (op >> 6) % kProcesses;
        if (slot.holders) {
            int pick = (op >> 6) % std::popcount(slot.holders);
            actor = std::countr_zero(slot.holders);
            while (pick-- > 0)
                actor = std::countr_zero(static_cast<uint8_t>(slot.holders & ~((2u << actor) - 1)));
        }
        Process& p = processes_[actor];
        const uint8_t kind = op & 15;
        if (!slot.file && kind != 0 && kind < 10)
            return;
        Slot mine = slot; // the file stays open while this thread uses it
        uint8_t in[96] = {}, out[96];
        switch (kind) {
        case 0: // open, or close this process's handle
            if (slot.file) {
                release(i, actor);
                break;
            }
            lock.unlock();
            {
                ob::ProcessScope scope(p.process);
                if (failed(io::openDeviceInterface(world().link, Caller{}, mine.file)))
                    break;
            }
            lock.lock();
            if (slots_[i].file) { // another thread filled the slot meanwhile
                ob::ProcessScope scope(p.process);
                io::closeFile(mine.file);
                break;
            }
            slots_[i].file = mine.file;
            slots_[i].holders = static_cast<uint8_t>(1u << actor);
            break;
        case 1: { // any code, any lengths, any bytes
            const uint32_t code = kCodes[script.byte() % std::size(kCodes)];
            const uint32_t inLength = script.byte() % 90, outLength = script.byte() % 90;
            for (uint32_t k = 0; k < inLength; ++k)
                in[k] = script.byte();
            lock.unlock();
            request(p, single ? slot : mine, code, in, inLength, out, outLength, single);
            break;
        }
        case 2:
        case 3: { // a device message
            const uint32_t selector = script.byte() % 11, operation = script.byte() % 3;
            const uint8_t pick = script.byte();
            uint32_t value = pick < 200 ? kRates[pick % std::size(kRates)] : script.u32();
            if (selector == kMsgClientProcessId)
                value = pick & 1 ? p.process->id() : value;
            if (selector == kMsgBlockFrames)
                value = pick < 250 ? 32 + pick * 4 : value;
            message(in, selector, operation, value);
            lock.unlock();
            request(p, single ? slot : mine, kIoCtlMessage, in, device_message::kSize, out,
                    device_message::kReplySize, single);
            break;
        }
        case 4:
        case 5: { // buffer set-up with the process's event or another value
            const uint32_t handle = (script.byte() & 3) ? p.eventHandle : script.u32();
            std::memcpy(in, &handle, 4);
            lock.unlock();
            request(p, single ? slot : mine, kIoCtlInitBuffers, in, 8, out, init_buffers_result::kSize, single);
            break;
        }
        case 6: // time passes
            lock.unlock();
            if (single)
                kernelClock().advance(msToTicks(script.byte() % 64));
            break;
        case 7: // the handle is duplicated into (or inherited by) another process
            slot.holders |= static_cast<uint8_t>(1u << (script.byte() % kProcesses));
            break;
        case 8: { // the client writes its record (a racing dispose would unmap it)
            if (!single || !slot.statusRecord)
                break;
            auto* record = reinterpret_cast<uint8_t*>(uintptr_t(slot.statusRecord));
            for (uint32_t count = script.byte(); count > 0; --count) {
                const uint32_t offset = (uint32_t(script.byte()) << 8 | script.byte()) * 3 % asio_info::kSize;
                record[offset] = script.byte();
            }
            break;
        }
        case 9: { // started, then a priority request
            lock.unlock();
            message(in, kMsgClientStarted, device_message::kSet, 1);
            request(p, single ? slot : mine, kIoCtlMessage, in, device_message::kSize, out,
                    device_message::kReplySize, single);
            in[4] = script.byte() & 1;
            request(p, single ? slot : mine, kIoCtlNegotiateThreadPriority, in, 8, out, 8, single);
            request(p, single ? slot : mine, kIoCtlElevateThreadPriority, in, 0, out, 0, single);
            break;
        }
        case 10: { // the mixer is pulled out: the bus removes it at once, or notices at its next frame
            const uint8_t how = script.byte();
            lock.unlock();
            World& w = world();
            if (!single || !w.plugged() || !changeLife())
                break;
            if (how & 1)
                w.usb().unplug();
            else
                w.bus->unplug(w.port);
            break;
        }
        case 11: { // the mixer is plugged in again
            lock.unlock();
            World& w = world();
            if (!single || w.plugged() || !changeLife())
                break;
            w.bus->unplug(w.port);
            w.plug();
            break;
        }
        case 12: // several threads at once
            lock.unlock();
            if (single)
                burst(script);
            break;
        case 13: // a process ends with its handles open
            if (!single)
                break;
            for (int k = 0; k < kSlots; ++k)
                if (slots_[k].holders & (1u << actor))
                    release(k, actor);
            p.process->terminate(0);
            p.start();
            // Views it had on handles others still hold went with it.
            for (Slot& s : slots_)
                s.statusRecord = 0;
            break;
        case 14: { // the mixer misbehaves
            const uint8_t what = script.byte();
            lock.unlock();
            sim::mixer::Faults f = world().usb().faults();
            switch (what % 5) {
            case 0: f.failControlRequests = what >> 3; break;
            case 1: f.inFailed = sim::mixer::PacketPattern::periodic(1 + (what >> 3)); break;
            case 2: f.outFailed = sim::mixer::PacketPattern::periodic(1 + (what >> 3)); break;
            case 3: f.clockInvalid = !f.clockInvalid; break;
            default: world().usb().changeRateFromPanel(kRates[(what >> 3) % std::size(kRates)]); break;
            }
            world().usb().setFaults(f);
            break;
        }
        default: { // low power and back, or the client id
            const uint8_t what = script.byte();
            lock.unlock();
            World& w = world();
            if (single && (what & 1) && w.plugged() && changeLife()) {
                pnp::setLowPower(w.bus->node(w.port), true);
                kernelClock().advance(msToTicks(what >> 4));
                pnp::setLowPower(w.bus->node(w.port), false);
                break;
            }
            request(p, single ? slot : mine, kIoCtlGetClientId, in, 0, out, 4, single);
            break;
        }
        }
        if (single) {
            DeviceContext* c = world().context();
            if (c && c->clientCount > kMaxClients)
                __builtin_trap();
        }
    }

    // Up to 24 steps dealt out to two or three threads that run them at once.
    void burst(Script& script)
    {
        const int threads = 2 + script.byte() % (Crew::kThreads - 1);
        std::vector<std::vector<uint8_t>> parts(static_cast<size_t>(threads));
        for (int n = script.byte() % 24; n > 0 && !script.done(); --n) {
            auto& part = parts[static_cast<size_t>(n % threads)];
            for (int b = 0; b < 6; ++b)
                part.push_back(script.byte());
        }
        crew().run(parts, [this](std::vector<uint8_t>& part) {
            Script own{part.data(), part.size()};
            while (!own.done())
                step(own, false);
        });
        // Views set up or disposed of by the threads: ask again later.
        for (Slot& s : slots_)
            s.statusRecord = 0;
    }

    bool changeLife() { return lifeChanges_ > 0 && lifeChanges_--; }

    Process processes_[kProcesses];
    int lifeChanges_ = 0;
    Slot slots_[kSlots];
    std::mutex mutex_;
};


// The machine is kept across inputs, so an input that leaves more blocks
// allocated than it found is the rule (a device plugged in again, a table
// grown), not a leak: checking for leaks after every such input would take
// most of the time. Leaks are still reported when the run ends.
void noLeakCheckPerInput(int* argc, char*** argv)
{
    for (int i = 1; i < *argc; ++i)
        if (std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0)
            return;
    static std::vector<char*> args;
    args.assign(*argv, *argv + *argc);
    args.push_back(const_cast<char*>("-detect_leaks=0"));
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    noLeakCheckPerInput(argc, argv);
    orvo::kernel::testing::setUpFuzzMachine("fuzz-dispatcher");
    if (failed(pnp::loadDriver(&DriverEntry, u"OrvoUAC2")))
        __builtin_trap();
    world();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Script script{data, size};
    Run run;
    run.script(script);
    run.finish();
    return 0;
}
