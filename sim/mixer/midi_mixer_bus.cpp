#include "sim/mixer/midi_mixer_bus.h"

#include <mutex>
#include <vector>

namespace orvo::sim {

struct MidiMixerOnBus::State {
    MidiBus& bus;
    MidiMixer& mixer;
    int position;
    std::mutex mutex;
    struct Ids {
        MidiBus::PortId in = 0, out = 0;
    };
    std::vector<Ids> ids;

    State(MidiBus& b, MidiMixer& m, int p) : bus(b), mixer(m), position(p), ids(m.portCount()) {}

    void plug(unsigned port, bool on)
    {
        std::lock_guard lock(mutex);
        Ids& id = ids[port];
        if (on && id.in == 0) {
            const int at = position < 0 ? -1 : position + static_cast<int>(port);
            id.in = bus.addInputPort(mixer.inputName(port), at);
            id.out = bus.addOutputPort(
                mixer.outputName(port), [this, port](const uint8_t* b, size_t n) { mixer.receive(port, b, n); }, at);
            const MidiBus::PortId in = id.in;
            mixer.setSink(port, [this, in](const uint8_t* b, size_t n) { bus.toHost(in, b, n); });
        } else if (!on && id.in != 0) {
            mixer.setSink(port, nullptr);
            bus.removePort(id.in);
            bus.removePort(id.out);
            id = Ids{};
        }
    }
};

MidiMixerOnBus::MidiMixerOnBus(MidiBus& bus, MidiMixer& mixer, int position)
    : state_(std::make_shared<State>(bus, mixer, position))
{
    for (unsigned p = 0; p < mixer.portCount(); ++p)
        if (mixer.portPlugged(p))
            state_->plug(p, true);
    State* s = state_.get();
    mixer.setPlugHook([s](unsigned port, bool on) { s->plug(port, on); });
}

MidiMixerOnBus::~MidiMixerOnBus()
{
    state_->mixer.setPlugHook(nullptr);
    for (unsigned p = 0; p < state_->mixer.portCount(); ++p)
        state_->plug(p, false);
}

} // namespace orvo::sim
