// A reader that decodes ahead on its own thread gives exactly what the
// reader it runs gives: over formats, block sizes of both sides (a read
// ending inside, at and across the thread's blocks), start points, a second
// pass after rewind, tags asked for mid-stream, and a cut file's end.
#include "IoTestUtil.h"
#include "SoundReaderAhead.h"
#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriter.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

using iotest::music;
using iotest::readAll;

namespace {

bool writeFile(const QString& path, unsigned int frames)
{
    std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(path, 44100, 128, SoundTools::PCM16));
    if (!w || w->open(path) != SoundTools::StatusOk)
        return false;
    const bool failed = iotest::writeAll(*w, music(frames, 44100));
    w->close();
    return !failed;
}

// The file read directly, from its start.
std::vector<double> readDirect(const QString& path, unsigned int block)
{
    std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(path));
    if (!r || r->open(path) != SoundTools::StatusOk)
        return {};
    r->rewind();
    return readAll(*r, block);
}

} // namespace

TEST(SoundReaderAhead, GivesWhatItsSourceGives)
{
    QTemporaryDir dir;
    const unsigned int frames = 44100 + 777;
    for (const char* format : {"wav", "flac", "mp3"}) {
        const QString path = dir.filePath(QStringLiteral("in.%1").arg(QLatin1String(format)));
        ASSERT_TRUE(writeFile(path, frames)) << format;
        const struct {
            unsigned int aheadBlock, readBlock;
            double start;
        } cases[] = {{1000, 4096, 0.0}, {4096, 4096, 0.0}, {16384, 1000, 0.25}, {7, 333, 0.5}};
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << format << " ahead " << c.aheadBlock << " read " << c.readBlock
                                            << " start " << c.start);
            std::unique_ptr<SoundReader> direct(SoundReader::getFromFilename(path));
            ASSERT_EQ(direct->open(path), SoundTools::StatusOk);
            direct->setStartPoint(c.start);
            direct->rewind();
            const std::vector<double> want = readAll(*direct, c.readBlock);
            ASSERT_GT(want.size(), 0u);

            SoundReaderAhead ahead(SoundReader::getFromFilename(path), c.aheadBlock, 3);
            ASSERT_EQ(ahead.open(path), SoundTools::StatusOk);
            EXPECT_EQ(ahead.getFrameNB(), direct->getFrameNB());
            EXPECT_EQ(ahead.getSampleRate(), 44100u);
            for (int pass = 0; pass < 2; ++pass) {
                ahead.setStartPoint(c.start);
                ahead.rewind();
                EXPECT_EQ(ahead.getOffset(), direct->getStartOffset());
                const std::vector<double> got = readAll(ahead, c.readBlock);
                ASSERT_EQ(got, want) << "pass " << pass;
                EXPECT_TRUE(ahead.atEnd());
                EXPECT_EQ(ahead.getEndOffset(), direct->getEndOffset());
            }
        }
    }

    // Tags asked for in the middle of a run do not disturb the stream.
    const QString path = dir.filePath("in.flac");
    const std::vector<double> want = readDirect(path, 1000);
    SoundReaderAhead ahead(new SoundReaderSndfile, 512, 2);
    ASSERT_EQ(ahead.open(path), SoundTools::StatusOk);
    ahead.rewind();
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(1000, 2, 1, 1);
    std::vector<double> got;
    for (int i = 0; i < 100; ++i) {
        const unsigned int n = ahead.stereoRead(buffer, 0);
        got.insert(got.end(), buffer->getRelFrame(0), buffer->getRelFrame(0) + 2 * static_cast<size_t>(n));
        SoundIDTag tags;
        ahead.getTags(tags);
        if (n == 0 || ahead.atEnd())
            break;
    }
    EXPECT_EQ(got, want);
}

// A cut file ends where its data ends, as read directly.
TEST(SoundReaderAhead, CutFileEndsWhereItsDataEnds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("cut.wav");
    ASSERT_TRUE(writeFile(path, 44100));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.resize(f.size() / 2));
    f.close();
    SoundReaderSndfile direct;
    ASSERT_EQ(direct.open(path), SoundTools::StatusOk);
    direct.rewind();
    const std::vector<double> want = readAll(direct, 4096);
    SoundReaderAhead ahead(new SoundReaderSndfile, 3000, 2);
    ASSERT_EQ(ahead.open(path), SoundTools::StatusOk);
    ahead.rewind();
    EXPECT_EQ(readAll(ahead, 4096), want);
    EXPECT_EQ(ahead.getEndOffset(), direct.getEndOffset());
    EXPECT_EQ(ahead.getFrameNB(), direct.getFrameNB());
}
