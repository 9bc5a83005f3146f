// A writer that encodes behind on its own thread writes the file the writer
// it runs would write: over formats and block sizes of both sides, with the
// clipped-sample count carried over, and a failure of the target reported.
#include "IoTestUtil.h"
#include "SoundReader.h"
#include "SoundWriterBehind.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using iotest::music;
using iotest::readAll;
using iotest::writeAll;

namespace {

std::vector<double> decoded(const QString& path)
{
    std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(path));
    if (!r || r->open(path) != SoundTools::StatusOk)
        return {};
    r->rewind();
    return readAll(*r, 4096);
}

} // namespace

TEST(SoundWriterBehind, WritesWhatItsTargetWrites)
{
    QTemporaryDir dir;
    std::vector<double> x = music(30000, 44100, 0.9);
    for (size_t i = 1000; i < 1010; ++i)
        x[i] = 1.5; // beyond full scale: clipped in the integer formats
    for (const char* format : {"wav", "flac", "mp3"}) {
        const QString direct = dir.filePath(QStringLiteral("direct.%1").arg(QLatin1String(format)));
        unsigned long long clipped = 0;
        {
            std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(direct, 44100, 128, SoundTools::PCM16));
            ASSERT_EQ(w->open(direct), SoundTools::StatusOk);
            ASSERT_FALSE(writeAll(*w, x, 4096));
            w->close();
            clipped = w->getClippedSamples();
        }
        const std::vector<double> want = decoded(direct);
        ASSERT_FALSE(want.empty());
        for (const unsigned int behindBlock : {1000u, 4096u, 7u}) {
            for (const unsigned int writeBlock : {4096u, 333u}) {
                SCOPED_TRACE(testing::Message() << format << " behind " << behindBlock << " write " << writeBlock);
                const QString path = dir.filePath(QStringLiteral("behind.%1").arg(QLatin1String(format)));
                SoundWriterBehind w(SoundWriter::getFromFilename(path, 44100, 128, SoundTools::PCM16), behindBlock, 2);
                ASSERT_EQ(w.open(path), SoundTools::StatusOk);
                ASSERT_FALSE(writeAll(w, x, writeBlock));
                w.close();
                EXPECT_FALSE(w.hasFailed());
                EXPECT_EQ(w.getClippedSamples(), clipped);
                EXPECT_EQ(decoded(path), want);
            }
        }
    }
}

// Writing to a full disk fails, and the failure reaches the caller.
TEST(SoundWriterBehind, TargetFailureIsReported)
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    // The name selects the format (MP3 opens a device without writing to
    // it); the device is what is written.
    SoundWriterBehind full(SoundWriter::getFromFilename(QStringLiteral("x.mp3"), 44100, 128, SoundTools::PCM16), 1024, 2);
    ASSERT_EQ(full.open(QStringLiteral("/dev/full")), SoundTools::StatusOk);
    const bool failedOnTheWay = writeAll(full, music(200000, 44100), 4096);
    full.close();
    EXPECT_TRUE(full.hasFailed());
    EXPECT_TRUE(failedOnTheWay || full.hasFailed());
}
