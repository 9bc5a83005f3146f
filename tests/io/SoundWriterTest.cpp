#include "MemoryWriter.h"
#include "TestSignals.h"

#include <gtest/gtest.h>

namespace {

// A stereo buffer holding the ramp at stream positions [origin, origin + n).
std::shared_ptr<SoundBuffer> rampBuffer(int origin, unsigned int n, unsigned int sampleRate = 44100)
{
    auto b = SoundBuffer::createNew(sampleRate);
    b->alloc(n, 2, 1, 1);
    b->setOrigin(origin);
    b->setFrameNB(n);
    for (unsigned int i = 0; i < n; ++i)
        *b->getRelStereoFrame(static_cast<int>(i)) = testsignals::ramp(origin + static_cast<int>(i));
    return b;
}

void expectRamp(const MemoryWriter& w, int firstPosition, size_t frames)
{
    ASSERT_EQ(w.frameCount(), frames);
    for (size_t i = 0; i < frames; ++i)
        ASSERT_EQ(w.samples[2 * i], testsignals::ramp(firstPosition + static_cast<int>(i)).left) << i;
}

} // namespace

TEST(SoundWriter, OverlappingBuffersAreWrittenOnce)
{
    MemoryWriter w(44100);
    EXPECT_FALSE(w.writeBuffer(rampBuffer(0, 10), 0));
    EXPECT_FALSE(w.writeBuffer(rampBuffer(6, 10), 0));
    EXPECT_EQ(w.getCurrentOffset(), 16);
    expectRamp(w, 0, 16);
}

TEST(SoundWriter, MarginIsHeldBack)
{
    MemoryWriter w(44100);
    EXPECT_FALSE(w.writeBuffer(rampBuffer(0, 10), 3));
    EXPECT_EQ(w.getCurrentOffset(), 7);
    EXPECT_FALSE(w.writeBuffer(rampBuffer(7, 10), 3));
    expectRamp(w, 0, 14);
}

TEST(SoundWriter, RangeLimitsWhatIsWritten)
{
    MemoryWriter w(44100);
    w.setRange(100, 200);
    for (int origin = 0; origin < 300; origin += 64)
        EXPECT_FALSE(w.writeBuffer(rampBuffer(origin, 64), 0));
    expectRamp(w, 100, 100);
    // A buffer beyond the end is no error.
    EXPECT_FALSE(w.writeBuffer(rampBuffer(400, 10), 0));
}

TEST(SoundWriter, GapIsWrittenFromTheBufferOrigin)
{
    MemoryWriter w(44100);
    EXPECT_FALSE(w.writeBuffer(rampBuffer(0, 10), 0));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.writeBuffer(rampBuffer(15, 5), 0));
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_EQ(warning, "SoundWriter::WriteBuffer : Warning, there is a gap in the output flow ! 15->10\n");
    EXPECT_EQ(w.getCurrentOffset(), 15); // the 5 missing frames are not counted
    ASSERT_EQ(w.frameCount(), 15u);
    EXPECT_EQ(w.samples[20], testsignals::ramp(15).left);

    // After the gap, the next buffer overlapping what was written is not
    // written twice.
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.writeBuffer(rampBuffer(18, 6), 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(w.frameCount(), 19u);
    EXPECT_EQ(w.samples[2 * 15], testsignals::ramp(20).left);
}

TEST(SoundWriter, FormatMismatchesAreRefused)
{
    MemoryWriter w(44100);
    EXPECT_TRUE(w.writeBuffer(rampBuffer(0, 10, 48000), 0));
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("SoundWriter::WriteBuffer : Samplerate conversion not implemented"));
    MemoryWriter mono(44100, 1);
    EXPECT_TRUE(mono.writeBuffer(rampBuffer(0, 10), 0));
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("SoundWriter::WriteBuffer : Incorrect number of channels"));
    EXPECT_EQ(w.frameCount(), 0u);
}

TEST(SoundWriter, ShortWriteIsAFailure)
{
    MemoryWriter w(44100);
    w.failAfter(12);
    EXPECT_FALSE(w.writeBuffer(rampBuffer(0, 10), 0));
    EXPECT_TRUE(w.writeBuffer(rampBuffer(10, 10), 0));
    EXPECT_EQ(w.getCurrentOffset(), 12);
    // Nothing to write is no failure.
    EXPECT_FALSE(w.writeBuffer(rampBuffer(0, 4), 0));
}
