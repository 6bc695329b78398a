#include "mixer/midi/rtmidi_output_keeper.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace Orvo {

namespace {

std::atomic<unsigned long> g_kept{0};

void quietError(RtMidiError::Type, const std::string&, void*) {}

// A client of our own whose process cycles are counted. Its callback reads
// only `cycles`, and the client is closed before the counter goes.
struct CycleWatch {
    std::atomic<unsigned> cycles{0};

    static int process(jack_nframes_t, void* self)
    {
        static_cast<CycleWatch*>(self)->cycles.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }

    // True once the server has begun two cycles after this call.
    bool twoCyclesBegun(std::chrono::milliseconds limit)
    {
        jack_status_t status;
        jack_client_t* client = jack_client_open("Orvo Cycle Watch", JackNoStartServer, &status);
        if (!client)
            return false;
        bool seen = false;
        if (jack_set_process_callback(client, &CycleWatch::process, this) == 0 && jack_activate(client) == 0) {
            const auto deadline = std::chrono::steady_clock::now() + limit;
            while (!(seen = cycles.load(std::memory_order_relaxed) >= 2) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        jack_client_close(client);
        return seen;
    }
};

// Never destroyed: kept outputs may run cycles up to the process's end.
std::vector<RtMidiOut*>& keptList(std::mutex*& mutex)
{
    static auto* m = new std::mutex;
    static auto* list = new std::vector<RtMidiOut*>;
    mutex = m;
    return *list;
}

} // namespace

void RtMidiOutRelease::operator()(RtMidiOut* out) const
{
    if (!out)
        return;
    if (out->getCurrentApi() != RtMidi::UNIX_JACK) {
        delete out;
        return;
    }
    try {
        out->setErrorCallback(&quietError, nullptr);
        out->closePort();
    } catch (...) {
    }
    CycleWatch watch;
    if (watch.twoCyclesBegun(std::chrono::milliseconds(2000))) {
        delete out;
        return;
    }
    std::mutex* mutex;
    auto& list = keptList(mutex);
    std::lock_guard lock(*mutex);
    list.push_back(out);
    g_kept.fetch_add(1);
}

KeptRtMidiOut makeKeptRtMidiOut(RtMidi::Api api, const std::string& clientName)
{
    return KeptRtMidiOut(new RtMidiOut(api, clientName));
}

unsigned long keptRtMidiOutputs() { return g_kept.load(); }

} // namespace Orvo
