#include "DefaultSizeTest.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "NodeHarness.h"
#include "TestSignals.h"

#include "SoundAlgoBypass.h"
#include "SoundAlgoDelay.h"
#include "SoundAlgoSelectChannel.h"

#include <gtest/gtest.h>

namespace {

class Routing : public DefaultSizeTest {};

// Runs a whole stream of the ramp through a node with a small block size.
// Returns the interleaved samples written.
std::vector<double> runRamp(SoundAlgo& node, unsigned int frames, unsigned int blockSize, unsigned int sampleRate = 44100)
{
    SoundBuffer::setDefaultSize(blockSize);
    MemoryReader reader(testsignals::rampFrames(frames), sampleRate);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(sampleRate);
    EXPECT_EQ(node.processAll(reader, &writer), SoundTools::StatusOk);
    return writer.samples;
}

} // namespace

TEST_F(Routing, DelayFrames)
{
    SoundAlgoDelay half(0.5, false);
    EXPECT_EQ(half.getDelay(44100), 22050u);
    EXPECT_EQ(half.getOutOverlap(44100), 0u);
    EXPECT_EQ(half.getSampleShift(44100), 0u);
    SoundAlgoDelay tiny(0.00001, false);
    EXPECT_EQ(tiny.getDelay(44100), 0u);
    SoundAlgoDelay overlap(0.5, true);
    EXPECT_EQ(overlap.getDelay(48000), 0u);
    EXPECT_EQ(overlap.getOutOverlap(48000), 24000u);
    EXPECT_EQ(overlap.getSampleShift(48000), 24000u);
}

// The delayed stream starts with d silent frames and then carries every
// input frame, whatever the block size (including blocks smaller than d).
TEST_F(Routing, DelayMovesTheStreamLater)
{
    for (unsigned int block : {3u, 7u, 64u, 1000u}) {
        SCOPED_TRACE(block);
        SoundAlgoDelay delay(0.01, false); // 10 frames at 1 kHz
        std::vector<double> w = runRamp(delay, 95, block, 1000);
        ASSERT_EQ(w.size() / 2, 105u);
        for (size_t p = 0; p < 105; ++p) {
            const double want = p < 10 ? 0.0 : testsignals::ramp(static_cast<int>(p) - 10).left;
            ASSERT_EQ(w[2 * p], want) << p;
        }
    }
}

// In overlap mode the output is the input, frame for frame, only delivered
// one block later; the total length equals the input length.
TEST_F(Routing, OverlapModeDelayIsTransparent)
{
    for (unsigned int block : {3u, 8u, 50u, 4096u}) {
        SCOPED_TRACE(block);
        SoundAlgoDelay delay(0.007, true); // 7 frames at 1 kHz
        std::vector<double> w = runRamp(delay, 123, block, 1000);
        ASSERT_EQ(w.size() / 2, 123u);
        for (size_t p = 0; p < 123; ++p)
            ASSERT_EQ(w[2 * p + 1], testsignals::ramp(static_cast<int>(p)).right) << p;
    }
}

TEST_F(Routing, BypassAsDelayOrMargin)
{
    SoundAlgoBypass delay100(0, 100, 0);
    EXPECT_EQ(delay100.getDelay(1), 100u);
    std::vector<double> w = runRamp(delay100, 300, 64);
    ASSERT_EQ(w.size() / 2, 400u);
    EXPECT_EQ(w[2 * 99], 0.0);
    EXPECT_EQ(w[2 * 100], testsignals::ramp(0).left);
    EXPECT_EQ(w[2 * 399], testsignals::ramp(299).left);

    SoundAlgoBypass margin(5, 0, 0);
    EXPECT_EQ(margin.getInOverlap(96000), 5u);
    w = runRamp(margin, 300, 16);
    ASSERT_EQ(w.size() / 2, 300u);
    for (size_t p = 0; p < 300; ++p)
        ASSERT_EQ(w[2 * p], testsignals::ramp(static_cast<int>(p)).left) << p;
}

// An out overlap moves the signal earlier and holds back the unfinished
// tail: the stream comes out O frames early, and the copy never reads past
// the input (the sanitizer build checks that).
TEST_F(Routing, BypassWithOutOverlap)
{
    SoundAlgoBypass early(0, 0, 30);
    std::vector<double> w = runRamp(early, 500, 64);
    ASSERT_EQ(w.size() / 2, 470u);
    for (size_t p = 0; p < 470; ++p)
        ASSERT_EQ(w[2 * p], testsignals::ramp(static_cast<int>(p) + 30).left) << p;

    SoundAlgoBypass mixed(3, 5, 7);
    w = runRamp(mixed, 500, 50);
    ASSERT_EQ(w.size() / 2, 498u);
    for (size_t p = 0; p < 498; ++p) {
        const int q = static_cast<int>(p) + 7 - 5;
        ASSERT_EQ(w[2 * p], q < 0 ? 0.0 : testsignals::ramp(q).left) << p;
    }
}

TEST_F(Routing, SelectChannelForwardsTheBuffer)
{
    Exposed<SoundAlgoSelectChannel> select(1, 2);
    EXPECT_EQ(select.getInputNumber(), 2u);
    EXPECT_EQ(select.getOutputNumber(), 1u);
    SoundAlgo::LoopContext ctx;
    ctx.sampleRate = 44100;
    ASSERT_EQ(select.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(select.getOutBuffer(0), select.getInBuffer(1));
    EXPECT_NE(select.getOutBuffer(0), select.getInBuffer(0));
    select.endProcess(0, 0);

    // As the head of a run, the single input goes through unchanged.
    SoundAlgoSelectChannel only(0, 1);
    std::vector<double> w = runRamp(only, 77, 10);
    ASSERT_EQ(w.size() / 2, 77u);
    EXPECT_EQ(w[2 * 76], testsignals::ramp(76).left);
}

TEST_F(Routing, SelectChannelRefusesAnIndexOutOfRange)
{
    SoundAlgo::LoopContext ctx;
    ctx.sampleRate = 44100;
    for (int selected : {2, 5, -1}) {
        Exposed<SoundAlgoSelectChannel> select(selected, 2);
        EXPECT_EQ(select.initProcess(ctx, nullptr, nullptr), SoundTools::StatusError);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("out of range")));
    }
}
