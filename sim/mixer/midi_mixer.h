#pragma once
// The simulated mixer's MIDI function, as bytes in and bytes out: one input and
// one output port per USB port of the mixer. The application answers the
// discovery query 'p' with its 48-byte descriptor 'q', the channel query 07
// with 08 ch, the value query 05 with every parameter as a control change and
// then 06, and stores the channel from 0B ch. Every control change it receives
// is recorded. The bootloader half ('r', 's', 'x') plugs in through
// MidiMixerBootloader.
//
// The same object runs on the in-process simulated bus (midi_mixer_bus.h) and
// behind real virtual ports (the orvo-sim-mixer program). It knows nothing of
// either: each port's bytes toward the host go to the port's sink.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvo::sim {

class MidiMixer;

// What the bootloader side of the mixer does with the own-protocol messages
// that are not discovery. Called with the mixer's lock released; the hook
// answers through MidiMixer::sendData / sendFlashAck / setBootloaderRunning.
class MidiMixerBootloader {
public:
    virtual ~MidiMixerBootloader() = default;
    // 'r' arrived on USB port `port` (0 = A, 1 = B).
    virtual void onEnterBootloader(MidiMixer& mixer, unsigned port) = 0;
    // An 's' addressed to this mixer; `message` is what follows id words A and B.
    virtual void onData(MidiMixer& mixer, unsigned port, const uint8_t* message, size_t length) = 0;
    // An 'x' addressed to this mixer.
    virtual void onFlashParam(MidiMixer& mixer, unsigned port, uint32_t value, uint8_t command) = 0;
};

struct MidiMixerConfig {
    uint32_t usbId = 0x3A710018;       // first model; 0x3A710019 is the second
    uint32_t serialNumber = 1000001;
    uint8_t firmwareMajor = 1, firmwareMinor = 0, firmwarePatch = 5, firmwareBuild = 94;
    uint32_t regionNumber = 0;
    std::string name = "QX1600";       // the descriptor's name (at most 19 bytes)
    std::string portName;              // MIDI port names; "" = the descriptor name
    bool twoPorts = false;             // USB ports A and B, each with its MIDI pair
    uint8_t channel = 1;               // MIDI channel, 1..16
};

class MidiMixer {
public:
    // Sink of one port's bytes toward the host: one call per whole message.
    using Sink = std::function<void(const uint8_t* bytes, size_t length)>;

    struct ControlChange {
        unsigned port;
        uint8_t channel; // 1..16
        uint8_t controller;
        uint8_t value;
        bool operator==(const ControlChange&) const = default;
    };

    // Ways of answering wrongly, on demand.
    enum class Malformed {
        None,
        ShortDescriptor,  // 'q' with 47 descriptor bytes
        LongDescriptor,   // 'q' with 49 descriptor bytes
        ChannelWithoutData, // 08 without its channel byte
        BrokenFrame,      // a status byte inside the descriptor frame
    };

    explicit MidiMixer(MidiMixerConfig config);
    ~MidiMixer();
    MidiMixer(const MidiMixer&) = delete;
    MidiMixer& operator=(const MidiMixer&) = delete;

    const MidiMixerConfig& config() const { return config_; }
    bool secondModel() const { return config_.usbId == 0x3A710019; }

    // Ports: 1, or 2 with twoPorts (index 0 is A, 1 is B).
    unsigned portCount() const { return config_.twoPorts ? 2 : 1; }
    static char portLetter(unsigned port) { return port == 0 ? 'A' : 'B'; }
    // Names the host sees for the port's input (the mixer's MIDI out) and
    // output (the mixer's MIDI in): equal, so the pairing rule matches them.
    std::string inputName(unsigned port) const;
    std::string outputName(unsigned port) const;
    // Returns once no other thread is still inside the old sink, so that its
    // owner may free what it refers to.
    void setSink(unsigned port, Sink sink);

    // Bytes the host sent to the port, in chunks of any size.
    void receive(unsigned port, const uint8_t* bytes, size_t length);

    // The descriptor the port answers 'p' with (48 bytes).
    std::vector<uint8_t> descriptor(unsigned port) const;

    // State.
    uint8_t channel() const;
    std::map<uint8_t, uint8_t> parameters() const; // key -> value
    void setParameter(uint8_t key, uint8_t value);
    std::vector<ControlChange> receivedControlChanges() const;
    void clearReceived();
    unsigned queriesSeen(unsigned port) const; // 'p' messages received

    // Faults and behaviour on demand.
    void setSilent(bool on);                 // answer nothing at all
    void setReplyDelay(uint32_t ms);         // every answer leaves ms later (on w32::clock())
    void setMalformed(Malformed how);
    // Plugging: a plug hook (the bus attachment) adds or removes the ports.
    void setPlugHook(std::function<void(unsigned port, bool plugged)> hook);
    void setPlugged(bool plugged);           // every port
    void setPortPlugged(unsigned port, bool plugged);
    bool portPlugged(unsigned port) const;

    // Bootloader half.
    void setBootloader(MidiMixerBootloader* bootloader);
    // While the bootloader runs, 'p' is answered with firmware major 0 and the
    // settings messages go unanswered.
    void setBootloaderRunning(bool on);
    bool bootloaderRunning() const;
    void setFirmwareVersion(uint8_t major, uint8_t minor, uint8_t patch, uint8_t build);
    // Replies of the bootloader half: 's' {A, B, message} and the 'x' acknowledgement.
    void sendData(unsigned port, const uint8_t* message, size_t length);
    void sendFlashAck(unsigned port, uint32_t value);

    // Sends a raw message toward the host on the port (tests: unsolicited data).
    void sendRaw(unsigned port, const std::vector<uint8_t>& bytes);

    // Own 8-to-7 packing (kept apart from the product's so each checks the other).
    static std::vector<uint8_t> pack(const uint8_t* bytes, size_t n);
    static std::vector<uint8_t> unpack(const uint8_t* bytes, size_t m);

private:
    struct PortState;
    struct Delayed;

    void handleMessage(unsigned port, const std::vector<uint8_t>& message);
    void handleSysEx(unsigned port, const uint8_t* payload, size_t length);
    void emit(unsigned port, std::vector<uint8_t> bytes);
    void emitSysEx(unsigned port, const std::vector<uint8_t>& payload);
    void deliver(unsigned port, const std::vector<uint8_t>& bytes);

    MidiMixerConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable sinkIdle_;
    unsigned delivering_ = 0; // calls into a sink copied out of the lock
    std::vector<std::unique_ptr<PortState>> ports_;
    std::map<uint8_t, uint8_t> parameters_;
    std::vector<ControlChange> received_;
    bool silent_ = false;
    uint32_t delay_ = 0;
    Malformed malformed_ = Malformed::None;
    bool bootloaderRunning_ = false;
    MidiMixerBootloader* bootloader_ = nullptr;
    std::function<void(unsigned, bool)> plugHook_;
    std::unique_ptr<Delayed> delayed_;
};

// Parameter keys and power-on values of the model with this USB id.
std::map<uint8_t, uint8_t> defaultMixerParameters(uint32_t usbId);

} // namespace orvo::sim
