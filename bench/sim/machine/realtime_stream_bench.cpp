// Streams in real time through the kernel driver on the simulated machine,
// as one client process that registers for elevated priority the way the
// ASIO driver does, while a busy thread on every core loads the machine.
// Prints frames delivered against wall time, transfer failures and the
// block-event-to-client wake-up latency.
//
// Usage: bench_realtime_stream [seconds [block frames]]; ORVO_BENCH_SECONDS
// sets the duration too (default 60 s, 48-frame blocks at 48 kHz).

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/device_context.h"
#include "classcomp/kernel/io_control.h"
#include "platform/kernel/clock.h"
#include "platform/kernel/io_manager.h"
#include "platform/kernel/usb_bus.h"
#include "platform/object/event.h"
#include "platform/object/host_scheduling.h"
#include "platform/object/process.h"
#include "platform/registry/registry.h"
#include "sim/machine/kernel_session.h"
#include "sim/machine/machine.h"
#include "sim/mixer/mixer.h"
#include "sim/mixer/profile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>

namespace {

using namespace orvo::kernel;
using Steady = std::chrono::steady_clock;

constexpr uint32_t kRate = 48000;

// Room for `n` samples whose pages are touched now: a page fault on the
// measuring thread is a delay the measurement would add to what it measures.
void prefault(std::vector<double>& v, size_t n)
{
    v.resize(n);
    v.clear();
}

// One busy thread per core at normal priority; each ends by itself at
// `until`, so a benchmark that stops early or hangs leaves no load behind.
class BackgroundLoad {
public:
    explicit BackgroundLoad(Steady::time_point until)
    {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < cores; ++i)
            threads_.emplace_back([this, until] { spin(until); });
    }
    ~BackgroundLoad()
    {
        stop_.store(true);
        for (auto& t : threads_)
            t.join();
    }
    size_t threads() const { return threads_.size(); }

private:
    void spin(Steady::time_point until)
    {
        // Touches a buffer larger than a core's cache, so the load competes
        // for memory as well as for the cores.
        std::vector<uint32_t> buffer(1 << 20);
        uint32_t x = 1;
        while (!stop_.load(std::memory_order_relaxed) && Steady::now() < until) {
            for (size_t i = 0; i < buffer.size(); i += 16) {
                x = x * 1664525u + 1013904223u;
                buffer[i] += x;
            }
        }
        sink_.fetch_add(buffer[x % buffer.size()], std::memory_order_relaxed);
    }
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> sink_{0};
};

// What the machine gives any real-time thread: a bare thread at the kernel
// clock thread's schedule that sleeps to absolute 1 ms deadlines and notes
// how late it wakes. Lateness here is the platform's, not the driver's.
class ReferenceTimer {
public:
    ReferenceTimer() : thread_([this] { run(); }) {}
    ~ReferenceTimer() { stop(); }
    void stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<double>& latenessUs() { return lateness_; }

private:
    void run()
    {
        ob::host::apply(ob::host::currentThreadId(), ob::host::dispatchSchedule());
        prefault(lateness_, 200'000);
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (!stop_.load(std::memory_order_relaxed) && lateness_.size() < lateness_.capacity()) {
            next.tv_nsec += 1'000'000;
            if (next.tv_nsec >= 1'000'000'000) {
                next.tv_nsec -= 1'000'000'000;
                ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double late = double(now.tv_sec - next.tv_sec) * 1e6 + double(now.tv_nsec - next.tv_nsec) / 1e3;
            lateness_.push_back(late);
            if (late > 1000) // a late wake-up starts a new period rather than catching up
                next = now;
        }
    }
    std::vector<double> lateness_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Figures {
    double seconds = 0;
    uint64_t expectedFrames = 0;
    uint64_t deliveredFrames = 0;
    uint64_t wakeups = 0;
    uint64_t resets = 0;
    uint32_t readsFailed = 0;
    uint32_t writesFailed = 0;
    uint32_t lateBlocks = 0;
    long minorFaults = 0;
    long majorFaults = 0;
    std::vector<double> latencyUs;
};

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    size_t i = static_cast<size_t>(p / 100.0 * double(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

bool stream(const kplat::Guid& interfaceClass, uint32_t blockFrames, int seconds, Figures& out)
{
    ob::Ref<ob::Process> process = ob::Process::create();
    ob::ProcessScope scope(process);
    orvo::demo::KernelSession session;
    if (!session.open(orvo::demo::win32Guid(interfaceClass)))
        return false;
    orvo::demo::StreamSetup setup;
    if (!session.startStream(kRate, blockFrames, setup)) {
        session.close();
        return false;
    }
    uint8_t* record = reinterpret_cast<uint8_t*>(uintptr_t(setup.statusRecord));
    AsioInfo info(record);
    kplat::Clock& clock = kplat::kernelClock();
    auto extendDeadline = [&] { orvo::demo::keepBoosted(record, setup.clientSlot); };

    // One second to settle, then the measured stretch begins at a block.
    const auto warmEnd = Steady::now() + std::chrono::seconds(1);
    while (Steady::now() < warmEnd)
        if (session.waitBlock(100))
            extendDeadline();
    prefault(out.latencyUs, size_t(seconds) * kRate / blockFrames + 1024);
    const uint32_t readsFailed0 = info.readsFailed();
    const uint32_t writesFailed0 = info.writesFailed();
    const uint32_t late0 = info.lateBlocks();
    rusage usage0{};
    getrusage(RUSAGE_SELF, &usage0);
    uint64_t lastBlockTime = info.lastBlockTime();
    const kplat::Ticks begin = clock.now();
    const kplat::Ticks end = begin + uint64_t(seconds) * kplat::kTicksPerSecond;
    orvo::demo::BlockTally tally;
    tally.start(info.asioBlockCount(), begin);
    for (kplat::Ticks now = begin; now < end; now = clock.now()) {
        if (!session.waitBlock(100))
            continue;
        const kplat::Ticks woke = clock.now();
        // The block time is stored just after the events are set: a client
        // on another core can be quicker than that store.
        uint64_t blockTime = info.lastBlockTime();
        for (int i = 0; i < 1000 && blockTime == lastBlockTime; ++i)
            blockTime = info.lastBlockTime();
        tally.see(info.asioBlockCount());
        if (blockTime != lastBlockTime && woke >= blockTime && woke - blockTime < kplat::kTicksPerSecond)
            out.latencyUs.push_back(double(woke - blockTime) / 10.0);
        lastBlockTime = blockTime;
        ++out.wakeups;
        extendDeadline();
    }
    const kplat::Ticks finish = clock.now();
    out.seconds = tally.seconds(finish);
    out.expectedFrames = tally.expectedFrames(finish, kRate);
    out.deliveredFrames = tally.deliveredFrames(blockFrames);
    out.resets = tally.resets();
    out.readsFailed = info.readsFailed() - readsFailed0;
    out.writesFailed = info.writesFailed() - writesFailed0;
    out.lateBlocks = info.lateBlocks() - late0;
    rusage usage1{};
    getrusage(RUSAGE_SELF, &usage1);
    out.minorFaults = usage1.ru_minflt - usage0.ru_minflt;
    out.majorFaults = usage1.ru_majflt - usage0.ru_majflt;
    session.close();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    if (const char* env = std::getenv("ORVO_BENCH_SECONDS"))
        seconds = std::atoi(env);
    if (argc > 1)
        seconds = std::atoi(argv[1]);
    const uint32_t blockFrames = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 48;
    if (seconds <= 0 || blockFrames == 0) {
        std::fprintf(stderr, "usage: %s [seconds [block frames]]\n", argv[0]);
        return 2;
    }

    // The machine's registry lives in a directory of its own for the run.
    std::string rootTemplate = (std::filesystem::temp_directory_path() / "orvo-bench-XXXXXX").string();
    if (!mkdtemp(rootTemplate.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path root = rootTemplate;
    reg::Registry::setMachineRoot(root);

    // Locking memory is there for comparison: the stream path takes no page
    // faults after its first pass (the figures below say how many).
    const char* lockEnv = std::getenv("ORVO_BENCH_MLOCK");
    const bool locked = lockEnv && std::strcmp(lockEnv, "1") == 0 && mlockall(MCL_CURRENT | MCL_FUTURE) == 0;
    // ORVO_BENCH_NORMAL_PRIORITY=1: every thread stays at normal priority,
    // as before priorities were applied, for a comparison on the same machine.
    const char* normalEnv = std::getenv("ORVO_BENCH_NORMAL_PRIORITY");
    const bool normalOnly = normalEnv && std::strcmp(normalEnv, "1") == 0;
    static constexpr ob::host::Setter kLeaveAlone{[](pid_t, int, int) { return 0; }, [](pid_t, int) { return 0; }};
    if (normalOnly)
        ob::host::setSetterForTesting(&kLeaveAlone);
    bool ok = orvo::machine::boot(true);
    Figures f;
    size_t loadThreads = 0;
    std::vector<double> platformFloor;
    if (ok) {
        kplat::usb::HostController bus;
        sim::mixer::Mixer mixer(sim::mixer::profiles::qx1600(), 1);
        const uint32_t port = bus.plug(mixer.usb('A'));
        kplat::Device* device = bus.device(port);
        ok = device != nullptr;
        if (ok) {
            const kplat::Guid interfaceClass = orvo::kernel::GetDeviceContext(*device)->interfaceGuid;
            BackgroundLoad load(Steady::now() + std::chrono::seconds(seconds + 15));
            loadThreads = load.threads();
            ReferenceTimer reference;
            // The client streams on a thread of its own, which the kernel
            // raises; it ends with the stream.
            std::thread client([&] { ok = stream(interfaceClass, blockFrames, seconds, f); });
            client.join();
            reference.stop();
            platformFloor = std::move(reference.latenessUs());
        }
        bus.unplug(port);
    }
    orvo::machine::shutdown();
    std::filesystem::remove_all(root);
    if (!ok) {
        std::puts("streaming did not run");
        return 1;
    }

    std::sort(f.latencyUs.begin(), f.latencyUs.end());
    std::sort(platformFloor.begin(), platformFloor.end());
    auto printPercentiles = [](const std::vector<double>& v) {
        std::printf("median %.0f  99th %.0f  99.9th %.0f  max %.0f\n", percentile(v, 50), percentile(v, 99),
                    percentile(v, 99.9), v.empty() ? 0.0 : v.back());
    };
    const int64_t lost = int64_t(f.expectedFrames) - int64_t(f.deliveredFrames);
    std::printf("real-time stream: %u Hz, %u-frame blocks, %.1f s, %zu busy threads of background load\n", kRate,
                blockFrames, f.seconds, loadThreads);
    std::printf("  frames   expected %llu  delivered %llu  lost %lld (%.3f %%)\n",
                static_cast<unsigned long long>(f.expectedFrames), static_cast<unsigned long long>(f.deliveredFrames),
                static_cast<long long>(lost), f.expectedFrames ? 100.0 * double(lost) / double(f.expectedFrames) : 0.0);
    std::printf("  transfers  reads failed %u  writes failed %u  late blocks %u  stream resets %llu\n", f.readsFailed,
                f.writesFailed, f.lateBlocks, static_cast<unsigned long long>(f.resets));
    std::printf("  wake-up latency (us, %zu of %llu wake-ups)  ", f.latencyUs.size(),
                static_cast<unsigned long long>(f.wakeups));
    printPercentiles(f.latencyUs);
    std::printf("  platform: bare timer thread lateness (us, %zu periods of 1 ms)  ", platformFloor.size());
    printPercentiles(platformFloor);
    std::printf("  page faults in the stretch: %ld minor, %ld major; memory %s; priorities %s\n", f.minorFaults,
                f.majorFaults, locked ? "locked" : "not locked", normalOnly ? "all normal" : "applied");
    // Frames are counted in whole blocks at block wake-ups: a few blocks of
    // difference are the measurement's own granularity.
    const bool targets = lost <= int64_t(4 * blockFrames) && f.readsFailed == 0 && f.writesFailed == 0 &&
                         percentile(f.latencyUs, 99.9) <= 500;
    std::printf("  targets (no frame lost, 99.9th percentile <= 500 us): %s\n", targets ? "met" : "not met");
    return 0;
}
