// An ASIO host streaming in real time through the driver object, the kernel
// driver and the simulated mixer booted in this process, as in real-time
// mode on a system that allows it: the time from the kernel setting the
// block event to the host's buffer switch being entered, and the streaming
// thread's processor time per block outside the host's callback.
//
// Usage: bench_asio_switch_latency [seconds [milliseconds]]; ORVO_BENCH_SECONDS
// sets the duration too (default 60 s, 1 ms: 48-frame blocks at 48 kHz).

#include "classcomp/asio/asio_interface.h"
#include "classcomp/asio/com_server.h"
#include "classcomp/asio/dll_exports.h"
#include "classcomp/asio/registry_settings.h"
#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/usb_bus.h"
#include "platform/registry/registry.h"
#include "platform/win32/files.h"
#include "sim/machine/machine.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

constexpr uint32_t kRate = 48000;

uint64_t threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000ull + uint64_t(t.tv_nsec);
}

// What the host's callback sees; filled on the streaming thread only.
struct Measure {
    uint8_t* record = nullptr;
    std::atomic<bool> measuring{false};
    uint64_t lastBlockTime = 0;
    uint64_t cpuAtExit = 0; // the thread's processor time as the callback returned
    uint64_t switches = 0;
    std::vector<double> latencyUs;
    std::vector<double> driverCpuUs;
} g_measure;

void onSwitch()
{
    Measure& m = g_measure;
    const kplat::Ticks entered = kplat::kernelClock().now();
    const uint64_t cpu = threadCpuNs();
    ++m.switches;
    if (m.measuring.load(std::memory_order_relaxed)) {
        const k::AsioInfo info(m.record);
        // The kernel stores the block time just after setting the events: a
        // thread woken on another core can be quicker than that store.
        uint64_t blockTime = info.lastBlockTime();
        for (int i = 0; i < 1000 && blockTime == m.lastBlockTime; ++i)
            blockTime = info.lastBlockTime();
        if (blockTime != m.lastBlockTime && entered >= blockTime && entered - blockTime < kplat::kTicksPerSecond &&
            m.latencyUs.size() < m.latencyUs.capacity())
            m.latencyUs.push_back(double(entered - blockTime) / 10.0);
        m.lastBlockTime = blockTime;
        if (m.cpuAtExit && m.driverCpuUs.size() < m.driverCpuUs.capacity())
            m.driverCpuUs.push_back(double(cpu - m.cpuAtExit) / 1000.0);
    }
    m.cpuAtExit = threadCpuNs();
}

void bufferSwitch(AsioLong, ASIOBool) { onSwitch(); }
ASIOTime* bufferSwitchTimeInfo(ASIOTime* time, AsioLong, ASIOBool)
{
    onSwitch();
    return time;
}
void sampleRateDidChange(ASIOSampleRate) {}
AsioLong asioMessage(AsioLong selector, AsioLong, void*, double*) { return selector == kAsioSupportsTimeInfo ? 1 : 0; }

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    const size_t i = size_t(p / 100.0 * double(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

void printPercentiles(const char* what, std::vector<double>& v)
{
    std::sort(v.begin(), v.end());
    std::printf("  %s (us, %zu blocks): median %.1f  99th %.1f  99.9th %.1f  max %.1f\n", what, v.size(),
                percentile(v, 50), percentile(v, 99), percentile(v, 99.9), v.empty() ? 0.0 : v.back());
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// Streams through one object; false when a step fails.
bool stream(uint8_t* record, int seconds, uint32_t ms, uint32_t& frames)
{
    RegistrySetBufferSizeMillisecs(0, ms);
    const com::CLSID& clsid = *FactoryTemplates()[0].clsid;
    void* out = nullptr;
    if (DllGetClassObject(clsid, com::IID_IClassFactory, &out) != com::S_OK)
        return false;
    auto* factory = static_cast<com::IClassFactory*>(out);
    void* object = nullptr;
    const bool created = factory->CreateInstance(nullptr, clsid, &object) == com::S_OK;
    factory->Release();
    if (!created)
        return false;
    auto* driver = static_cast<IASIO*>(object);
    bool ok = driver->init(nullptr) == ASIOTrue && driver->setSampleRate(kRate) == ASE_OK;
    AsioLong inputs = 0, outputs = 0, mn = 0, mx = 0, preferred = 0, granularity = 0;
    ok = ok && driver->getChannels(&inputs, &outputs) == ASE_OK &&
         driver->getBufferSize(&mn, &mx, &preferred, &granularity) == ASE_OK;
    std::vector<ASIOBufferInfo> buffers;
    for (AsioLong c = 0; c < inputs; ++c)
        buffers.push_back(ASIOBufferInfo{ASIOTrue, c, {nullptr, nullptr}});
    for (AsioLong c = 0; c < outputs; ++c)
        buffers.push_back(ASIOBufferInfo{ASIOFalse, c, {nullptr, nullptr}});
    static ASIOCallbacks callbacks{&bufferSwitch, &sampleRateDidChange, &asioMessage, &bufferSwitchTimeInfo};
    frames = uint32_t(preferred);
    ok = ok && driver->createBuffers(buffers.data(), AsioLong(buffers.size()), preferred, &callbacks) == ASE_OK;
    if (ok) {
        g_measure.record = record;
        const size_t blocks = size_t(seconds + 2) * kRate / frames;
        g_measure.latencyUs.reserve(blocks);
        g_measure.driverCpuUs.reserve(blocks);
        ok = driver->start() == ASE_OK;
    }
    if (ok) {
        // One second to settle (priorities negotiated, pages touched).
        std::this_thread::sleep_for(std::chrono::seconds(1));
        g_measure.measuring = true;
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        g_measure.measuring = false;
        driver->stop();
    }
    driver->disposeBuffers();
    driver->Release();
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    if (const char* env = std::getenv("ORVO_BENCH_SECONDS"))
        seconds = std::atoi(env);
    if (argc > 1)
        seconds = std::atoi(argv[1]);
    const uint32_t ms = argc > 2 ? uint32_t(std::atoi(argv[2])) : 1;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds [milliseconds]]\n", argv[0]);
        return 2;
    }
    // The machine's registry and drive live in a directory of their own.
    std::string rootTemplate = (std::filesystem::temp_directory_path() / "orvo-bench-XXXXXX").string();
    if (!mkdtemp(rootTemplate.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path root = rootTemplate;
    std::filesystem::create_directories(root / "registry");
    std::filesystem::create_directories(root / "drive");
    reg::Registry::setMachineRoot(root / "registry");
    w32::setDriveRoot((root / "drive").string());
    const std::string loadBefore = loadAverage();

    bool ok = orvo::machine::boot(true);
    uint32_t frames = 0;
    uint32_t slips = 0, readsFailed = 0, writesFailed = 0;
    if (ok) {
        kplat::usb::HostController bus;
        sim::mixer::Mixer mixer(sim::mixer::profiles::qx1600(), 1);
        const uint32_t port = bus.plug(mixer.usb('A'));
        ok = bus.device(port) != nullptr;
        if (ok) {
            const k::DeviceContext* c = k::GetDeviceContext(*bus.device(port));
            ok = stream(c->asioInfo, seconds, ms, frames);
            const k::AsioInfo info(c->asioInfo);
            slips = info.slipsTotal();
            readsFailed = info.readsFailed();
            writesFailed = info.writesFailed();
        }
        bus.unplug(port);
    }
    orvo::machine::shutdown();
    std::filesystem::remove_all(root);
    if (!ok) {
        std::puts("streaming did not run");
        return 1;
    }
    std::printf("ASIO host in real-time mode: %u Hz, %u-frame blocks, %d s, %llu buffer switches; load average "
                "%s before, %s after (%u cores)\n",
                kRate, frames, seconds, static_cast<unsigned long long>(g_measure.switches), loadBefore.c_str(),
                loadAverage().c_str(), std::thread::hardware_concurrency());
    std::printf("  kernel: slips %u, transfers failed %u read, %u written\n", slips, readsFailed, writesFailed);
    std::vector<double> latency = std::move(g_measure.latencyUs);
    printPercentiles("block event to bufferSwitch entered", latency);
    printPercentiles("streaming thread processor time per block outside the callback", g_measure.driverCpuUs);
    const bool met = !latency.empty() && percentile(latency, 50) <= 50 && percentile(latency, 99.9) <= 500;
    std::printf("  targets (median <= 50 us, 99.9th percentile <= 500 us): %s\n", met ? "met" : "not met");
    return 0;
}
