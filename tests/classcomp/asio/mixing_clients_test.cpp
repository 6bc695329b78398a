// Several hosts, each in a simulated process of its own, streaming to one
// mixer through the kernel driver. Every frame the mixer receives must be the
// exact clipped sum of the clients whose blocks it holds: each client tags
// its own channel with its frame count, so the frame says who is in it, and
// plays its own level on the shared channels, so every sum is distinct.

#include "host_fixture.h"

#include "platform/object/process.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <memory>
#include <string>

namespace {

using namespace orvo::asio;

constexpr uint32_t kMaxClients = 3;
// Channels every client plays on (client i tags channel i).
enum : uint32_t { kDistinct = 4, kClipHigh, kCancel, kClipLow, kInactive, kLevelChannels = 5 };

// Per format: each client's level on each shared channel, chosen so that
// any set of clients gives its own sum on kDistinct and the others clip
// (0x40000000 + 0x40000000 is 0x7FFFFF00; 0.75 + 0.5 is 1.0) or cancel.
// The last client has no buffer for kInactive.
struct Levels {
    std::array<std::array<uint32_t, kMaxClients>, kLevelChannels> value;
};
uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
const Levels kIntLevels{{{{0x04000000, 0x08000000, 0x10000000},
                          {0x40000000, 0x40000000, 0x40000000},
                          {0x40000000, 0xC0000000, 0x20000000},
                          {0xC0000000, 0xC0000000, 0xC0000000},
                          {0x01000000, 0x01000000, 0x01000000}}}};
const Levels kFloatLevels{{{{bits(0.0625f), bits(0.125f), bits(0.25f)},
                            {bits(0.75f), bits(0.5f), bits(0.5f)},
                            {bits(0.5f), bits(-0.5f), bits(0.25f)},
                            {bits(-0.75f), bits(-0.5f), bits(-0.5f)},
                            {bits(0.03125f), bits(0.03125f), bits(0.03125f)}}}};

// A frame count as a sample, and back; 0 is silence.
uint32_t tagSample(uint64_t frame, bool isFloat)
{
    return isFloat ? bits(float(frame & 0x7FFFFF) / 8388608.0f) : uint32_t(frame & 0x7FFFFF) << 8;
}
uint32_t tagOf(uint32_t sample, bool isFloat)
{
    return isFloat ? uint32_t(std::bit_cast<float>(sample) * 8388608.0f) : sample >> 8;
}

// What the mixer must hear on `channel` with the clients in `present`
// (bit i: client i), `clients` streaming in all.
uint32_t expectedSum(uint32_t channel, uint32_t present, uint32_t clients, bool isFloat)
{
    const Levels& levels = isFloat ? kFloatLevels : kIntLevels;
    int64_t intSum = 0;
    float floatSum = 0.0f; // dyadic levels: exact in any order
    for (uint32_t i = 0; i < clients; ++i) {
        if (!(present >> i & 1) || (channel == kInactive && i + 1 == clients))
            continue;
        const uint32_t v = levels.value[channel - kDistinct][i];
        intSum += int32_t(v) >> 8;
        floatSum += std::bit_cast<float>(v);
    }
    return isFloat ? bits(std::clamp(floatSum, -1.0f, 1.0f)) : uint32_t(std::clamp<int64_t>(intSum, -0x800000, 0x7FFFFF)) << 8;
}

class MixingClient {
public:
    ob::Ref<ob::Process> process = ob::Process::create();
    IASIO* driver = nullptr;
    uint32_t index = 0, clients = 0;
    bool isFloat = false;
    std::vector<ASIOBufferInfo> buffers;
    AsioLong frames = 0;
    std::atomic<uint64_t> switches{0};
    // Virtual milliseconds the next switches sleep in the callback (a
    // client that stalls and skips blocks), and how many of them.
    std::atomic<uint32_t> stallMs{0}, stalls{0};
    uint64_t hostFrame = 0; // streaming thread only

    void onSwitch(AsioLong half)
    {
        const Levels& levels = isFloat ? kFloatLevels : kIntLevels;
        for (const ASIOBufferInfo& b : buffers) {
            auto* out = static_cast<uint32_t*>(b.buffers[half]);
            const auto c = uint32_t(b.channelNum);
            for (AsioLong f = 0; f < frames; ++f)
                out[f] = c == index                        ? tagSample(hostFrame + uint64_t(f) + 1, isFloat)
                         : c >= kDistinct && c <= kInactive ? levels.value[c - kDistinct][index]
                                                            : 0;
        }
        hostFrame += uint64_t(frames);
        switches.fetch_add(1);
        if (stalls.load() > 0) {
            stalls.fetch_sub(1);
            w32::Sleep(stallMs.load());
        }
        driver->outputReady();
    }
};

// The callbacks carry no context: the streaming thread names the client.
std::array<std::atomic<w32::DWORD>, kMaxClients> g_threads;
std::array<std::atomic<MixingClient*>, kMaxClients> g_clients;

MixingClient* clientOfThisThread()
{
    const w32::DWORD me = w32::GetCurrentThreadId();
    for (size_t i = 0; i < g_threads.size(); ++i)
        if (g_threads[i].load() == me)
            return g_clients[i].load();
    return nullptr;
}
void onBufferSwitch(AsioLong half, ASIOBool)
{
    if (MixingClient* c = clientOfThisThread())
        c->onSwitch(half);
}
ASIOTime* onTimeInfo(ASIOTime* time, AsioLong half, ASIOBool)
{
    onBufferSwitch(half, ASIOFalse);
    return time;
}
void onRateChange(ASIOSampleRate) {}
AsioLong onMessage(AsioLong selector, AsioLong, void*, double*) { return selector == kAsioSupportsTimeInfo ? 1 : 0; }
ASIOCallbacks g_callbacks{&onBufferSwitch, &onRateChange, &onMessage, &onTimeInfo};

struct MixCase {
    const char* name;
    uint32_t clients;
    bool isFloat;
};

class MixingClients : public orvo::asio::testing::HostFixture, public ::testing::WithParamInterface<MixCase> {
protected:
    ~MixingClients() override
    {
        releaseAll();
        // The slot's status monitor runs in the process of the client that
        // registered first and may outlive that client's object: the
        // processes end only once it has (the platform would end its threads
        // with their process; the stand-in cannot). The driver keeps its
        // threads' handles in the process that started them, as a library
        // loaded once per process does, so it is asked there.
        if (!clients_.empty()) {
            ob::ProcessScope scope(clients_.front()->process);
            EXPECT_TRUE(driverThreadsEnded());
        }
        // Their objects gone, the processes end: the handles the driver's
        // threads left in them are closed, and nothing holds them any more.
        for (auto& c : clients_)
            c->process->terminate(0);
        for (auto& t : g_threads)
            t = 0;
        for (auto& c : g_clients)
            c = nullptr;
    }

    // The mixer, its recording, and the clients streaming, each in its own
    // process; client 0's streaming thread drives the clock.
    void startAll()
    {
        const MixCase& m = GetParam();
        sim::mixer::Profile profile = sim::mixer::profiles::qx1600();
        profile.record.floatSamples = profile.playback.floatSamples = m.isFloat;
        mixerDevice_ = &make(profile);
        ASSERT_NE(plugQx1600(), nullptr);
        ASSERT_TRUE(RegistrySetBufferSizeMillisecs(0, 8));
        mixerDevice_->playback().enable(16, 400'000, 200'000);
        for (uint32_t i = 0; i < m.clients; ++i) {
            clients_.push_back(std::make_unique<MixingClient>());
            MixingClient& c = *clients_.back();
            c.index = i;
            c.clients = m.clients;
            c.isFloat = m.isFloat;
            g_clients[i] = &c;
        }
        for (auto& c : clients_)
            ASSERT_NO_FATAL_FAILURE(start(*c));
    }
    void start(MixingClient& c)
    {
        ob::ProcessScope scope(c.process);
        c.driver = create(0);
        host_.driver = nullptr; // ours, not the fixture's
        ASSERT_EQ(c.driver->init(nullptr), ASIOTrue);
        auto* a = static_cast<AAsio*>(c.driver);
        g_threads[c.index] = w32::GetThreadId(a->streamingThread());
        if (c.index == 0) {
            userClock_.drive(a->streamingThread());
            ASSERT_EQ(c.driver->setSampleRate(48000.0), ASE_OK);
        } else {
            userClock_.follow(a->streamingThread());
        }
        AsioLong inputs = 0, outputs = 0, mn = 0, mx = 0, granularity = 0;
        ASSERT_EQ(c.driver->getChannels(&inputs, &outputs), ASE_OK);
        ASSERT_EQ(c.driver->getBufferSize(&mn, &mx, &c.frames, &granularity), ASE_OK);
        for (AsioLong ch = 0; ch < outputs; ++ch)
            if (!(uint32_t(ch) == kInactive && c.index + 1 == c.clients))
                c.buffers.push_back(ASIOBufferInfo{ASIOFalse, ch, {nullptr, nullptr}});
        ASSERT_EQ(c.driver->createBuffers(c.buffers.data(), AsioLong(c.buffers.size()), c.frames, &g_callbacks),
                  ASE_OK);
        ASSERT_EQ(c.driver->start(), ASE_OK);
    }
    void stop(MixingClient& c)
    {
        ob::ProcessScope scope(c.process);
        EXPECT_EQ(c.driver->stop(), ASE_OK);
    }
    // Stopped in turn, the last first, while the rest stream on.
    void stopInTurn()
    {
        for (size_t n = clients_.size(); n-- > 1;) {
            stop(*clients_[n]);
            std::vector<size_t> rest(n);
            for (size_t i = 0; i < n; ++i)
                rest[i] = i;
            ASSERT_TRUE(waitForBlocks(rest, 40));
        }
        stop(*clients_[0]);
    }
    // Disposes and releases every client: their threads have ended, and with
    // them everything that moves the machine's time.
    void releaseAll()
    {
        for (auto& c : clients_) {
            if (!c->driver)
                continue;
            ob::ProcessScope scope(c->process);
            c->driver->disposeBuffers();
            EXPECT_EQ(c->driver->Release(), 0u);
            c->driver = nullptr;
        }
    }
    // Until each of `which` has had `n` more blocks.
    bool waitForBlocks(std::vector<size_t> which, uint64_t n)
    {
        std::vector<uint64_t> targets;
        for (size_t i : which)
            targets.push_back(clients_[i]->switches.load() + n);
        return waitFor([&] {
            for (size_t k = 0; k < which.size(); ++k)
                if (clients_[which[k]]->switches.load() < targets[k])
                    return false;
            return true;
        });
    }
    std::vector<size_t> all() const
    {
        std::vector<size_t> v(clients_.size());
        for (size_t i = 0; i < v.size(); ++i)
            v[i] = i;
        return v;
    }

    // Every recorded frame against the clients it holds.
    struct Heard {
        uint64_t frames = 0, allClients = 0, wrongSums = 0, silentButNotZero = 0;
        std::vector<uint64_t> heard, backwards, gaps;
        std::string firstWrong;
        std::array<std::string, kMaxClients> firstBack, firstGap;
    };
    static void note(std::string& text, uint64_t frame, uint64_t frames, uint32_t channel, uint32_t present,
                     uint32_t got, uint32_t expected)
    {
        if (!text.empty())
            return;
        char line[160];
        std::snprintf(line, sizeof line, "frame %llu (of %llu) channel %u clients %#x: %#x, not %#x",
                      (unsigned long long)frame, (unsigned long long)frames, channel, present, got, expected);
        text = line;
    }
    Heard check() const
    {
        const MixCase& m = GetParam();
        const auto& rec = mixerDevice_->playback();
        Heard h;
        h.heard.assign(m.clients, 0);
        h.backwards.assign(m.clients, 0);
        h.gaps.assign(m.clients, 0);
        std::vector<uint32_t> last(m.clients, 0);
        for (uint64_t frame = 0; frame < rec.frames(); ++frame) {
            ++h.frames;
            uint32_t present = 0;
            for (uint32_t i = 0; i < m.clients; ++i) {
                const uint32_t tag = tagOf(rec.sample(frame, i), m.isFloat);
                if (tag == 0)
                    continue;
                present |= 1u << i;
                ++h.heard[i];
                if (last[i] != 0 && tag != last[i] + 1) {
                    const bool back = tag <= last[i];
                    ++(back ? h.backwards : h.gaps)[i];
                    note((back ? h.firstBack : h.firstGap)[i], frame, rec.frames(), i, present, tag, last[i] + 1);
                }
                last[i] = tag;
            }
            if (present == (1u << m.clients) - 1)
                ++h.allClients;
            for (uint32_t ch = kDistinct; ch <= kInactive; ++ch) {
                const uint32_t expected = expectedSum(ch, present, m.clients, m.isFloat);
                const uint32_t got = rec.sample(frame, ch);
                if (got == expected)
                    continue;
                ++h.wrongSums;
                note(h.firstWrong, frame, rec.frames(), ch, present, got, expected);
            }
        }
        return h;
    }

    std::vector<std::unique_ptr<MixingClient>> clients_;
};

TEST_P(MixingClients, EveryFrameIsTheClippedSumOfItsClients)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    ASSERT_TRUE(waitForBlocks(all(), 200));
    ASSERT_NO_FATAL_FAILURE(stopInTurn());
    releaseAll();

    const Heard h = check();
    EXPECT_EQ(h.wrongSums, 0u) << h.firstWrong;
    EXPECT_GT(h.allClients, 48u * 150);
    for (uint32_t i = 0; i < clients_.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GT(h.heard[i], 48u * 200);
        // Never a block of an earlier cycle, none missing.
        EXPECT_EQ(h.backwards[i], 0u) << h.firstBack[i];
        EXPECT_EQ(h.gaps[i], 0u) << h.firstGap[i];
    }
}

// Client 1 (and the driver's client once) sleeps through blocks inside its
// callback: its late output is dropped, the others' blocks go on whole, and
// no block plays the ring's previous cycle or a partial sum.
TEST_P(MixingClients, AClientThatStallsLeavesNoStaleBlockNorPartialSum)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    ASSERT_TRUE(waitForBlocks(all(), 50));
    const uint32_t blockMs = uint32_t(clients_[0]->frames) * 1000 / 48000;
    MixingClient& stalling = *clients_[1];
    stalling.stallMs = 3 * blockMs;
    stalling.stalls = 4;
    ASSERT_TRUE(waitFor([&] { return stalling.stalls.load() == 0; }));
    clients_[0]->stallMs = 2 * blockMs;
    clients_[0]->stalls = 1;
    ASSERT_TRUE(waitForBlocks(all(), 50));
    ASSERT_NO_FATAL_FAILURE(stopInTurn());
    releaseAll();

    const Heard h = check();
    EXPECT_EQ(h.wrongSums, 0u) << h.firstWrong;
    for (uint32_t i = 0; i < clients_.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(h.backwards[i], 0u) << h.firstBack[i];
    }
    EXPECT_GT(h.gaps[1], 0u) << "the stalled client's late blocks are dropped";
    if (clients_.size() > 2) {
        EXPECT_EQ(h.gaps[2], 0u) << h.firstGap[2];
    }
}

// The clients stop a few blocks apart, each within the tail the one before
// plays out after its stop: none of them leaves a block of the ring's
// previous cycle to play after their last ones.
TEST_P(MixingClients, ClientsStoppingTogetherLeaveNoOldBlockPlaying)
{
    ASSERT_NO_FATAL_FAILURE(startAll());
    ASSERT_TRUE(waitForBlocks(all(), 100));
    for (size_t n = clients_.size(); n-- > 0;) {
        stop(*clients_[n]);
        std::vector<size_t> rest(n);
        for (size_t i = 0; i < n; ++i)
            rest[i] = i;
        if (n > 0) {
            ASSERT_TRUE(waitForBlocks(rest, 2));
        }
    }
    // Until the ring (at most 15 blocks of 8 ms) has gone round twice.
    const uint64_t until = kplat::kernelClock().now() + kplat::msToTicks(300);
    ASSERT_TRUE(waitFor([&] { return kplat::kernelClock().now() > until; }));
    releaseAll();

    const Heard h = check();
    EXPECT_EQ(h.wrongSums, 0u) << h.firstWrong;
    for (uint32_t i = 0; i < clients_.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(h.backwards[i], 0u) << h.firstBack[i];
        EXPECT_EQ(h.gaps[i], 0u) << h.firstGap[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MixingClients,
                         ::testing::Values(MixCase{"TwoInt", 2, false}, MixCase{"ThreeInt", 3, false},
                                           MixCase{"TwoFloat", 2, true}, MixCase{"ThreeFloat", 3, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
