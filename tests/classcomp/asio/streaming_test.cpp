// Streaming through the driver object against the simulated mixer: buffer
// creation, start and stop, every input sample in its channel and block,
// output at the mixer, resets and re-creation.

#include "host_fixture.h"

#include "classcomp/asio/device_api.h"
#include "classcomp/asio/streaming_thread.h"
#include "classcomp/kernel/asio_info.h"
#include "platform/win32/message.h"
#include "platform/win32/threads.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using namespace orvo::asio;
namespace k = orvo::kernel;

class Streaming : public orvo::asio::testing::HostFixture {};

TEST(StreamingThread, TheDeadlineIsOneAndAHalfBlocksInWholeMilliseconds)
{
    const struct {
        uint32_t frames, rate, addend;
    } cases[] = {{96, 48000, 30000}, {144, 44100, 40000}, {48, 48000, 10000}, {96, 1999, 1440000}, {96, 0, 1440000}};
    for (const auto& c : cases)
        EXPECT_EQ(DeadlineAddend(c.frames, c.rate), c.addend) << c.frames << " frames at " << c.rate;
}

TEST_F(Streaming, CreatesBuffersOnTheKernelRingsAndHandsEveryInputSample)
{
    enableLog();
    ready(48000, 8);
    w32::clearDebugOutput();
    const uint32_t initialised = k::AsioInfo(context(port_)->asioInfo).buffersInitialisedCounter();
    ASIOError created = 0;
    std::string mine = logOf([&] { created = host_.create(); });
    if (created != ASE_OK) {
        std::cerr << mine;
        for (auto& e : std::filesystem::directory_iterator(logFolder())) {
            std::ifstream in(e.path());
            std::cerr << "== " << e.path() << "\n" << in.rdbuf() << "\n";
        }
    }
    ASSERT_EQ(created, ASE_OK);
    EXPECT_EQ(host_.frames, 96);
    EXPECT_EQ(host_.timeInfoQuestions.load(), 1);
    EXPECT_EQ(w32::debugOutput(), std::vector<std::string>{"createBuffers success"});
    // Every client counts its buffers down in the shared record.
    EXPECT_EQ(k::AsioInfo(context(port_)->asioInfo).buffersInitialisedCounter(), initialised - 1);
    // Halves: input channel k in the record ring, output channel k in the
    // object's own area, 2k and 2k + 1 blocks from its start.
    const uint8_t* in0 = static_cast<uint8_t*>(host_.buffers[0].buffers[0]);
    const uint8_t* out0 = static_cast<uint8_t*>(host_.buffers[16].buffers[0]);
    EXPECT_EQ(static_cast<uint8_t*>(host_.buffers[0].buffers[1]) - in0, 96 * 4);
    EXPECT_EQ(static_cast<uint8_t*>(host_.buffers[1].buffers[0]) - in0, 2 * 96 * 4);
    EXPECT_EQ(static_cast<uint8_t*>(host_.buffers[17].buffers[0]) - out0, 2 * 96 * 4);
    EXPECT_EQ(static_cast<uint8_t*>(host_.buffers[17].buffers[1]) - out0, 3 * 96 * 4);
    EXPECT_EQ(out0, object()->playbackArea());

    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(500));
    EXPECT_EQ(host_.inputErrors.load(), 0u);
    // Blocks follow each other: each starts where the last one ended, and
    // the halves alternate.
    const auto frames = host_.copy(host_.inputFrames);
    const auto indexes = host_.copy(host_.indexes);
    const auto flags = host_.copy(host_.timeInfoFlags);
    ASSERT_GE(frames.size(), 400u);
    for (size_t i = 1; i < 400; ++i)
        EXPECT_EQ(frames[i], (frames[i - 1] + 96) & sim::mixer::kSignalFrameMask) << "switch " << i;
    for (size_t i = 1; i < indexes.size(); ++i)
        EXPECT_NE(indexes[i], indexes[i - 1]);
    ASSERT_FALSE(flags.empty());
    EXPECT_EQ(flags[0], 7u);

    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(host_.driver->start(), ASE_NotPresent);
}

// Time info: flags 7 at every switch, the time code 600 s ahead of the
// sample position; a rate changed under the running host calls
// sampleRateDidChange once, flags one last switch 0x17 and asks for a reset,
// after which the new buffers stream at the new rate with flags 7 again.
TEST_F(Streaming, TimeInfoCarriesItsFlagsAndTimeCodeAndARateChangeOnce)
{
    ready(48000, 8);
    auto checkTimeCode = [&](uint64_t rate) {
        const auto positions = host_.copy(host_.samplePositions);
        const auto codes = host_.copy(host_.timeCodeSamples);
        ASSERT_GE(positions.size(), 20u);
        for (size_t i = 0; i < positions.size(); ++i) {
            EXPECT_EQ(codes[i], rate * 600 + (positions[i] & 0xFFFFFFFFu)) << "switch " << i;
            if (i > 0) {
                EXPECT_EQ(positions[i], positions[i - 1] + uint64_t(host_.frames)) << "switch " << i;
            }
        }
        for (uint32_t f : host_.copy(host_.timeInfoFlags))
            EXPECT_EQ(f, 7u);
    };
    auto streamWithTimeCode = [&](uint64_t rate) {
        EXPECT_EQ(host_.driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_SUCCESS);
        ASSERT_EQ(host_.create(), ASE_OK);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        ASSERT_TRUE(waitForSwitches(30));
        checkTimeCode(rate);
    };
    ASSERT_NO_FATAL_FAILURE(streamWithTimeCode(48000));
    EXPECT_EQ(host_.rateChanges.load(), 0);
    EXPECT_EQ(host_.rateChangedSwitches.load(), 0);

    AudioDeviceInterfaceWrapper* other = openUnlisted();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, other, 44100), 0);
    ASSERT_TRUE(waitFor([&] { return host_.resetRequests.load() > 0; }));
    EXPECT_EQ(host_.rateChanges.load(), 1);
    EXPECT_EQ(host_.changedRate.load(), 44100.0);
    EXPECT_EQ(host_.rateChangedSwitches.load(), 1);

    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(host_.driver->Release(), 0u);
    {
        std::lock_guard lock(host_.mutex);
        host_.timeInfoFlags.clear();
        host_.samplePositions.clear();
        host_.timeCodeSamples.clear();
    }
    again(44100);
    ASSERT_NO_FATAL_FAILURE(streamWithTimeCode(44100));
    EXPECT_EQ(host_.rateChangedSwitches.load(), 1);
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
}

// A host that does not support time info is called at bufferSwitch.
TEST_F(Streaming, AHostWithoutTimeInfoGetsBufferSwitch)
{
    ready(48000, 8);
    host_.answersTimeInfo = false;
    ASSERT_EQ(host_.create(), ASE_OK);
    EXPECT_EQ(host_.timeInfoQuestions.load(), 1);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(20));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_TRUE(host_.copy(host_.timeInfoFlags).empty());
    EXPECT_EQ(host_.inputErrors.load(), 0u);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
}

// A stream at a rate and buffer time (the block size they give), whose
// output the mixer records.
class StreamingAtRate : public orvo::asio::testing::HostFixture,
                        public ::testing::WithParamInterface<std::tuple<uint32_t, uint32_t, uint32_t>> {
protected:
    void readyAndRecord()
    {
        const auto [rate, ms, blockFrames] = GetParam();
        ready(rate, ms);
        mixerDevice_->playback().enable(16, 400'000, 200'000);
    }

public:
    static std::string name(const ::testing::TestParamInfo<ParamType>& info)
    {
        return std::to_string(std::get<0>(info.param)) + "Hz" + std::to_string(std::get<2>(info.param)) + "Frames";
    }
};

// What the host writes reaches the mixer's OUT side, every frame in order,
// at one fixed distance from the input frame the host was given with it:
// the host plays back the frame index of its input, tagged by channel.
class StreamingOutput : public StreamingAtRate {
protected:
    void playAndCheck(bool hostCallsOutputReady)
    {
        const auto [rate, ms, blockFrames] = GetParam();
        readyAndRecord();
        host_.callsOutputReady = hostCallsOutputReady;
        host_.play = [](uint32_t channel, uint64_t frame, const orvo::asio::testing::TestHost& h) {
            const uint32_t input = h.inputFrames[size_t(frame / uint64_t(h.frames))] + uint32_t(frame % uint64_t(h.frames));
            return sim::mixer::recordSample(channel, input);
        };
        ASSERT_EQ(host_.create(), ASE_OK);
        ASSERT_EQ(host_.frames, AsioLong(blockFrames));
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        ASSERT_TRUE(waitForSwitches(uint64_t(rate) * 3 / blockFrames));
        EXPECT_EQ(host_.driver->stop(), ASE_OK);
        EXPECT_EQ(host_.inputErrors.load(), 0u);
        // Released, the object's thread has ended: nothing moves the machine's
        // time any more, and the recording stands still.
        EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
        EXPECT_EQ(host_.driver->Release(), 0u);
        host_.driver = nullptr;

        const auto& rec = mixerDevice_->playback();
        // Up to the host's last blocks: the blocks still ahead of the device at
        // the stop may be cut short (the rings are cleared once nobody is started).
        const uint32_t lastPlayed = (host_.inputFrames.back() - 4 * uint32_t(host_.frames)) & sim::mixer::kSignalFrameMask;
        bool done = false;
        uint64_t played = 0, wrong = 0, steps = 0;
        int64_t nearest = INT64_MAX, farthest = INT64_MIN;
        bool first = true;
        uint32_t last = 0;
        for (const auto& packet : rec.packets()) {
            for (uint32_t j = 0; j < packet.frames && !done; ++j) {
                const uint64_t frame = packet.firstFrame + j;
                const uint32_t s0 = rec.sample(frame, 0);
                if (s0 == 0)
                    continue; // silence before the first block and after the stop
                for (uint32_t c = 0; c < 16; ++c)
                    if (rec.sample(frame, c) != sim::mixer::recordSample(c, sim::mixer::sampleFrameBits(s0)))
                        ++wrong;
                const uint32_t input = sim::mixer::sampleFrameBits(s0);
                // The device's frame clock at the packet, in frames of this rate
                // (a constant apart from its own count, anchored at the rate change).
                const uint64_t clock = packet.microframe * rate / 8000 + j;
                // Both count modulo 2^24.
                const int64_t d = int64_t((clock - input) & sim::mixer::kSignalFrameMask);
                nearest = std::min(nearest, d);
                farthest = std::max(farthest, d);
                if (!first && input != ((last + 1) & sim::mixer::kSignalFrameMask)) {
                    ++steps;
                }
                first = false;
                last = input;
                ++played;
                done = input == lastPlayed;
            }
        }
        EXPECT_GT(played, uint64_t(rate) * 2);
        EXPECT_EQ(wrong, 0u);
        EXPECT_EQ(steps, 0u);
        // One distance, to within the frame a packet boundary may shift. At the
        // device's first rate its frame clock starts with the bus, and the
        // distance is the geometry's: three blocks ahead plus the output delay
        // of the buffer time (0 ms up to 3 ms, else ms mod 3).
        EXPECT_LE(farthest - nearest, 1) << nearest << " to " << farthest;
        if (rate == 48000) {
            EXPECT_EQ(nearest, int64_t(3 * blockFrames + BufferModeForMillisecs(int32_t(ms)) * 48));
        }
    }
};

TEST_P(StreamingOutput, EveryOutputSampleReachesTheMixerInOrder)
{
    playAndCheck(true);
}

// The streaming thread writes the block itself after the buffer switch.
TEST_P(StreamingOutput, AHostThatNeverCallsOutputReadyIsStillHeard)
{
    playAndCheck(false);
}

INSTANTIATE_TEST_SUITE_P(RatesAndBlocks, StreamingOutput,
                         ::testing::Values(std::make_tuple(48000u, 1u, 48u), std::make_tuple(48000u, 8u, 96u),
                                           std::make_tuple(44100u, 8u, 88u), std::make_tuple(96000u, 8u, 192u)),
                         &StreamingAtRate::name);

TEST_F(Streaming, DisposeAndCreateAgainOnTheSameObject)
{
    ready(48000, 8);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(host_.create(), ASE_OK);
        ASSERT_EQ(host_.driver->start(), ASE_OK);
        ASSERT_TRUE(waitForSwitches(50));
        EXPECT_EQ(host_.driver->stop(), ASE_OK);
        EXPECT_EQ(host_.driver->start(), ASE_OK);
        ASSERT_TRUE(waitForSwitches(50));
        EXPECT_EQ(host_.driver->stop(), ASE_OK);
        EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    }
    EXPECT_EQ(host_.inputErrors.load(), 0u);
    EXPECT_EQ(host_.resetRequests.load(), 0);
}

// A streaming thread that failed to start leaves no handle behind: the next
// init starts one, which streams.
TEST_F(Streaming, AStreamingThreadThatFailedToStartIsStartedAtTheNextInit)
{
    ASSERT_NE(plugQx1600(), nullptr);
    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 8));
    create(0);
    w32::failNextThreadCreations(1);
    ASSERT_EQ(host_.driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(object()->streamingThread(), nullptr);
    EXPECT_NE(host_.create(), ASE_OK);

    ASSERT_EQ(host_.driver->init(nullptr), ASIOTrue);
    ASSERT_NE(object()->streamingThread(), nullptr);
    userClock_.drive(object()->streamingThread());
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(50));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.inputErrors.load(), 0u);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
}

// The test clock: a streaming thread already asleep when the test names it
// the driver moves the time on itself (it waited for itself, and the test
// hung, now and then, on a loaded machine).
TEST_F(Streaming, AThreadNamedTheDriverWhileAsleepMovesTheTimeOnItself)
{
    struct Threads {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> asleep{false}, woke{false};
    } t;
    auto idle = [](w32::LPVOID p) -> w32::DWORD {
        static_cast<Threads*>(p)->released.wait();
        return 0;
    };
    auto sleeper = [](w32::LPVOID p) -> w32::DWORD {
        auto* t = static_cast<Threads*>(p);
        t->asleep = true;
        w32::Sleep(10);
        t->woke = true;
        return 0;
    };
    // The driver at first: running, never asleep.
    const w32::HANDLE first = w32::CreateThread(nullptr, 0, idle, &t, 0, nullptr);
    ASSERT_NE(first, nullptr);
    userClock_.drive(first);
    const w32::HANDLE second = w32::CreateThread(nullptr, 0, sleeper, &t, 0, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(waitFor([&] { return t.asleep.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    userClock_.drive(second);
    EXPECT_TRUE(waitFor([&] { return t.woke.load(); }));
    t.release.set_value();
    w32::WaitForSingleObject(second, w32::kInfinite);
    w32::WaitForSingleObject(first, w32::kInfinite);
    w32::CloseHandle(second);
    w32::CloseHandle(first);
}

// Another program changes the buffer time under a running host: the
// thread asks for a reset, and the host, doing what the request means
// (release, create, init, buffers at the new size), streams again.
TEST_F(Streaming, ABlockSizeChangeAsksForAResetAndTheHostRecovers)
{
    ready(48000, 8);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.frames, 96);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(50));

    ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 4));
    AudioDeviceInterfaceWrapper* other = openUnlisted();
    ASSERT_NE(other, nullptr);
    uOrvoAudioSetKernelBufferMillisecs(0, other, 4);
    ASSERT_TRUE(waitFor([&] { return host_.resetRequests.load() > 0; }));

    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(host_.driver->Release(), 0u);
    // The block switched as the change was seen is laid out for the old size.
    const uint64_t errorsBefore = host_.inputErrors.load();
    again(48000);
    ASSERT_EQ(host_.create(), ASE_OK);
    EXPECT_EQ(host_.frames, 48);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    const size_t before = host_.copy(host_.inputFrames).size();
    ASSERT_TRUE(waitForSwitches(200));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    const auto frames = host_.copy(host_.inputFrames);
    for (size_t i = before + 1; i < frames.size(); ++i)
        ASSERT_EQ(frames[i], (frames[i - 1] + 48) & sim::mixer::kSignalFrameMask) << "switch " << i;
    EXPECT_EQ(host_.inputErrors.load(), errorsBefore);
}

// A change under a streaming host asks it for a reset once; a host that
// does not answer is asked again 1,000 ms later, not at once.
enum class Change { BlockSize, Rate };

class ResetRequests : public orvo::asio::testing::HostFixture, public ::testing::WithParamInterface<Change> {
public:
    static std::string name(const ::testing::TestParamInfo<Change>& info)
    {
        return info.param == Change::BlockSize ? "BlockSize" : "Rate";
    }
};

TEST_P(ResetRequests, AreAskedOnceAndRepeatedAfterASecond)
{
    ready(48000, 8);
    // Owned by the callback too: the streaming thread may still ask after
    // the test body.
    struct Asked {
        std::mutex mutex;
        std::vector<uint64_t> at; // kernel time of each request
    };
    auto asked = std::make_shared<Asked>();
    host_.onReset = [asked](orvo::asio::testing::TestHost&) {
        std::lock_guard lock(asked->mutex);
        asked->at.push_back(kplat::kernelClock().now());
    };
    auto times = [asked] {
        std::lock_guard lock(asked->mutex);
        return asked->at;
    };
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(50));
    AudioDeviceInterfaceWrapper* other = openUnlisted();
    ASSERT_NE(other, nullptr);
    if (GetParam() == Change::BlockSize) {
        ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 4));
        uOrvoAudioSetKernelBufferMillisecs(0, other, 4);
    } else {
        ASSERT_EQ(uOrvoAudioSetSampleRate(0, other, 44100), 0);
    }
    ASSERT_TRUE(waitFor([&] { return times().size() >= 2; }));
    const std::vector<uint64_t> at = times();
    EXPECT_GE(at[1] - at[0], kplat::msToTicks(1000));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
}

INSTANTIATE_TEST_SUITE_P(Changes, ResetRequests, ::testing::Values(Change::BlockSize, Change::Rate),
                         &ResetRequests::name);

// A host that answers the reset request inside the callback, on the
// streaming thread: the release neither waits for that thread nor frees what
// it still uses; the object goes when the thread ends, and the device
// serves the next object.
TEST_F(Streaming, ReleasedInsideTheResetRequest)
{
    enableLog();
    ready(48000, 8);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(20));
    w32::HANDLE thread = nullptr;
    ASSERT_TRUE(w32::DuplicateHandle(w32::GetCurrentProcess(), object()->streamingThread(), w32::GetCurrentProcess(),
                                     &thread, 0, w32::FALSE, w32::DUPLICATE_SAME_ACCESS));
    // Owned by the callback: it may outlive a failed assertion here.
    struct Seen {
        std::atomic<w32::ULONG> left{1};
        std::atomic<bool> onStreamingThread{false};
    };
    auto seen = std::make_shared<Seen>();
    const w32::DWORD threadId = w32::GetThreadId(thread);
    host_.onReset = [seen, threadId](orvo::asio::testing::TestHost& h) {
        if (!h.driver)
            return;
        seen->onStreamingThread = w32::GetCurrentThreadId() == threadId;
        h.driver->stop();
        h.driver->disposeBuffers();
        seen->left = h.driver->Release();
        h.driver = nullptr;
    };
    // A changed rate makes the thread ask.
    AudioDeviceInterfaceWrapper* other = openUnlisted();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(uOrvoAudioSetSampleRate(0, other, 44100), 0);
    // In real time: once the thread has released the object nothing drives
    // the clock, and a timed wait here would run it on past the thread's end.
    ASSERT_TRUE(waitFor([&] { return w32::WaitForSingleObject(thread, 0) == w32::WAIT_OBJECT_0; }));
    w32::CloseHandle(thread);
    EXPECT_TRUE(seen->onStreamingThread.load());
    EXPECT_EQ(seen->left.load(), 0u);
    EXPECT_GE(host_.resetRequests.load(), 1);
    EXPECT_TRUE(driverThreadsEnded()); // the slot's monitor went with the object
    EXPECT_EQ(DllCanUnloadNow(), com::S_OK);
    host_.onReset = nullptr;

    // The block switched as the change was seen is laid out for the old rate.
    const uint64_t errorsBefore = host_.inputErrors.load();
    again(48000);
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(50));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    EXPECT_EQ(host_.inputErrors.load(), errorsBefore);
}

// The tail of a stream: every block the host filled before its stop is
// played whole and once, then silence; no block is cut or played again.
class StreamingTail : public StreamingAtRate {};

TEST_P(StreamingTail, EveryBlockFilledBeforeTheStopIsPlayedOnceThenSilence)
{
    const auto [rate, ms, blockFrames] = GetParam();
    readyAndRecord();
    // Frame n of the host (from 1) on every channel.
    host_.play = [](uint32_t channel, uint64_t frame, const orvo::asio::testing::TestHost&) {
        return sim::mixer::recordSample(channel, frame + 1);
    };
    ASSERT_EQ(host_.create(), ASE_OK);
    ASSERT_EQ(host_.frames, AsioLong(blockFrames));
    ASSERT_EQ(host_.driver->start(), ASE_OK);
    ASSERT_TRUE(waitForSwitches(uint64_t(rate) / 2 / blockFrames));
    EXPECT_EQ(host_.driver->stop(), ASE_OK);
    const uint64_t written = host_.hostFrame;
    // The machine plays on for a while with nobody started.
    const uint64_t until = kplat::kernelClock().now() + kplat::msToTicks(300);
    ASSERT_TRUE(waitFor([&] { return kplat::kernelClock().now() > until; }));
    EXPECT_EQ(host_.driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(host_.driver->Release(), 0u);
    host_.driver = nullptr;

    const auto& rec = mixerDevice_->playback();
    // From the first frame heard (a start may begin within a block) on,
    // every frame follows the one before.
    uint64_t expected = 0, wrong = 0, replayed = 0;
    for (const auto& packet : rec.packets()) {
        for (uint32_t j = 0; j < packet.frames; ++j) {
            const uint32_t s0 = rec.sample(packet.firstFrame + j, 0);
            if (s0 == 0)
                continue;
            const uint32_t frame = sim::mixer::sampleFrameBits(s0);
            if (expected != 0 && frame != expected) {
                ++(frame < expected ? replayed : wrong);
            }
            expected = frame + 1;
        }
    }
    EXPECT_EQ(replayed, 0u);
    EXPECT_EQ(wrong, 0u);
    // The last frame heard is the last one the host wrote.
    EXPECT_EQ(expected - 1, written);
}

INSTANTIATE_TEST_SUITE_P(RatesAndBlocks, StreamingTail,
                         ::testing::Values(std::make_tuple(48000u, 8u, 96u), std::make_tuple(44100u, 8u, 88u),
                                           std::make_tuple(44100u, 1u, 45u), std::make_tuple(44100u, 30u, 441u)),
                         &StreamingAtRate::name);

} // namespace
