// orvo-kernel-client: a plain client of the kernel driver in a process of
// its own (beside orvo-machine, through ORVO_MACHINE_SOCKET).
//
// orvo-kernel-client --interface {GUID} [--seconds S] [--rate HZ] [--block FRAMES]
//                    [--set-rate HZ] [--hold S]
// Streams for S seconds and prints one line "client blocks=N wakeups=W
// lost=L resets=R" (lost: frames the wall clock says were due and did not
// come, beyond two blocks); with --set-rate it only sends its process id and
// asks for that rate, prints "rate HZ ok|refused" and keeps its handle open
// for --hold seconds. --stall S stops for S seconds after registering
// without waking or sending anything (a client that does not answer).
// Exit 0 on success.

#include "classcomp/kernel/asio_info.h"
#include "classcomp/kernel/io_control.h"
#include "platform/com/guid_string.h"
#include "platform/win32/handles.h"
#include "sim/machine/kernel_session.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace orvo::kernel;
using orvo::demo::KernelSession;

int usage()
{
    std::fprintf(stderr, "usage: orvo-kernel-client --interface {GUID} [--seconds S] [--rate HZ] [--block FRAMES] "
                         "[--set-rate HZ] [--hold S] [--stall S]\n");
    return 2;
}

struct Options {
    w32::GUID interfaceClass;
    double seconds = 2;
    uint32_t rate = 48000;
    uint32_t blockFrames = 256;
    uint32_t setRate = 0;
    double hold = 0;
    double stall = 0;
};

int setRate(KernelSession& session, const Options& o)
{
    const bool ok = session.message(kMsgClientProcessId, device_message::kSet, w32::GetCurrentProcessId()) &&
                    session.message(kMsgSampleRate, device_message::kSet, o.setRate);
    std::printf("rate %u %s\n", o.setRate, ok ? "ok" : "refused");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::duration<double>(o.hold));
    return ok ? 0 : 1;
}

int stream(KernelSession& session, const Options& o)
{
    orvo::demo::StreamSetup setup;
    if (!session.startStream(o.rate, o.blockFrames, setup)) {
        std::puts("client did not register");
        return 1;
    }
    std::printf("client registered slot=%u record=0x%08X\n", setup.clientSlot, setup.statusRecord);
    std::fflush(stdout);
    auto* record = reinterpret_cast<uint8_t*>(uintptr_t(setup.statusRecord));
    AsioInfo info(record);
    if (o.stall > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(o.stall));
    orvo::demo::BlockTally tally;
    bool counting = false;
    uint64_t wakeups = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (!session.waitBlock(100))
            continue;
        ++wakeups;
        orvo::demo::keepBoosted(record, setup.clientSlot);
        const uint64_t count = info.asioBlockCount();
        if (count == 0)
            continue;
        if (!counting)
            tally.start(count, orvo::demo::wallTicks());
        counting = true;
        tally.see(count);
    }
    const kplat::Ticks now = orvo::demo::wallTicks();
    const int64_t lost = int64_t(tally.expectedFrames(now, o.rate)) - int64_t(tally.deliveredFrames(o.blockFrames));
    const int64_t beyond = lost > int64_t(2 * o.blockFrames) ? lost : 0;
    std::printf("client blocks=%llu wakeups=%llu lost=%lld resets=%llu\n",
                static_cast<unsigned long long>(tally.deliveredFrames(1)), static_cast<unsigned long long>(wakeups),
                static_cast<long long>(beyond), static_cast<unsigned long long>(tally.resets()));
    return counting && beyond == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    bool haveInterface = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char* v = argv[i + 1];
        if (arg == "--interface") {
            const std::u16string text(v, v + std::strlen(v));
            haveInterface = com::CLSIDFromString(text.c_str(), &o.interfaceClass) == 0;
        } else if (arg == "--seconds") {
            o.seconds = std::strtod(v, nullptr);
        } else if (arg == "--rate") {
            o.rate = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (arg == "--block") {
            o.blockFrames = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (arg == "--set-rate") {
            o.setRate = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (arg == "--hold") {
            o.hold = std::strtod(v, nullptr);
        } else if (arg == "--stall") {
            o.stall = std::strtod(v, nullptr);
        } else {
            return usage();
        }
    }
    if (!haveInterface || argc % 2 == 0)
        return usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    KernelSession session;
    if (!session.open(o.interfaceClass)) {
        std::puts("client: the device interface did not open");
        return 1;
    }
    const int result = o.setRate ? setRate(session, o) : stream(session, o);
    session.close();
    return result;
}
