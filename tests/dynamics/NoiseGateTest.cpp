#include "DynamicsTestUtil.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"

#include "SoundAlgoNoiseGate.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dyntest;

namespace {

class NoiseGate : public BlockSizeFixture {};

// Releases a node when the test ends.
struct Gate {
    explicit Gate(double thresholdDb, double fade, double window) : node(new SoundAlgoNoiseGate(thresholdDb, fade, window)) {}
    ~Gate() { node->release(); }
    SoundAlgoNoiseGate* node;
};

} // namespace

// The window is odd and the delay half of it; a loud signal comes out
// exactly, moved later by the delay, whatever the block size (also blocks
// shorter than the window).
TEST_F(NoiseGate, LoudSignalComesOutDelayedByHalfTheWindow)
{
    {
        Gate g(-40.0, 0.05, 0.01);
        EXPECT_EQ(g.node->getInOverlap(44100), 441u);
        EXPECT_EQ(g.node->getDelay(44100), 220u);
    }
    // At -60 dB even the last frames, whose windows reach into the silence
    // after the stream, stay above the threshold.
    Gate g(-60.0, 0.05, 0.02);
    EXPECT_EQ(g.node->getInOverlap(44100), 883u);
    const unsigned int d = g.node->getDelay(44100);
    EXPECT_EQ(d, 441u);

    const Frames input = sine(20000, 440.0, 0.5);
    for (unsigned int block : {100u, 883u, 1000u, 65536u}) {
        SCOPED_TRACE(block);
        const Frames out = runStream(*g.node, input, block);
        ASSERT_EQ(out.size(), input.size() + d);
        // The lead-in is silence; the gate opens for the sine once its
        // window reaches it, so even the lead-in frames are unscaled zeros.
        for (unsigned int k = 0; k < d; ++k)
            ASSERT_EQ(out[k].left, 0.0);
        for (size_t k = 0; k < input.size(); ++k) {
            ASSERT_EQ(out[k + d].left, input[k].left) << k;
            ASSERT_EQ(out[k + d].right, input[k].right) << k;
        }
    }
}

// A constant signal at exactly the threshold opens the gate (up to the last
// frames, whose windows reach into the silence after the stream).
TEST_F(NoiseGate, SignalAtExactlyTheThresholdPasses)
{
    for (double thresholdDb : {-40.0, -23.0, -6.0}) {
        Gate g(thresholdDb, 0.01, 0.01);
        const double t = std::pow(10.0, thresholdDb / 20.0);
        const Frames input = constant(5000, t, -t);
        const Frames out = runStream(*g.node, input, 1024);
        const unsigned int d = g.node->getDelay(44100);
        ASSERT_EQ(out.size(), input.size() + d);
        for (size_t k = 0; k + 441 <= input.size(); ++k)
            ASSERT_EQ(out[k + d].left, t) << thresholdDb << " " << k;
        EXPECT_LT(out.back().left, t);
    }
}

// Quiet floor, a burst, quiet floor: the gain per input frame follows the
// opening and fade timing worked out from the window and the fade length.
TEST_F(NoiseGate, OpensAheadOfABurstAndFadesLinearlyAfterIt)
{
    const unsigned int rate = 44100;
    const double quiet = 1e-3; // -60 dB, below the -40 dB threshold
    const unsigned int burstBegin = 6000;
    const unsigned int burstEnd = 9000;
    const unsigned int total = 14000;
    Frames input = constant(total, quiet, quiet);
    for (unsigned int i = burstBegin; i < burstEnd; ++i)
        input[i] = {0.5, -0.5};

    const int w = 441;
    const int d = 220;
    const int fade = 2205; // 0.05 s
    auto expectedGain = [&](int q) {
        if (q >= static_cast<int>(burstBegin) - w + 1 && q < static_cast<int>(burstEnd))
            return 1.0;
        // Fading from the start of the run (the lead-in frames count) or
        // from the end of the burst.
        const int since = q < static_cast<int>(burstBegin) ? q + d + 1 : q - static_cast<int>(burstEnd) + 1;
        return std::max(0.0, 1.0 - since * (1.0 / fade));
    };
    for (unsigned int block : {300u, 4096u, 65536u}) {
        SCOPED_TRACE(block);
        Gate g(-40.0, 0.05, 0.01);
        const Frames out = runStream(*g.node, input, block, rate);
        ASSERT_EQ(out.size(), total + d);
        for (int q = 0; q < static_cast<int>(total); ++q) {
            const double gain = out[q + d].left / input[q].left;
            ASSERT_NEAR(gain, expectedGain(q), 1e-9) << "frame " << q;
        }
        // The gate is fully closed 2205 frames after the burst and open at
        // the first frame whose window reaches it, 440 frames early.
        EXPECT_EQ(out[burstEnd + fade - 1 + d].left, 0.0);
        EXPECT_GT(out[burstEnd + fade - 2 + d].left, 0.0);
        EXPECT_EQ(out[burstBegin - w + 1 + d].left, quiet);
        EXPECT_LT(out[burstBegin - w + d].left, quiet);
    }
}

// A fade that rounds to no frame closes the gate on the first quiet frame.
TEST_F(NoiseGate, ZeroFadeClosesAtOnce)
{
    Gate g(-40.0, 0.00001, 0.01);
    Frames input = constant(3000, 0.5, 0.5);
    for (unsigned int i = 1500; i < 3000; ++i)
        input[i] = {1e-3, 1e-3};
    const Frames out = runStream(*g.node, input, 1024);
    const int d = 220;
    EXPECT_EQ(out[1499 + d].left, 0.5);
    EXPECT_EQ(out[1500 + d].left, 0.0);
    EXPECT_EQ(out[2999 + d].left, 0.0);
}

// Raising the threshold between blocks starts the fade on the next block.
TEST_F(NoiseGate, ThresholdChangedWhileRunning)
{
    SoundBuffer::setDefaultSize(1000);
    const double level = std::pow(10.0, -30.0 / 20.0);
    MemoryReader reader(constant(6000, level, level), 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    Gate g(-40.0, 0.01, 0.01);
    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(g.node->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    ASSERT_EQ(g.node->singleProcessLoop(reader, ctx, &writer), SoundTools::StatusOk);
    const size_t first = writer.frameCount();
    EXPECT_EQ(g.node->getGain(), 1.0);
    g.node->SetThreshold(-20.0);
    while (g.node->singleProcessLoop(reader, ctx, &writer) == SoundTools::StatusOk) {
    }
    g.node->endProcessLoop(ctx);
    ASSERT_EQ(writer.frameCount(), 6000u + 220u);
    EXPECT_EQ(writer.samples[2 * (first - 1)], level);
    // 441 frames of fade: 1 - 1/441 on the first frame of the next block.
    EXPECT_NEAR(writer.samples[2 * first] / level, 1.0 - 1.0 / 441, 1e-12);
    EXPECT_EQ(writer.samples[2 * (first + 440)], 0.0);
    EXPECT_EQ(writer.samples[2 * (writer.frameCount() - 1)], 0.0);
}
