#pragma once
// An ASIO host, as an audio application outside the system drives the
// driver: it finds the driver's class identifier under the machine key
// Software\ASIO\<name>, resolves the class entry's InprocServer32 to the
// library, loads it, gets the class factory from DllGetClassObject and
// creates the object asking for the interface whose identifier is the class
// identifier; then init, buffers and start as the options ask, and at the end
// the last Release, DllCanUnloadNow and FreeLibrary.
//
// A reset request (asioMessage(kAsioResetRequest)) arrives on the driver's
// streaming thread: the callback only notes it; the host's own thread, in
// run(), disposes of the buffers, releases the driver and creates and
// initialises it again. Every step and callback goes to the report.
//
// The callbacks carry no context, so one host is active per process (as an
// application holds one driver).

#include "classcomp/asio/asio_interface.h"
#include "platform/com/com.h"
#include "platform/win32/library.h"
#include "sim/asiohost/block_timing.h"
#include "sim/asiohost/host_report.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace orvo::asiohost {

struct HostOptions {
    std::u16string driverName;
    uint32_t milliseconds = 0;      // how long run() keeps the driver
    bool createBuffers = false;     // getBufferSize, createBuffers and start after init
    // Level: `level` on outputs 1, 3, 5, ... and its negation on 2, 4, ...
    // (sums of hosts' levels are known exactly, and clip both ways). Count:
    // the host's frame number modulo 2^16 in the sample's top 24 bits (a
    // lost or repeated block shows as a step other than one).
    enum class Signal { Silence, Ramp, Sine, Level, Count } signal = Signal::Silence;
    double level = 0; // -1..1, for Signal::Level
    std::string recordPath;         // where the recorded input goes (raw 32-bit samples), empty: nowhere
    bool supportsTimeInfo = true;   // the answer to kAsioSupportsTimeInfo
    bool timing = false;            // measure wake-to-bufferSwitch latency and skipped blocks (block_timing.h)
};

class AsioHost {
public:
    AsioHost(HostOptions options, HostReport& report);
    ~AsioHost();
    AsioHost(const AsioHost&) = delete;
    AsioHost& operator=(const AsioHost&) = delete;

    // Registry, library, class factory, object. False (reported) on any failure.
    bool load();
    bool init();
    // Buffers and start, when the options ask for them.
    bool startStreaming();
    // Keeps the driver for the options' time on the user-mode clock, answering
    // reset requests. Returns false when a re-creation failed.
    bool run();
    // Stops, disposes, releases the driver and unloads the library.
    void release();

    int resetsAnswered() const { return resets_; }
    // What the signal is on output `channel` (from 0) at host frame `frame`,
    // as a 32-bit integer sample.
    static int32_t signalSample(const HostOptions& options, uint32_t channel, uint64_t frame);
    uint64_t bufferSwitches() const { return switches_.load(); }
    const com::CLSID& classId() const { return classId_; }

private:
    bool readClassId();
    bool readServerPath(std::u16string& path);
    bool createDriver();
    void releaseDriver();
    void switchBuffers(int32_t index);
    void writeRecording();

    static void onBufferSwitch(asio::AsioLong index, asio::ASIOBool directProcess);
    static void onSampleRateDidChange(asio::ASIOSampleRate rate);
    static asio::AsioLong onAsioMessage(asio::AsioLong selector, asio::AsioLong value, void* message, double* opt);
    static asio::ASIOTime* onBufferSwitchTimeInfo(asio::ASIOTime* time, asio::AsioLong index,
                                                  asio::ASIOBool directProcess);

    HostOptions options_;
    HostReport& report_;
    com::CLSID classId_{};
    w32::HMODULE library_ = nullptr;
    asio::DllCanUnloadNowFn canUnloadNow_ = nullptr;
    asio::IASIO* driver_ = nullptr;
    w32::HANDLE resetEvent_ = nullptr;
    std::atomic<bool> resetRequested_{false};
    int resets_ = 0;

    // Streaming state: set up on the host's thread before start, used by the
    // streaming thread's buffer switches.
    asio::ASIOCallbacks callbacks_{};
    std::vector<asio::ASIOBufferInfo> buffers_;
    std::vector<asio::ASIOSampleType> types_;
    int32_t blockFrames_ = 0;
    bool buffersCreated_ = false;
    bool started_ = false;
    std::atomic<uint64_t> switches_{0};
    uint64_t signalFrame_ = 0;
    std::vector<int32_t> recording_; // first input channel, reserved up front
    size_t recorded_ = 0;
    // What the user is shown at the end: wall time of the first and last
    // switch, frames handed over, the peak of each input channel.
    uint32_t firstSwitchMs_ = 0;
    uint32_t lastSwitchMs_ = 0;
    uint64_t framesSwitched_ = 0;
    double sampleRate_ = 0;
    std::vector<uint32_t> inputPeaks_;
    BlockTiming timing_;
    void reportStream();
    void openTiming();
};

} // namespace orvo::asiohost
