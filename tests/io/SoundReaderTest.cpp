#include "MemoryReader.h"
#include "TestSignals.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <QtGlobal>

namespace {

QStringList gCritical;
void captureCritical(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type == QtCriticalMsg)
        gCritical << msg;
}

std::shared_ptr<SoundBuffer> stereoBuffer(unsigned int capacity)
{
    auto b = SoundBuffer::createNew(44100);
    b->alloc(capacity, 2, 1, 1);
    return b;
}

} // namespace

TEST(SoundReader, LengthString)
{
    MemoryReader hourish([](unsigned int) { return SoundTools::StereoFrame<double>{0, 0}; }, 3725 * 2 + 1, 2);
    EXPECT_EQ(hourish.getLengthString(), "01:02:05.500");
    MemoryReader minute([](unsigned int) { return SoundTools::StereoFrame<double>{0, 0}; }, 5925, 100);
    EXPECT_EQ(minute.getLengthString(), "00:00:59.250");
    MemoryReader empty(testsignals::rampFrames(0), 44100);
    EXPECT_EQ(empty.getLengthString(), "00:00:00.000");
    EXPECT_DOUBLE_EQ(minute.getLength(), 59.25);
}

TEST(SoundReader, StartPointInFrames)
{
    MemoryReader reader(testsignals::rampFrames(100000), 44100);
    reader.setStartPoint(1.00001); // 44100.441 frames
    EXPECT_EQ(reader.getStartOffset(), 44100);
    reader.setStartPoint(0.5);
    EXPECT_EQ(reader.getStartOffset(), 22050);
    reader.open(QString());
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 22050);
    auto b = stereoBuffer(10);
    EXPECT_EQ(reader.stereoRead(b, 0), 10u);
    EXPECT_EQ(b->getOrigin(), 22050);
    EXPECT_EQ(b->getFrame(22050)[0], testsignals::ramp(22050).left);
}

TEST(SoundReader, StereoReadKeepsMarginsAndPadsTheEnd)
{
    MemoryReader reader(testsignals::rampFrames(13), 44100);
    reader.open(QString());
    reader.rewind();
    auto b = stereoBuffer(8);

    EXPECT_EQ(reader.stereoRead(b, 2), 8u);
    EXPECT_EQ(b->getOrigin(), 0);
    EXPECT_EQ(b->getFrameNB(), 8u);
    EXPECT_FALSE(reader.atEnd());

    // Keeps frames 6 and 7, reads 8 to 12 (short read: at end).
    EXPECT_EQ(reader.stereoRead(b, 2), 5u);
    EXPECT_EQ(b->getOrigin(), 6);
    EXPECT_EQ(b->getFrameNB(), 7u);
    EXPECT_EQ(b->getFrame(6)[0], testsignals::ramp(6).left);
    EXPECT_EQ(b->getFrame(12)[0], testsignals::ramp(12).left);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_EQ(reader.getOffset(), 13);

    // Nothing left: frames 11 and 12 are kept and followed by two silent frames.
    EXPECT_EQ(reader.stereoRead(b, 2), 0u);
    EXPECT_EQ(b->getOrigin(), 11);
    EXPECT_EQ(b->getFrameNB(), 4u);
    EXPECT_EQ(b->getFrame(12)[0], testsignals::ramp(12).left);
    EXPECT_EQ(b->getFrame(13)[0], 0.0);
    EXPECT_EQ(b->getFrame(14)[1], 0.0);
    EXPECT_EQ(reader.getOffset(), 15);
}

// A read shorter than the margin is real data: it is not followed by silence
// until the stream really ends.
TEST(SoundReader, ShortReadIsNotPadded)
{
    MemoryReader reader(testsignals::rampFrames(9), 44100);
    reader.open(QString());
    reader.rewind();
    auto b = stereoBuffer(8);
    EXPECT_EQ(reader.stereoRead(b, 3), 8u);
    EXPECT_EQ(reader.stereoRead(b, 3), 1u);
    EXPECT_EQ(b->getOrigin(), 5);
    EXPECT_EQ(b->getFrameNB(), 4u);
    EXPECT_EQ(reader.getOffset(), 9);
    EXPECT_EQ(reader.stereoRead(b, 3), 0u);
    EXPECT_EQ(b->getOrigin(), 6);
    EXPECT_EQ(b->getFrameNB(), 6u);
    EXPECT_EQ(b->getFrame(8)[0], testsignals::ramp(8).left);
    EXPECT_EQ(b->getFrame(9)[0], 0.0);
}

TEST(SoundReader, BufferNoLargerThanMarginReadsNothing)
{
    QtMessageHandler previous = qInstallMessageHandler(captureCritical);
    gCritical.clear();
    MemoryReader reader(testsignals::rampFrames(50), 44100);
    reader.open(QString());
    reader.rewind();
    auto b = stereoBuffer(4);
    EXPECT_EQ(reader.stereoRead(b, 4), 4u);
    EXPECT_EQ(reader.stereoRead(b, 4), 0u);
    EXPECT_EQ(reader.getOffset(), 4);
    ASSERT_EQ(gCritical.size(), 1);
    EXPECT_EQ(gCritical[0], QStringLiteral("Buffer size smaller than margin !"));
    qInstallMessageHandler(previous);
}
