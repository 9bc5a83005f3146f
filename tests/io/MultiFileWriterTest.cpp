#include "IoTestUtil.h"
#include "MemoryReader.h"
#include "TestSignals.h"

#include "../segmentation/SegmentationSignals.h"

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMultiFile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <climits>

using SoundTools::StereoFrame;

namespace {

struct R {
    int begin;
    int length;
    bool noise;
};

// A detector holding exactly the given regions (as loaded from JSON).
RMSStepDetector* detectorWith(const std::vector<R>& regions, unsigned int sampleRate)
{
    QJsonObject o;
    o.insert("Class", "RMSStepDetector");
    o.insert("NoiseThreshold", -40.0);
    o.insert("RMSTime", 0.2);
    o.insert("MinSlopeTime", 1.0);
    o.insert("OutputMode", 2);
    o.insert("RealTimeMode", false);
    o.insert("SampleRate", static_cast<int>(sampleRate));
    QJsonArray list;
    for (const R& r : regions) {
        QJsonObject j;
        j.insert("BeginSample", r.begin);
        j.insert("SampleNb", r.length);
        j.insert("RMSSqrValue0", r.noise ? 1e-8 : 0.1);
        j.insert("RMSSqrValue1", r.noise ? 1e-8 : 0.1);
        j.insert("MeanSmpl", 10);
        j.insert("IsNoise", r.noise);
        list.append(j);
    }
    o.insert("Regions", list);
    return RMSStepDetector::createFromJSon(o);
}

// Streams the frames through a pass-through node into the writer, in blocks
// of the given size. Returns the run's status.
SoundTools::Status streamInto(SoundWriter& writer, const std::vector<StereoFrame<double>>& frames, unsigned int block,
                              unsigned int sampleRate)
{
    const unsigned int saved = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(block);
    MemoryReader reader(frames, sampleRate);
    reader.open(QString());
    reader.rewind();
    auto* node = new SoundAlgoBypass();
    const SoundTools::Status s = node->processAll(reader, &writer);
    node->release();
    SoundBuffer::setDefaultSize(saved);
    return s;
}

std::vector<StereoFrame<double>> readFile(const QString& name)
{
    SoundReaderSndfile reader;
    if (reader.open(name) != SoundTools::StatusOk)
        return {};
    reader.rewind();
    const std::vector<double> s = iotest::readAll(reader, 1000);
    std::vector<StereoFrame<double>> f(s.size() / 2);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = {s[2 * i], s[2 * i + 1]};
    return f;
}

// A ramp scaled into (-1, 1) so that it survives a float file exactly.
std::vector<StereoFrame<double>> scaledRamp(unsigned int n)
{
    std::vector<StereoFrame<double>> f(n);
    for (unsigned int i = 0; i < n; ++i)
        f[i] = {(i + 1.0) / 65536.0, -(i + 1.0) / 131072.0};
    return f;
}

void expectSlice(const std::vector<StereoFrame<double>>& file, const std::vector<StereoFrame<double>>& input, int begin,
                 int length)
{
    ASSERT_EQ(static_cast<int>(file.size()), length);
    for (int i = 0; i < length; ++i) {
        ASSERT_EQ(file[static_cast<size_t>(i)].left, input[static_cast<size_t>(begin + i)].left) << i;
        ASSERT_EQ(file[static_cast<size_t>(i)].right, input[static_cast<size_t>(begin + i)].right) << i;
    }
}

} // namespace

TEST(SoundWriterMultiFile, TrackFileNames)
{
    auto* d = detectorWith({{0, 10, false}}, 1000);
    SoundWriterMultiFile w(d, 0.0, 1000, 2, 128, SoundTools::Float);
    ASSERT_EQ(w.open("C:/music/01 - Intro.mp3"), SoundTools::StatusOk);
    EXPECT_EQ(w.trackFileName(3), QStringLiteral("C:/music/03 Intro.mp3"));
    ASSERT_EQ(w.open("out/live.wav"), SoundTools::StatusOk);
    EXPECT_EQ(w.trackFileName(1), QStringLiteral("out/001-live.wav"));
    EXPECT_EQ(w.trackFileName(2), QStringLiteral("out/002-live.wav"));
    ASSERT_EQ(w.open("7_x.flac"), SoundTools::StatusOk);
    EXPECT_EQ(w.trackFileName(1), QStringLiteral("1_x.flac"));
    EXPECT_EQ(w.trackFileName(12), QStringLiteral("12_x.flac"));
    ASSERT_EQ(w.open("/take.wav"), SoundTools::StatusOk);
    EXPECT_EQ(w.trackFileName(1), QStringLiteral("/001-take.wav"));
    EXPECT_EQ(w.open("/tmp/"), SoundTools::StatusError);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("/tmp/")));
    d->release();
}

// Track, noise, too-short track, noise, track: two files numbered 1 and 2
// holding exactly the frames of their tracks, at any block size; the noise
// and the short track appear nowhere, and frames after the last region go to
// the last file.
TEST(SoundWriterMultiFile, OneFileOfExactFramesPerTrack)
{
    const auto input = scaledRamp(9000);
    for (unsigned int block : {97u, 1000u, 4096u}) {
        SCOPED_TRACE(block);
        QTemporaryDir dir;
        auto* d = detectorWith({{0, 3000, false}, {3000, 500, true}, {3500, 400, false}, {3900, 600, true}, {4500, 4000, false}},
                               1000);
        d->setId(QString());
        {
            SoundWriterMultiFile w(d, 1.0, 1000, 2, 128, SoundTools::Float);
            d->release(); // the writer keeps its own reference
            ASSERT_EQ(w.open(dir.filePath("take.wav")), SoundTools::StatusOk);
            EXPECT_EQ(streamInto(w, input, block, 1000), SoundTools::StatusOk);
            w.close();
            EXPECT_EQ(w.GetWrittenFiles(), 2);
        }
        expectSlice(readFile(dir.filePath("001-take.wav")), input, 0, 3000);
        expectSlice(readFile(dir.filePath("002-take.wav")), input, 4500, 4500);
        EXPECT_FALSE(QFile::exists(dir.filePath("003-take.wav")));
    }
}

// One region longer than the minimum, spread over many blocks, is one track.
TEST(SoundWriterMultiFile, LongRegionOverManyBlocksIsWritten)
{
    const auto input = scaledRamp(6000);
    for (unsigned int block : {300u, 1999u}) {
        QTemporaryDir dir;
        auto* d = detectorWith({{0, 500, true}, {500, 5000, false}, {5500, 500, true}}, 1000);
        {
            SoundWriterMultiFile w(d, 3.0, 1000, 2, 128, SoundTools::Float);
            d->release();
            ASSERT_EQ(w.open(dir.filePath("t.wav")), SoundTools::StatusOk);
            EXPECT_EQ(streamInto(w, input, block, 1000), SoundTools::StatusOk);
            w.close();
        }
        expectSlice(readFile(dir.filePath("001-t.wav")), input, 500, 5000);
    }
}

// Leading exact zeros are not written; a frame with one negative sample and
// one zero is sound, not silence.
TEST(SoundWriterMultiFile, LeadingDigitalSilenceIsTrimmed)
{
    auto input = scaledRamp(3000);
    for (int i = 0; i < 700; ++i)
        input[static_cast<size_t>(i)] = {0.0, 0.0};
    input[700] = {-0.25, 0.0};
    QTemporaryDir dir;
    auto* d = detectorWith({{0, 3000, false}}, 1000);
    {
        SoundWriterMultiFile w(d, 0.5, 1000, 2, 128, SoundTools::Float);
        d->release();
        ASSERT_EQ(w.open(dir.filePath("s.wav")), SoundTools::StatusOk);
        EXPECT_EQ(streamInto(w, input, 256, 1000), SoundTools::StatusOk);
        w.close();
    }
    expectSlice(readFile(dir.filePath("001-s.wav")), input, 700, 2300);
}

TEST(SoundWriterMultiFile, TagsCarryTheTrackNumber)
{
    QTemporaryDir dir;
    auto* d = detectorWith({{0, 2000, false}, {2000, 500, true}, {2500, 2000, false}}, 1000);
    {
        SoundWriterMultiFile w(d, 0.5, 1000, 2, 128, SoundTools::PCM16);
        d->release();
        ASSERT_EQ(w.open(dir.filePath("album.flac")), SoundTools::StatusOk);
        SoundIDTag tags;
        tags.album = "Side A";
        tags.artist = "Band";
        w.setTags(tags);
        EXPECT_EQ(streamInto(w, scaledRamp(4500), 1000, 1000), SoundTools::StatusOk);
        w.close();
    }
    for (int n : {1, 2}) {
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(dir.filePath(QStringLiteral("00%1-album.flac").arg(n))), SoundTools::StatusOk);
        SoundIDTag read;
        ASSERT_TRUE(reader.getTags(read));
        EXPECT_EQ(read.album, "Side A");
        EXPECT_EQ(read.track, std::to_string(n));
    }
}

// A track file that cannot be opened stops the run with the file named in
// the error; the files finished before stay complete.
TEST(SoundWriterMultiFile, UnwritableTrackStopsTheRun)
{
    QTemporaryDir dir;
    const auto input = scaledRamp(5000);
    auto* d = detectorWith({{0, 2000, false}, {2000, 500, true}, {2500, 2500, false}}, 1000);
    SoundWriterMultiFile w(d, 0.5, 1000, 2, 128, SoundTools::Float);
    d->release();
    ASSERT_EQ(w.open(dir.filePath("ok.wav")), SoundTools::StatusOk);
    // Track 2 lands on a directory of that name.
    ASSERT_TRUE(QDir(dir.path()).mkdir("002-ok.wav"));
    EXPECT_EQ(streamInto(w, input, 700, 1000), SoundTools::StatusError);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("002-ok.wav")));
    EXPECT_EQ(w.GetWrittenFiles(), 1);
    expectSlice(readFile(dir.filePath("001-ok.wav")), input, 0, 2000);

    // A missing directory.
    auto* d2 = detectorWith({{0, 5000, false}}, 1000);
    SoundWriterMultiFile w2(d2, 0.5, 1000, 2, 128, SoundTools::Float);
    d2->release();
    ASSERT_EQ(w2.open(dir.filePath("missing/x.wav")), SoundTools::StatusOk);
    EXPECT_EQ(streamInto(w2, input, 700, 1000), SoundTools::StatusError);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("001-x.wav")));
}

// A real detection run: tracks of steady and varying level separated by
// low-level noise. Each file holds exactly the input frames of its regions,
// and no noise frame is written.
TEST(SoundWriterMultiFile, DetectedTracksAreWrittenExactly)
{
    using namespace segsignals;
    Recording rec;
    rec.silence(0.5).tone(12, -10).noise(3, -70).varying(15, -14, 0.4).noise(3, -70).tone(11, -6).fade(4, -6, -40);
    const auto& input = rec.data;
    for (unsigned int block : {1000u, 16384u}) {
        SCOPED_TRACE(block);
        SoundBuffer::setDefaultSize(block);
        MemoryReader reader(input, kRate);
        reader.open(QString());
        reader.rewind();
        auto* detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput);
        ASSERT_EQ(detector->processAll(reader, nullptr), SoundTools::StatusOk);
        detector->split(1.0, 5.0, 40.0);

        QTemporaryDir dir;
        {
            SoundWriterMultiFile w(detector, 5.0, kRate, 2, 128, SoundTools::Double);
            ASSERT_EQ(w.open(dir.filePath("rec.wav")), SoundTools::StatusOk);
            ASSERT_EQ(streamInto(w, input, block, kRate), SoundTools::StatusOk);
            w.close();
            EXPECT_EQ(w.GetWrittenFiles(), 3);
        }
        // Expected content: the frames of each run of non-noise regions,
        // without their leading exact zeros.
        int file = 0;
        const int regions = detector->size(false);
        for (int i = 0; i < regions;) {
            const auto r = detector->getRegion(i, false);
            if (r.IsNoise) {
                ++i;
                continue;
            }
            int begin = r.BeginSample;
            int end = begin;
            while (i < regions && !detector->getRegion(i, false).IsNoise) {
                const auto q = detector->getRegion(i, false);
                end = q.BeginSample + q.SampleNb;
                ++i;
            }
            end = std::min<int>(end, static_cast<int>(input.size()));
            while (begin < end && input[static_cast<size_t>(begin)].left == 0.0 && input[static_cast<size_t>(begin)].right == 0.0)
                ++begin;
            ++file;
            expectSlice(readFile(dir.filePath(QStringLiteral("%1-rec.wav").arg(file, 3, 10, QChar('0')))), input, begin,
                        end - begin);
        }
        EXPECT_EQ(file, 3);
        detector->release();
    }
    SoundBuffer::setDefaultSize(1048576);
}
