// orvo-sim-mixer: runs one simulated mixer's MIDI function on virtual MIDI
// ports (JACK, or the ALSA sequencer where it exists), so programs can find it
// and talk to it over real MIDI.
//
//   orvo-sim-mixer [--model 1|2] [--serial N] [--ports 1|2] [--channel N]
//                  [--version a.b.c.d] [--region N] [--name TEXT] [--delay MS]
//
// Carries the bootloader half the tests use: an update restarts it into its
// bootloader (ports away and back) and, once programmed, back into its
// application with the new version.
//
// Prints "ready <port names>" once its ports exist. Reads commands on standard
// input: "unplug", "plug", "silent on|off", "controls" (prints what control
// changes arrived), "quit". Ends on SIGINT or SIGTERM.

#include "mixer/midi/rtmidi_output_keeper.h"
#include "sim/mixer/midi_bootloader.h"
#include "sim/mixer/midi_mixer.h"

#include <RtMidi.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<bool> g_quit{false};

void onSignal(int) { g_quit = true; }

RtMidi::Api chooseApi()
{
    if (const char* e = std::getenv("ORVO_MIDI_API")) {
        if (std::strcmp(e, "jack") == 0)
            return RtMidi::UNIX_JACK;
        if (std::strcmp(e, "alsa") == 0)
            return RtMidi::LINUX_ALSA;
    }
    return access("/dev/snd/seq", R_OK | W_OK) == 0 ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

void onError(RtMidiError::Type type, const std::string& text, void*)
{
    std::fprintf(stderr, "orvo-sim-mixer: MIDI error %d: %s\n", static_cast<int>(type), text.c_str());
}

// One USB port's MIDI function on two virtual ports.
struct VirtualPair {
    orvo::sim::MidiMixer* mixer = nullptr;
    unsigned port = 0;
    std::unique_ptr<RtMidiIn> in;   // what the host sends to the mixer
    Orvo::KeptRtMidiOut out;        // what the mixer sends to the host
    std::mutex outMutex;

    static void onInput(double, std::vector<unsigned char>* message, void* user)
    {
        auto* self = static_cast<VirtualPair*>(user);
        if (!message->empty())
            self->mixer->receive(self->port, message->data(), message->size());
    }

    bool open(RtMidi::Api api)
    {
        const std::string name = mixer->inputName(port);
        try {
            in = std::make_unique<RtMidiIn>(api, name, 100);
            in->setErrorCallback(onError, nullptr);
            in->ignoreTypes(false, true, true);
            in->setCallback(onInput, this);
            out = Orvo::makeKeptRtMidiOut(api, name);
            out->setErrorCallback(onError, nullptr);
            out->openVirtualPort("MIDI");
            in->openVirtualPort("MIDI");
        } catch (const RtMidiError& e) {
            std::fprintf(stderr, "orvo-sim-mixer: %s\n", e.getMessage().c_str());
            close();
            return false;
        }
        return true;
    }

    void close()
    {
        // The input goes first and without the lock: its callback may be
        // waiting for the lock to answer, and closing the input waits for
        // that callback.
        in.reset();
        std::lock_guard lock(outMutex);
        out.reset();
    }

    void send(const uint8_t* bytes, size_t n)
    {
        std::lock_guard lock(outMutex);
        if (out)
            out->sendMessage(bytes, n);
    }
};

bool parseVersion(const char* text, orvo::sim::MidiMixerConfig& c)
{
    unsigned a, b, d, e;
    if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &d, &e) != 4 || a > 255 || b > 255 || d > 255 || e > 255)
        return false;
    c.firmwareMajor = static_cast<uint8_t>(a);
    c.firmwareMinor = static_cast<uint8_t>(b);
    c.firmwarePatch = static_cast<uint8_t>(d);
    c.firmwareBuild = static_cast<uint8_t>(e);
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: orvo-sim-mixer [--model 1|2] [--serial N] [--ports 1|2] [--channel N] "
                         "[--version a.b.c.d] [--region N] [--name TEXT] [--delay MS]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    orvo::sim::MidiMixerConfig config;
    config.serialNumber = 1000001;
    uint32_t delay = 0;
    bool nameGiven = false, versionGiven = false;
    std::string name;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return usage();
        const char* v = argv[++i];
        if (arg == "--model") {
            config.usbId = std::strcmp(v, "2") == 0 ? 0x3A710019 : 0x3A710018;
        } else if (arg == "--serial") {
            config.serialNumber = static_cast<uint32_t>(std::strtoul(v, nullptr, 0));
        } else if (arg == "--ports") {
            config.twoPorts = std::strcmp(v, "2") == 0;
        } else if (arg == "--channel") {
            config.channel = static_cast<uint8_t>(std::atoi(v));
            if (config.channel < 1 || config.channel > 16)
                return usage();
        } else if (arg == "--version") {
            if (!parseVersion(v, config))
                return usage();
            versionGiven = true;
        } else if (arg == "--region") {
            config.regionNumber = static_cast<uint32_t>(std::strtoul(v, nullptr, 0));
        } else if (arg == "--name") {
            name = v;
            nameGiven = true;
        } else if (arg == "--delay") {
            delay = static_cast<uint32_t>(std::strtoul(v, nullptr, 0));
        } else {
            return usage();
        }
    }
    const bool second = config.usbId == 0x3A710019;
    config.name = nameGiven ? name : (second ? "ZR90Alpha" : "QX1600");
    if (!versionGiven)
        config.firmwareBuild = second ? 133 : 94;

    orvo::sim::MidiMixer mixer(config);
    mixer.setReplyDelay(delay);
    const RtMidi::Api api = chooseApi();
    std::vector<std::unique_ptr<VirtualPair>> pairs;
    for (unsigned p = 0; p < mixer.portCount(); ++p) {
        auto pair = std::make_unique<VirtualPair>();
        pair->mixer = &mixer;
        pair->port = p;
        VirtualPair* raw = pair.get();
        mixer.setSink(p, [raw](const uint8_t* b, size_t n) { raw->send(b, n); });
        pairs.push_back(std::move(pair));
    }
    auto plugAll = [&](bool on) {
        for (auto& p : pairs) {
            if (on && !p->open(api))
                return false;
            if (!on)
                p->close();
        }
        return true;
    };
    if (!plugAll(true))
        return 1;
    // Restarts take the ports away and bring them back through the mixer.
    orvo::sim::MidiMixerFirmware firmware(mixer);
    mixer.setPlugHook([&](unsigned port, bool on) {
        if (on)
            pairs[port]->open(api);
        else
            pairs[port]->close();
    });

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("ready");
    for (unsigned p = 0; p < mixer.portCount(); ++p)
        std::printf(" '%s'", mixer.inputName(p).c_str());
    std::printf("\n");
    std::fflush(stdout);

    std::thread commands([&] {
        std::string line;
        while (!g_quit && std::getline(std::cin, line)) {
            if (line == "quit") {
                g_quit = true;
            } else if (line == "unplug") {
                mixer.setPlugged(false);
                std::puts("unplugged");
            } else if (line == "plug") {
                mixer.setPlugged(true); // a port that fails to open says so on standard error
                std::puts("plugged");
            } else if (line == "controls") {
                // Every control change received so far: "controls N ch:controller:value ...".
                const auto cc = mixer.receivedControlChanges();
                std::printf("controls %zu", cc.size());
                for (const auto& c : cc)
                    std::printf(" %u:%u:%u", unsigned{c.channel}, unsigned{c.controller}, unsigned{c.value});
                std::printf("\n");
            } else if (line == "silent on" || line == "silent off") {
                mixer.setSilent(line == "silent on");
            }
            std::fflush(stdout);
        }
    });
    commands.detach(); // a blocked read of standard input must not hold up the exit
    while (!g_quit)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    firmware.waitIdle(); // no restart may still open or close a pair
    mixer.setPlugHook(nullptr);
    plugAll(false);
    // The pairs go before the mixer: no late reply may still be sending through one.
    for (unsigned p = 0; p < mixer.portCount(); ++p)
        mixer.setSink(p, nullptr);
    const auto cc = mixer.receivedControlChanges();
    std::printf("received %zu control changes\n", cc.size());
    return 0;
}
