#include "PlaybackTestUtil.h"

#include "MemoryReader.h"
#include "TestSignals.h"

#include "BiquadClipFilter.h"
#include "BiquadEqBuilder.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundPlayer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

using namespace playtest;
using namespace std::chrono_literals;
using SoundTools::BiquadClipFilter;
using SoundTools::BiquadEqBuilder;

namespace {

// A player that plays by pulling its device directly (no audio output).
class PullPlayer : public SoundPlayer {
public:
    using SoundPlayer::SoundPlayer;
    void preload() override { mDevice->start(); }
    void start() override
    {
        mStopped = false;
        mDevice->start();
    }
    void stop() override
    {
        mDevice->stop();
        mStopped = true;
    }
    void endOfData() override {}
};

class Player : public BlockSizeFixture {};

std::shared_ptr<MemoryReader> memoryReader(const Frames& frames)
{
    auto r = std::make_shared<MemoryReader>(frames, 44100);
    r->open(QString());
    r->rewind();
    return r;
}

const double kFreqs[9] = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};

bool isClip(const std::shared_ptr<SoundTools::Filter>& f)
{
    return dynamic_cast<BiquadClipFilter*>(f.get()) != nullptr;
}

// The device filter has the coefficients of that band design.
void expectBand(const std::shared_ptr<SoundTools::Filter>& f, SoundTools::FilterType type, double freq, double width,
                double gain)
{
    ASSERT_TRUE(f);
    BiquadEqBuilder ref(type, freq, width, gain);
    const auto k = ref.buildFilter(44100);
    for (unsigned int i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(f->getB()[i], k->getB()[i]) << freq << " b" << i;
        EXPECT_DOUBLE_EQ(f->getA()[i], k->getA()[i]) << freq << " a" << i;
    }
}

} // namespace

TEST_F(Player, DefaultEqualizerBandsAndPresets)
{
    PullPlayer p(memoryReader(exactFrames(10)), nullptr, true);
    EXPECT_EQ(p.getEqBandNumber(), 9u);
    EXPECT_TRUE(p.hasEqualizer());
    EXPECT_TRUE(p.hasBassBoost());
    EXPECT_DOUBLE_EQ(p.getEqBandRange(), 8.0);
    for (unsigned int i = 0; i < 9; ++i) {
        EXPECT_DOUBLE_EQ(p.getEqBandFreq(i), kFreqs[i]);
        EXPECT_DOUBLE_EQ(p.getEqBandLevel(i), 0.0);
    }
    EXPECT_DOUBLE_EQ(p.getEqBandFreq(9), 200.0);
    EXPECT_DOUBLE_EQ(p.getEqBandLevel(9), 8.0);
    EXPECT_DOUBLE_EQ(p.getEqBandFreq(12), 0.0);
    EXPECT_DOUBLE_EQ(p.getEqBandLevel(12), 0.0);
    const QStringList expected = {"Flat", "Standard", "Treble", "Bass", "Classical", "Dance", "Electronic",
                                  "Folk", "Hip_Hop", "Jazz", "Loudness", "Metal", "Pop", "Rock"};
    EXPECT_EQ(p.getEqPresets(), expected);
    EXPECT_FALSE(p.getDevice()->hasFilters());
    EXPECT_TRUE(p.isStopped());

    PullPlayer bare(nullptr, nullptr, false);
    EXPECT_EQ(bare.getDevice(), nullptr);
    EXPECT_EQ(bare.getEqBandNumber(), 0u);
    EXPECT_FALSE(bare.hasEqualizer());
    EXPECT_FALSE(bare.hasBassBoost());
    bare.setEqGain(0.5); // nothing to apply it to
    EXPECT_DOUBLE_EQ(bare.getEqGain(), 1.0);
}

// The chain: the equalizer bands, then the bass boost, the last one always a
// clip filter carrying the equalizer gain.
TEST_F(Player, ChainFollowsTheSwitches)
{
    PullPlayer p(memoryReader(exactFrames(10)), nullptr, true);
    SoundAlgoDevice& d = *p.getDevice();
    p.setEqLevel(2, 3.0);

    p.switchEq(true);
    ASSERT_EQ(d.getFilterNumber(), 9u);
    for (unsigned int i = 0; i < 9; ++i) {
        expectBand(d.getFilter(i), SoundTools::BandEq, kFreqs[i], 1.0, i == 2 ? 3.0 : 0.0);
        EXPECT_EQ(isClip(d.getFilter(i)), i == 8) << i;
    }

    p.switchBassBoost(true);
    ASSERT_EQ(d.getFilterNumber(), 10u);
    EXPECT_FALSE(isClip(d.getFilter(8)));
    EXPECT_TRUE(isClip(d.getFilter(9)));
    expectBand(d.getFilter(9), SoundTools::LowShelf, 200.0, 1.0, 8.0);

    p.switchEq(false);
    ASSERT_EQ(d.getFilterNumber(), 1u);
    EXPECT_TRUE(isClip(d.getFilter(0)));
    expectBand(d.getFilter(0), SoundTools::LowShelf, 200.0, 1.0, 8.0);

    p.switchBassBoost(false);
    EXPECT_FALSE(d.hasFilters());

    // A host equalizer of two bands gets the bass boost appended.
    PullPlayer q(memoryReader(exactFrames(10)), nullptr, false);
    q.setEqualizer({std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, 300, 2.0, -4.0),
                    std::make_shared<BiquadEqBuilder>(SoundTools::HighShelf, 6000, 1.0, 5.0)});
    EXPECT_EQ(q.getEqBandNumber(), 2u);
    q.switchEq(true);
    ASSERT_EQ(q.getDevice()->getFilterNumber(), 2u);
    expectBand(q.getDevice()->getFilter(0), SoundTools::BandEq, 300, 2.0, -4.0);
    EXPECT_TRUE(isClip(q.getDevice()->getFilter(1)));
}

TEST_F(Player, PresetsSetTheBandsAndRebuild)
{
    PullPlayer p(memoryReader(exactFrames(10)), nullptr, true);
    const double loudness[9] = {5, 4, 3, -1, -1, -1, 3, 4, 5};
    p.setEqPreset(10); // "Loudness", equalizer still off: no chain
    for (unsigned int i = 0; i < 9; ++i)
        EXPECT_DOUBLE_EQ(p.getEqBandLevel(i), loudness[i]);
    EXPECT_DOUBLE_EQ(p.getEqBandLevel(9), 8.0);
    EXPECT_FALSE(p.getDevice()->hasFilters());

    p.switchEq(true);
    p.setEqPreset(7); // "Folk", applied to the running chain
    const double folk[9] = {4, 3, 1, 2, 2, 3, 3.5, 3, 2};
    for (unsigned int i = 0; i < 9; ++i)
        expectBand(p.getDevice()->getFilter(i), SoundTools::BandEq, kFreqs[i], 1.0, folk[i]);

    p.setEqPreset(14); // unknown: nothing changes
    p.setEqualizerPresets({{"Short", {1, 2}}});
    p.setEqPreset(0); // too few levels: nothing changes
    EXPECT_DOUBLE_EQ(p.getEqBandLevel(0), 4.0);
    EXPECT_EQ(p.getEqPresets(), QStringList{"Short"});
}

TEST_F(Player, SingleBandChangesReplaceOneFilter)
{
    PullPlayer p(memoryReader(exactFrames(10)), nullptr, true);
    SoundAlgoDevice& d = *p.getDevice();
    p.switchEq(true);
    const auto f0 = d.getFilter(0);
    const auto f5 = d.getFilter(5);
    p.setEqFreq(3, 700.0);
    p.setEqWidth(4, 0.5);
    p.setEqLevel(6, -2.0);
    EXPECT_EQ(d.getFilter(0), f0);
    EXPECT_EQ(d.getFilter(5), f5);
    expectBand(d.getFilter(3), SoundTools::BandEq, 700.0, 1.0, 0.0);
    expectBand(d.getFilter(4), SoundTools::BandEq, 1000.0, 0.5, 0.0);
    expectBand(d.getFilter(6), SoundTools::BandEq, 4000.0, 1.0, -2.0);
    p.setEqLevel(8, 2.0); // the last band stays a clip filter
    EXPECT_TRUE(isClip(d.getFilter(8)));
    expectBand(d.getFilter(8), SoundTools::BandEq, 15000.0, 1.0, 2.0);
    p.setEqLevel(30, 1.0); // no such band
    EXPECT_EQ(d.getFilterNumber(), 9u);
}

// Clipping protection: the clip filter lowers its gain on a loud signal;
// raising a band keeps that gain, lowering one ramps it back to 1.
TEST_F(Player, ClipGainFollowsTheBandChanges)
{
    SoundBuffer::setDefaultSize(2048);
    PullPlayer p(memoryReader(testsignals::noiseFrames(20000, 5, 0.95)), nullptr, true);
    SoundAlgoDevice& d = *p.getDevice();
    p.switchEq(true);
    p.switchBassBoost(true);
    for (unsigned int i = 0; i < 9; ++i)
        p.setEqLevel(i, 6.0);
    p.start();
    {
        Puller puller(d, 4 * 1000, 4 * 8000);
        ASSERT_TRUE(puller.waitDone(10s));
        // Only the first frame of a request cannot be bent down.
        int saturated = 0;
        for (int16_t s : decodePcm(puller.bytes()))
            saturated += (s == 32767 || s == -32768);
        EXPECT_LT(saturated, 16);
    }
    const double lowered = p.getEqGain();
    EXPECT_LT(lowered, 0.9);
    EXPECT_GT(lowered, 0.0);

    p.setEqLevel(3, 7.0); // raising: the lowered gain stays
    EXPECT_DOUBLE_EQ(p.getEqGain(), lowered);
    p.setEqLevel(3, 2.0); // lowering: ramp back to 1
    auto clip = std::dynamic_pointer_cast<BiquadClipFilter>(d.getFilter(9));
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->getRampFramesLeft(), BiquadClipFilter::kRampFrames);
    p.stop();

    // Lowering the last filter's own band rebuilds it at full gain.
    p.switchBassBoost(false);
    p.setEqGain(0.3);
    EXPECT_DOUBLE_EQ(p.getEqGain(), 0.3);
    p.setEqLevel(8, 1.0);
    EXPECT_DOUBLE_EQ(p.getEqGain(), 1.0);
}

TEST_F(Player, EqGainWaitsForTheEqualizer)
{
    PullPlayer p(memoryReader(exactFrames(10)), nullptr, true);
    p.setEqGain(0.5); // equalizer off: no filter changes
    EXPECT_FALSE(p.getDevice()->hasFilters());
    EXPECT_DOUBLE_EQ(p.getEqGain(), 1.0); // nothing in the chain yet
    p.switchEq(true);
    EXPECT_DOUBLE_EQ(p.getDevice()->getFilterGain(8), 0.5);
    EXPECT_DOUBLE_EQ(p.getEqGain(), 0.5);
    p.setEqGain(0.25);
    EXPECT_DOUBLE_EQ(p.getEqGain(), 0.25);
}

// The gate threshold and the amplifier level change the graph the worker
// runs, and only while the worker is not inside a graph step.
TEST_F(Player, GateAndAmplifierLevelsReachTheGraph)
{
    SoundBuffer::setDefaultSize(1024);
    // A steady tone at -30 dBFS (RMS).
    const double amp = std::pow(10.0, -30.0 / 20.0) * std::sqrt(2.0);
    Frames tone(30000);
    for (size_t i = 0; i < tone.size(); ++i) {
        const double v = amp * std::sin(2 * M_PI * 441.0 * i / 44100.0);
        tone[i] = {v, v};
    }
    auto* gate = new SoundAlgoNoiseGate(-20.0, 0.001, 0.01);
    PullPlayer p(memoryReader(tone), gate, false);
    p.setNoiseGate(gate);
    gate->release(); // the device holds the graph
    p.start();
    auto peakOf = [](const std::vector<char>& bytes) {
        int peak = 0;
        for (int16_t s : decodePcm(bytes))
            peak = std::max(peak, std::abs(static_cast<int>(s)));
        return peak;
    };
    {
        Puller head(*p.getDevice(), 4 * 512, 4 * 4096);
        ASSERT_TRUE(head.waitDone(10s));
        const std::vector<char> b = head.bytes();
        EXPECT_EQ(peakOf(std::vector<char>(b.begin() + 4 * 1024, b.end())), 0) << "below the threshold: closed";
    }
    // The change waits for the algorithm lock.
    p.getDevice()->lockAlgo();
    std::atomic<bool> changed{false};
    std::thread t([&] {
        p.setGateLevel(-40.0);
        changed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(changed.load());
    p.getDevice()->unlockAlgo();
    t.join();
    {
        Puller rest(*p.getDevice(), 4 * 512);
        ASSERT_TRUE(rest.waitDone(10s));
        const std::vector<char> b = rest.bytes();
        ASSERT_GT(b.size(), 4u * 15000);
        // The blocks made after the change pass the tone at its level.
        const int peak = peakOf(std::vector<char>(b.end() - 4 * 8000, b.end()));
        EXPECT_NEAR(peak, amp * 32768, 40);
    }
    p.stop();

    auto* limiter = new SoundAlgoLimiter(0.0, 0.001, 0.01, nullptr);
    PullPlayer q(memoryReader(tone), limiter, false);
    q.setAmplifier(limiter);
    limiter->release();
    q.setAmpLevel(-6.0);
    EXPECT_NEAR(limiter->getLevel(0.0), -6.0, 1e-9);
    q.setAmpLevel(12.0);
    EXPECT_NEAR(limiter->getLevel(0.0), 12.0, 1e-9);
    q.start();
    Puller all(*q.getDevice(), 4 * 700);
    ASSERT_TRUE(all.waitDone(10s));
    const std::vector<char> b = all.bytes();
    const int peak = peakOf(std::vector<char>(b.begin() + 4 * 5000, b.end()));
    EXPECT_NEAR(peak, amp * 32768 * std::pow(10.0, 12.0 / 20.0), 300);
    q.stop();
}

// The host changes the equalizer from its own thread while the worker fills
// the ring and the audio side pulls: every frame still comes out once.
TEST_F(Player, EqualizerChangesWhilePlaying)
{
    SoundBuffer::setDefaultSize(512);
    const unsigned int frames = 60000;
    PullPlayer p(memoryReader(testsignals::noiseFrames(frames, 9, 0.5)), nullptr, true);
    p.switchEq(true);
    p.start();
    Puller puller(*p.getDevice(), 4 * 256, -1, 1000us);
    std::atomic<bool> stopHost{false};
    std::atomic<int> changes{0};
    std::thread host([&] {
        unsigned int step = 0;
        while (!stopHost.load()) {
            switch (step++ % 6) {
            case 0: p.setEqLevel(step % 9, (step % 13) - 6.0); break;
            case 1: p.setEqPreset(step % 14); break;
            case 2: p.switchBassBoost(step % 2); break;
            case 3: p.setEqGain(0.5 + (step % 5) * 0.1); break;
            case 4: p.setEqFreq(step % 9, 100.0 + step % 1000); break;
            case 5: (void)p.getEqGain(); break;
            }
            ++changes;
            std::this_thread::sleep_for(200us);
        }
    });
    const bool done = puller.waitDone(30s);
    stopHost = true;
    host.join();
    ASSERT_TRUE(done);
    EXPECT_GT(changes.load(), 100);
    EXPECT_EQ(puller.bytes().size(), 4u * frames);
    p.stop();
}
