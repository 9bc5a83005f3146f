// The Qt player against a real audio server (a PulseAudio null sink, started
// by the test fixture): real-time playback, its signals and its failures.
#include "MemoryReader.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundPlayerQt.h"
#include "SoundReader.h"
#include "SoundWriter.h"

#include <QAudioFormat>
#include <QAudioOutput>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace {

class PlayerQt : public ::testing::Test {
protected:
    void SetUp() override
    {
        mSavedSize = SoundBuffer::getDefaultSize();
        if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
            GTEST_SKIP() << "no audio server: run through ctest, which starts one";
    }
    void TearDown() override { SoundBuffer::setDefaultSize(mSavedSize); }
    unsigned int mSavedSize = 0;
};

// Writes `seconds` of a 440 Hz tone at -12 dBFS to a 16-bit WAV file.
bool writeTone(const QString& path, double seconds, unsigned int rate)
{
    std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(path, rate, 0, SoundTools::PCM16));
    if (!w || w->open(path) != SoundTools::StatusOk)
        return false;
    const auto frames = static_cast<unsigned int>(seconds * rate);
    std::vector<SoundTools::StereoFrame<double>> tone(frames);
    for (unsigned int i = 0; i < frames; ++i) {
        const double v = 0.25 * std::sin(2 * M_PI * 440.0 * i / rate);
        tone[i] = {v, v};
    }
    MemoryReader reader(tone, rate);
    reader.open(QString());
    reader.rewind();
    auto* pass = new SoundAlgoBypass();
    const SoundTools::Status s = pass->processAll(reader, w.get());
    pass->release();
    w->close();
    return s == SoundTools::StatusOk;
}

std::shared_ptr<SoundReader> openFile(const QString& path)
{
    std::shared_ptr<SoundReader> r(SoundReader::getFromFilename(path));
    if (!r || r->open(path) != SoundTools::StatusOk)
        return nullptr;
    r->rewind();
    return r;
}

} // namespace

TEST_F(PlayerQt, OutputFormatFollowsTheFile)
{
    SoundPlayerQt none(nullptr, nullptr, true);
    EXPECT_EQ(none.getDevice(), nullptr);
    const QAudioFormat f = none.getOutput()->format();
    EXPECT_EQ(f.sampleRate(), 44100);
    EXPECT_EQ(f.channelCount(), 2);
    EXPECT_EQ(f.sampleSize(), 16);
    EXPECT_EQ(f.codec(), QStringLiteral("audio/pcm"));
    EXPECT_EQ(f.byteOrder(), QAudioFormat::LittleEndian);
    EXPECT_EQ(f.sampleType(), QAudioFormat::SignedInt);
    // The output's state changes come in through this slot.
    EXPECT_GE(none.metaObject()->indexOfSlot("audioStatusChanged(QAudio::State)"), 0);
    EXPECT_EQ(none.getOutput()->notifyInterval(), 500);

    auto reader = std::make_shared<MemoryReader>(std::vector<SoundTools::StereoFrame<double>>(10), 48000);
    SoundPlayerQt p(reader, nullptr, false);
    EXPECT_EQ(p.getOutput()->format().sampleRate(), 48000);
}

// A short file plays to its end in real time: the output becomes active,
// reports the position twice a second and finishes once, at the end.
TEST_F(PlayerQt, PlaysAFileToTheEnd)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("tone.wav"));
    const double seconds = 1.6;
    ASSERT_TRUE(writeTone(path, seconds, 44100));
    auto reader = openFile(path);
    ASSERT_TRUE(reader);

    SoundPlayerQt p(reader, nullptr, true);
    p.switchEq(true);
    p.setEqPreset(1);
    QSignalSpy loaded(&p, &SoundPlayer::playerLoaded);
    QSignalSpy started(&p, &SoundPlayer::playingStarted);
    QSignalSpy progress(&p, &SoundPlayer::playingProgress);
    QSignalSpy finished(&p, &SoundPlayer::playingHasFinished);

    p.preload();
    EXPECT_EQ(loaded.count(), 1);
    QElapsedTimer clock;
    clock.start();
    p.start();
    EXPECT_FALSE(p.isStopped());
    ASSERT_TRUE(finished.count() > 0 || finished.wait(15000)) << "playback did not finish";
    const double elapsed = clock.elapsed() / 1000.0;
    // Let any late notice arrive: it must not be a second end.
    QTest::qWait(300);

    EXPECT_EQ(started.count(), 1);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_TRUE(finished.at(0).at(0).toBool());
    EXPECT_TRUE(p.isStopped());
    // Played in real time (the null sink consumes at the sample rate).
    EXPECT_GT(elapsed, seconds - 0.3);
    EXPECT_LT(elapsed, seconds + 3.0);
    // About two position reports a second, each half a second further.
    EXPECT_GE(progress.count(), 2);
    EXPECT_LE(progress.count(), static_cast<int>(2 * elapsed) + 1);
    for (int i = 0; i < progress.count(); ++i)
        EXPECT_DOUBLE_EQ(progress.at(i).at(0).toDouble(), 0.5 * (i + 1));
}

// Stopping in the middle reports the end once, as not reached; a second
// stop does nothing.
TEST_F(PlayerQt, StopInTheMiddleReportsOnce)
{
    const unsigned int rate = 44100;
    auto reader = std::make_shared<MemoryReader>(
        [](unsigned int i) {
            const double v = 0.2 * std::sin(2 * M_PI * 330.0 * i / 44100.0);
            return SoundTools::StereoFrame<double>{v, v};
        },
        20 * rate, rate);
    reader->open(QString());
    reader->rewind();
    SoundBuffer::setDefaultSize(8192);

    SoundPlayerQt p(reader, nullptr, false);
    QSignalSpy started(&p, &SoundPlayer::playingStarted);
    QSignalSpy progress(&p, &SoundPlayer::playingProgress);
    QSignalSpy finished(&p, &SoundPlayer::playingHasFinished);
    p.start();
    ASSERT_TRUE(progress.count() >= 2 || QTest::qWaitFor([&] { return progress.count() >= 2; }, 10000));
    EXPECT_EQ(started.count(), 1);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_FALSE(p.isStopped());

    p.stop();
    EXPECT_TRUE(p.isStopped());
    EXPECT_FALSE(p.getDevice()->isRunning());
    p.stop();
    QTest::qWait(300);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_FALSE(finished.at(0).at(0).toBool());

    // It plays again from the start.
    progress.clear();
    finished.clear();
    p.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return progress.count() >= 1; }, 10000));
    EXPECT_DOUBLE_EQ(progress.at(0).at(0).toDouble(), 0.5);
    p.stop();
    EXPECT_EQ(finished.count(), 1);
}

// An output that cannot be opened (a rate no audio server takes) ends the
// start at once: the device is stopped and the end is reported as failed.
TEST_F(PlayerQt, FailedStartReportsAndStops)
{
    auto reader = std::make_shared<MemoryReader>(std::vector<SoundTools::StereoFrame<double>>(1000), 5000000);
    reader->open(QString());
    reader->rewind();
    SoundPlayerQt p(reader, nullptr, false);
    QSignalSpy finished(&p, &SoundPlayer::playingHasFinished);
    p.start();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_FALSE(finished.at(0).at(0).toBool());
    EXPECT_TRUE(p.isStopped());
    EXPECT_FALSE(p.getDevice()->isRunning());
    EXPECT_NE(p.getOutput()->error(), QAudio::NoError);
}

// A graph the loop refuses (two inputs) leaves the device closed: the start
// fails the same way, without touching the output.
TEST_F(PlayerQt, RefusedGraphFailsTheStart)
{
    auto reader = std::make_shared<MemoryReader>(std::vector<SoundTools::StereoFrame<double>>(1000), 44100);
    reader->open(QString());
    reader->rewind();
    auto* add = new SoundAlgoAdd(2);
    SoundPlayerQt p(reader, add, false);
    add->release();
    QSignalSpy finished(&p, &SoundPlayer::playingHasFinished);
    p.start();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_FALSE(finished.at(0).at(0).toBool());
    EXPECT_TRUE(p.isStopped());
    EXPECT_EQ(p.getDevice()->getStatus(), SoundTools::StatusError);
}
