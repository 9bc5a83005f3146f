#include "IoTestUtil.h"

#include "SoundReaderSndfile.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sndfile.h>

#include <cmath>
#include <cstring>

using iotest::music;
using iotest::readAll;
using iotest::writeAll;

namespace {

// Writes `channels`-channel float samples with libsndfile itself, so that the
// reader is checked against a file it did not write.
bool writeWithSndfile(const QString& path, const std::vector<double>& interleaved, int channels, int format,
                      int sampleRate = 44100)
{
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.toLocal8Bit().constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
    const bool ok = sf_writef_double(f, interleaved.data(), frames) == frames;
    sf_close(f);
    return ok;
}

struct FormatCase {
    const char* name;
    SoundWriterSndfile::FileType type;
    SoundTools::SoundFormat asked;
    SoundTools::SoundFormat stored; // what the reader reports back
    double tolerance;               // half a quantisation step, with a little slack
};

} // namespace

// Every WAV and FLAC sample format: what is read back equals what was
// written within the format's quantisation, with the same length and rate.
TEST(SndfileIo, RoundTripWithinQuantisation)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const FormatCase cases[] = {
        {"u8.wav", SoundWriterSndfile::WAV, SoundTools::PCM8, SoundTools::PCM8, 1.01 / 128},
        {"s16.wav", SoundWriterSndfile::WAV, SoundTools::PCM16, SoundTools::PCM16, 1.01 / 32768},
        {"s24.wav", SoundWriterSndfile::WAV, SoundTools::PCM24, SoundTools::PCM24, 1.01 / 8388608},
        {"s32.wav", SoundWriterSndfile::WAV, SoundTools::PCM32, SoundTools::PCM32, 1e-9},
        {"f32.wav", SoundWriterSndfile::WAV, SoundTools::Float, SoundTools::Float, 6e-8},
        {"f64.wav", SoundWriterSndfile::WAV, SoundTools::Double, SoundTools::Double, 0.0},
        {"s16.flac", SoundWriterSndfile::FLAC, SoundTools::PCM16, SoundTools::PCM16, 1.01 / 32768},
        {"s8.flac", SoundWriterSndfile::FLAC, SoundTools::PCM8, SoundTools::PCM16, 1.01 / 32768},
        {"s24.flac", SoundWriterSndfile::FLAC, SoundTools::PCM24, SoundTools::PCM24, 1.01 / 8388608},
        {"s32.flac", SoundWriterSndfile::FLAC, SoundTools::PCM32, SoundTools::PCM24, 1.01 / 8388608},
        {"dbl.flac", SoundWriterSndfile::FLAC, SoundTools::Double, SoundTools::PCM24, 1.01 / 8388608},
    };
    const unsigned int frames = 10007; // not a multiple of the block size
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned int rate = c.type == SoundWriterSndfile::FLAC ? 48000 : 44100;
        const std::vector<double> source = music(frames, rate);
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        {
            SoundWriterSndfile writer(rate, 2, c.asked, c.type);
            ASSERT_EQ(writer.open(path), SoundTools::StatusOk);
            EXPECT_FALSE(writeAll(writer, source, 4096, rate));
            EXPECT_EQ(writer.getCurrentOffset(), static_cast<int>(frames));
            writer.close();
        }
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(path), SoundTools::StatusOk);
        EXPECT_EQ(reader.getFrameNB(), frames);
        EXPECT_EQ(reader.getSampleRate(), rate);
        EXPECT_EQ(reader.getInputFormat(), c.stored);
        reader.rewind();
        const std::vector<double> back = readAll(reader, 4096);
        ASSERT_EQ(back.size(), source.size());
        EXPECT_LE(iotest::maxAbsDiff(source, back), c.tolerance);
        EXPECT_TRUE(reader.atEnd());
    }
}

// Raw output is headerless 32-bit float in CPU byte order: the bytes are
// the samples themselves.
// 16-bit samples come out as exactly sample / 32768, full scale included,
// for WAV and FLAC, whatever the block size of the reads.
TEST(SndfileIo, Pcm16SamplesAreScaledExactly)
{
    QTemporaryDir dir;
    std::vector<short> samples;
    for (int i = 0; i < 40000; ++i)
        samples.push_back(static_cast<short>((i * 7919) % 65536 - 32768));
    samples[0] = -32768;
    samples[1] = 32767;
    for (const char* ext : {"wav", "flac"}) {
        const QString name = dir.filePath(QStringLiteral("exact.%1").arg(QLatin1String(ext)));
        SF_INFO info{};
        info.samplerate = 44100;
        info.channels = 2;
        info.format = (std::strcmp(ext, "wav") == 0 ? SF_FORMAT_WAV : SF_FORMAT_FLAC) | SF_FORMAT_PCM_16;
        SNDFILE* f = sf_open(QFile::encodeName(name).constData(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(sf_writef_short(f, samples.data(), static_cast<sf_count_t>(samples.size() / 2)),
                  static_cast<sf_count_t>(samples.size() / 2));
        sf_close(f);
        for (unsigned int block : {1000u, 20000u}) {
            SoundReaderSndfile reader;
            ASSERT_EQ(reader.open(name), SoundTools::StatusOk);
            reader.rewind();
            const std::vector<double> got = iotest::readAll(reader, block);
            ASSERT_EQ(got.size(), samples.size()) << ext;
            for (size_t i = 0; i < samples.size(); ++i)
                ASSERT_EQ(got[i], samples[i] / 32768.0) << ext << " " << i;
        }
    }
}

TEST(SndfileIo, RawFloatIsHeaderless)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.raw"));
    const std::vector<double> source = music(1000, 44100);
    {
        SoundWriterSndfile writer(44100, 2, SoundTools::PCM16, SoundWriterSndfile::RAW);
        ASSERT_EQ(writer.open(path), SoundTools::StatusOk);
        EXPECT_FALSE(writeAll(writer, source, 300));
    }
    const QByteArray bytes = iotest::readFile(path);
    ASSERT_EQ(bytes.size(), static_cast<int>(source.size() * sizeof(float)));
    std::vector<float> stored(source.size());
    std::memcpy(stored.data(), bytes.constData(), static_cast<size_t>(bytes.size()));
    for (size_t i = 0; i < source.size(); ++i)
        ASSERT_EQ(stored[i], static_cast<float>(source[i])) << i;

    // A type that is none of the four is raw as well.
    SoundWriterSndfile odd(44100, 2, SoundTools::PCM16, static_cast<SoundWriterSndfile::FileType>(7));
    EXPECT_EQ(odd.getFormatCode(), SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU);
}

// Ogg Vorbis is lossy: same length, and close to the source. One block of
// more than 44100 frames goes through the chunked write.
TEST(SndfileIo, OggRoundTrip)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.ogg"));
    const unsigned int frames = 100000;
    const std::vector<double> source = music(frames, 44100, 0.5);
    {
        SoundWriterSndfile writer(44100, 2, SoundTools::PCM16, SoundWriterSndfile::OGG);
        ASSERT_EQ(writer.open(path), SoundTools::StatusOk);
        EXPECT_FALSE(writeAll(writer, source, frames));
        EXPECT_EQ(writer.getCurrentOffset(), static_cast<int>(frames));
    }
    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(path), SoundTools::StatusOk);
    reader.rewind();
    const std::vector<double> back = readAll(reader, 8192);
    ASSERT_EQ(back.size(), source.size());
    EXPECT_GT(iotest::correlation(source, back, 0, 0, frames), 0.99);
    EXPECT_GT(iotest::correlation(source, back, 1, 0, frames), 0.99);
}

// Values beyond full scale are clipped in integer files, not wrapped.
TEST(SndfileIo, IntegerOutputClips)
{
    QTemporaryDir dir;
    for (const char* name : {"clip.wav", "clip.flac"}) {
        SCOPED_TRACE(name);
        const QString path = dir.filePath(QString::fromLatin1(name));
        const bool flac = std::strstr(name, "flac") != nullptr;
        {
            SoundWriterSndfile writer(44100, 2, SoundTools::PCM16,
                                      flac ? SoundWriterSndfile::FLAC : SoundWriterSndfile::WAV);
            ASSERT_EQ(writer.open(path), SoundTools::StatusOk);
            EXPECT_FALSE(writeAll(writer, {1.5, -1.5, 2.0, -3.0, 0.25, -0.25}));
        }
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(path), SoundTools::StatusOk);
        reader.rewind();
        const std::vector<double> back = readAll(reader);
        ASSERT_EQ(back.size(), 6u);
        EXPECT_DOUBLE_EQ(back[0], 32767.0 / 32768.0);
        EXPECT_DOUBLE_EQ(back[1], -1.0);
        EXPECT_DOUBLE_EQ(back[2], 32767.0 / 32768.0);
        EXPECT_DOUBLE_EQ(back[3], -1.0);
        EXPECT_DOUBLE_EQ(back[4], 0.25);
        EXPECT_DOUBLE_EQ(back[5], -0.25);
    }
}

// Mono is delivered on both channels; a 6-channel file gives its first two
// channels, also when one read spans several internal chunks.
TEST(SndfileIo, MonoAndMultichannelFoldToStereo)
{
    QTemporaryDir dir;
    const unsigned int frames = 40000;
    std::vector<double> mono(frames);
    for (unsigned int i = 0; i < frames; ++i)
        mono[i] = static_cast<double>(static_cast<int>(i % 2000) - 1000) / 32768.0;
    const QString monoPath = dir.filePath(QStringLiteral("mono.wav"));
    ASSERT_TRUE(writeWithSndfile(monoPath, mono, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));

    std::vector<double> six(6 * static_cast<size_t>(frames));
    for (unsigned int i = 0; i < frames; ++i)
        for (unsigned int c = 0; c < 6; ++c)
            six[6 * i + c] = static_cast<double>(static_cast<int>((i * 7 + c * 1000) % 4096) - 2048) / 4096.0;
    const QString sixPath = dir.filePath(QStringLiteral("six.wav"));
    ASSERT_TRUE(writeWithSndfile(sixPath, six, 6, SF_FORMAT_WAV | SF_FORMAT_FLOAT));

    for (unsigned int block : {1000u, 40000u}) {
        SCOPED_TRACE(block);
        SoundReaderSndfile monoReader;
        ASSERT_EQ(monoReader.open(monoPath), SoundTools::StatusOk);
        monoReader.rewind();
        const std::vector<double> m = readAll(monoReader, block);
        ASSERT_EQ(m.size(), 2u * frames);
        for (unsigned int i = 0; i < frames; ++i) {
            ASSERT_EQ(m[2 * i], mono[i]) << i;
            ASSERT_EQ(m[2 * i + 1], mono[i]) << i;
        }

        SoundReaderSndfile sixReader;
        ASSERT_EQ(sixReader.open(sixPath), SoundTools::StatusOk);
        EXPECT_EQ(sixReader.getChannelNum(), 6u);
        sixReader.rewind();
        const std::vector<double> s = readAll(sixReader, block);
        ASSERT_EQ(s.size(), 2u * frames);
        for (unsigned int i = 0; i < frames; ++i) {
            ASSERT_EQ(s[2 * i], six[6 * i]) << i;
            ASSERT_EQ(s[2 * i + 1], six[6 * i + 1]) << i;
        }
    }
}

// The start point applies at rewind; one at or past the end goes back to
// the first frame.
TEST(SndfileIo, RewindToStartPoint)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.wav"));
    const std::vector<double> source = music(44100, 44100);
    {
        SoundWriterSndfile writer(44100, 2, SoundTools::Double);
        ASSERT_EQ(writer.open(path), SoundTools::StatusOk);
        ASSERT_FALSE(writeAll(writer, source));
    }
    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(path), SoundTools::StatusOk);
    reader.setStartPoint(0.5);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 22050);
    std::vector<double> back = readAll(reader);
    ASSERT_EQ(back.size(), source.size() - 2 * 22050);
    EXPECT_EQ(back[0], source[2 * 22050]);

    reader.setStartPoint(1.0); // exactly the end
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 0);
    back = readAll(reader);
    EXPECT_EQ(back, source);
}

// Track numbers come from a short number leading the file name, never from
// its folders or from a number elsewhere in it.
TEST(SndfileIo, TrackNumberFromFileName)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("Take2")));
    const struct {
        const char* name;
        const char* track;
    } cases[] = {
        {"Take2/song.wav", "none"}, // a digit in a folder name is not a track
        {"Take2/12_intro.wav", "12"},
        {"03.wav", "03"},
        {"Side-A.wav", "none"}, // a hyphen is a separator, not a range
        {"Track 5;final.wav", "none"},
        {"Symphony No. 9 in D minor.wav", "none"},
        {"1999 live.wav", "none"},
        {"101-finale.wav", "101"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString::fromLatin1(c.name));
        {
            SoundWriterSndfile writer;
            ASSERT_EQ(writer.open(path), SoundTools::StatusOk);
            ASSERT_FALSE(writeAll(writer, music(100, 44100)));
        }
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(path), SoundTools::StatusOk);
        SoundIDTag back;
        back.track = "none";
        // No text tag in these files.
        EXPECT_FALSE(reader.getTags(back));
        EXPECT_EQ(back.track, c.track);
    }
}
