// The simulated mixer's own share of a stream: 60 simulated seconds of
// record and playback packets, one of each per microframe, as the bus would
// exchange them. Prints CPU time per simulated second and the ratio to real
// time.

#include "sim/mixer/descriptors.h"
#include "sim/mixer/usb_audio_device.h"

#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void run(const char* label, uint32_t channels, uint32_t rate, bool recordPlayback) {
    using namespace sim::mixer;
    Profile p = profiles::maxChannels();
    p.key = label;
    p.record.channelNames = numberedNames(u"In", channels);
    p.playback.channelNames = numberedNames(u"Out", channels);
    p.initialRate = rate;
    UsbAudioDevice dev(p, 1);
    dev.setConfiguration(kConfigurationValue);
    dev.setInterface(kPlaybackInterface, 1);
    dev.setInterface(kRecordInterface, 1);
    const uint64_t seconds = 60;
    const uint64_t microframes = seconds * 8000;
    if (recordPlayback)
        dev.playback().enable(channels, uint64_t{rate} * seconds + 8, microframes);

    const uint32_t maxFrames = rate / 8000 + 1;
    std::vector<uint8_t> in(maxFrames * channels * 4);
    std::vector<uint8_t> out(in.size());
    uint64_t checksum = 0;
    const double start = cpuSeconds();
    for (uint64_t m = 0; m < microframes; ++m) {
        auto r = dev.isochIn(kRecordEndpoint, m, in);
        checksum += in[r.length > 0 ? r.length - 1 : 0];
        dev.isochOut(kPlaybackEndpoint, m, std::span<const uint8_t>(in.data(), r.length));
    }
    const double cpu = cpuSeconds() - start;
    std::printf("%-28s %2u ch %6u Hz: %8.3f ms CPU per simulated second, %8.0fx real time (check %llu)\n", label,
                channels, rate, cpu * 1000.0 / seconds, seconds / cpu,
                static_cast<unsigned long long>(checksum % 10));
}

} // namespace

int main() {
    run("mixer 16x16", 16, 48000, false);
    run("mixer 16x16, playback kept", 16, 48000, true);
    run("mixer 2x2", 2, 48000, false);
    run("mixer 20x20 at 192 kHz", 20, 192000, false);
    return 0;
}
