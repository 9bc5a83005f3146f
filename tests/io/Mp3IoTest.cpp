#include "IoTestUtil.h"

#include "SoundReaderMp3.h"
#include "SoundWriterMp3.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

using iotest::music;
using iotest::readAll;
using iotest::writeAll;

namespace {

constexpr unsigned int kMp3Frame = 1152;
// LAME delays the signal by 576 frames; with the leading info frame and the
// padding of the last frame the decoded stream is at most three MP3 frames
// longer than the source.
constexpr unsigned int kEncoderDelay = 576;
constexpr unsigned int kMaxExtra = 3 * kMp3Frame;

// Encodes `samples` (stereo unless channels is 1) to path; false on failure.
bool encode(const QString& path, const std::vector<double>& samples, const SoundIDTag* tags = nullptr,
            unsigned int channels = 2, unsigned int block = 4096)
{
    SoundWriterMp3 writer(44100, channels, 192);
    if (tags)
        writer.setTags(*tags);
    if (writer.open(path) != SoundTools::StatusOk)
        return false;
    const bool failed = writeAll(writer, samples, block, 44100, channels);
    writer.close();
    return !failed;
}

// A 128-byte ID3v1 tag.
QByteArray id3v1(const char* title, const char* artist, const char* album, const char* year, const char* comment,
                 unsigned char genre)
{
    QByteArray tag(128, '\0');
    auto put = [&tag](int at, int size, const char* text) {
        const QByteArray t(text);
        std::copy(t.begin(), t.begin() + std::min(size, t.size()), tag.begin() + at);
    };
    put(0, 3, "TAG");
    put(3, 30, title);
    put(33, 30, artist);
    put(63, 30, album);
    put(93, 4, year);
    put(97, 30, comment);
    tag[127] = static_cast<char>(genre);
    return tag;
}

class Mp3Io : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!SoundWriterMp3::Init())
            GTEST_SKIP() << "LAME is not installed (scripts/install-deps.sh installs it)";
        ASSERT_TRUE(dir.isValid());
    }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir;
};

} // namespace

// Encode then decode: the information frame written at the start tells the
// decoder the codec's delay and padding, so the decoded stream has the
// source's length and lines up with it (gapless).
TEST_F(Mp3Io, RoundTrip)
{
    const unsigned int frames = 44100;
    const std::vector<double> source = music(frames, 44100, 0.5);
    ASSERT_TRUE(encode(path("a.mp3"), source, nullptr, 2, 1000));

    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("a.mp3")), SoundTools::StatusOk);
    EXPECT_EQ(reader.getSampleRate(), 44100u);
    EXPECT_EQ(reader.getInputFormat(), SoundTools::PCM16);
    EXPECT_EQ(reader.getFrameNB(), frames);
    reader.rewind();
    const std::vector<double> back = readAll(reader, 3000);
    EXPECT_EQ(back.size(), 2u * reader.getFrameNB());
    EXPECT_TRUE(reader.atEnd());

    const unsigned int lag = iotest::bestLag(source, back, kMaxExtra, 20000);
    EXPECT_EQ(lag, 0u);
    EXPECT_GT(iotest::correlation(source, back, 0, lag, frames - kMaxExtra), 0.99);
    EXPECT_GT(iotest::correlation(source, back, 1, lag, frames - kMaxExtra), 0.99);
    // Written at 0.95 of full scale.
    double peakIn = 0, peakOut = 0;
    for (size_t i = 0; i < source.size(); ++i)
        peakIn = std::max(peakIn, std::fabs(source[i]));
    for (size_t i = 0; i < back.size(); ++i)
        peakOut = std::max(peakOut, std::fabs(back[i]));
    EXPECT_NEAR(peakOut / peakIn, 0.95, 0.05);

    // Start point: decoding resumes at that frame of the decoded stream.
    reader.setStartPoint(0.5);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), 22050);
    const std::vector<double> tail = readAll(reader, 3000);
    ASSERT_EQ(tail.size(), back.size() - 2 * 22050);
    EXPECT_LT(iotest::maxAbsDiff(std::vector<double>(back.begin() + 2 * 22050, back.end()), tail), 1e-3);
}

// Samples beyond full scale are clipped before the 16-bit conversion; wrapped
// values would decorrelate the result from the clipped source.
TEST_F(Mp3Io, LoudInputIsClipped)
{
    const unsigned int frames = 22050;
    std::vector<double> loud = music(frames, 44100, 3.0);
    ASSERT_TRUE(encode(path("loud.mp3"), loud));
    std::vector<double> clipped = loud;
    for (double& v : clipped)
        v = std::max(-1.0, std::min(1.0, v));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("loud.mp3")), SoundTools::StatusOk);
    reader.rewind();
    const std::vector<double> back = readAll(reader);
    const unsigned int lag = iotest::bestLag(clipped, back, kMaxExtra, 10000);
    EXPECT_GT(iotest::correlation(clipped, back, 0, lag, frames - kMaxExtra), 0.97);
}

// Decoding is floating point: a square wave at full scale, whose encoded
// form rings above it, comes back above full scale, with no 16-bit grid.
TEST_F(Mp3Io, DecodesAboveFullScaleWithoutRounding)
{
    const unsigned int frames = 22050;
    std::vector<double> square(2 * frames);
    for (unsigned int i = 0; i < frames; ++i)
        square[2 * i] = square[2 * i + 1] = (i / 50) % 2 ? 1.0 : -1.0;
    ASSERT_TRUE(encode(path("square.mp3"), square));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("square.mp3")), SoundTools::StatusOk);
    EXPECT_EQ(reader.getChannelNum(), 2u);
    reader.rewind();
    const std::vector<double> back = readAll(reader);
    double peak = 0.0;
    size_t offGrid = 0;
    for (double v : back) {
        peak = std::max(peak, std::fabs(v));
        offGrid += std::fabs(v * 32768.0 - std::round(v * 32768.0)) > 1e-3;
    }
    EXPECT_GT(peak, 1.02);
    EXPECT_GT(offGrid, back.size() / 2);
}

// A mono file is delivered with equal channels.
TEST_F(Mp3Io, MonoDecodesToEqualChannels)
{
    const unsigned int frames = 20000;
    const std::vector<double> stereo = music(frames, 44100, 0.5);
    std::vector<double> mono(frames);
    for (unsigned int i = 0; i < frames; ++i)
        mono[i] = stereo[2 * i];
    {
        SoundWriterMp3 writer(44100, 1, 128);
        EXPECT_EQ(writer.getChannelNum(), 1u);
    }
    ASSERT_TRUE(encode(path("mono.mp3"), mono, nullptr, 1));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("mono.mp3")), SoundTools::StatusOk);
    EXPECT_EQ(reader.getChannelNum(), 1u);
    reader.rewind();
    const std::vector<double> back = readAll(reader);
    ASSERT_GE(back.size(), 2u * frames);
    for (size_t i = 0; i < back.size() / 2; ++i)
        ASSERT_EQ(back[2 * i], back[2 * i + 1]) << i;
    const unsigned int lag = iotest::bestLag(stereo, back, kMaxExtra, 10000);
    EXPECT_GT(iotest::correlation(stereo, back, 0, lag, frames - kMaxExtra), 0.99);
}

// An ID3v1 tag built byte by byte: fixed-width fields and the genre table.
TEST_F(Mp3Io, Id3v1FieldsAndGenres)
{
    ASSERT_TRUE(encode(path("bare.mp3"), music(5000, 44100)));
    const QByteArray audio = iotest::readFile(path("bare.mp3"));
    ASSERT_FALSE(audio.isEmpty());

    const struct {
        unsigned char genre;
        const char* name;
    } genres[] = {{17, "Rock"}, {0, "Blues"}, {67, "Psychadelic"}, {146, "Jpop"}, {147, "Synthpop"},
                  {148, ""},    {149, "Unknown"}, {255, "Unknown"}};
    for (const auto& g : genres) {
        SCOPED_TRACE(g.genre);
        // Full 30-character fields have no terminating zero; trailing spaces stay.
        const QByteArray file =
            audio + id3v1("Thirty characters of title ok", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123", "Album  ", "1987",
                          "note", g.genre);
        ASSERT_TRUE(iotest::writeFile(path("v1.mp3"), file));
        SoundReaderMp3 reader;
        ASSERT_EQ(reader.open(path("v1.mp3")), SoundTools::StatusOk);
        SoundIDTag back;
        back.track = "kept";
        ASSERT_TRUE(reader.getTags(back));
        EXPECT_EQ(back.title, "Thirty characters of title ok");
        EXPECT_EQ(back.artist, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
        EXPECT_EQ(back.album, "Album  ");
        EXPECT_EQ(back.year, "1987");
        EXPECT_EQ(back.comment, "note");
        EXPECT_EQ(back.genre, g.name);
        EXPECT_EQ(back.track, "kept");
    }
}

// With both tags, only the ID3v2 tag is used.
TEST_F(Mp3Io, Id3v2WinsOverId3v1)
{
    SoundIDTag tags;
    tags.title = "From v2";
    tags.artist = "Artist v2";
    ASSERT_TRUE(encode(path("both.mp3"), music(5000, 44100), &tags));
    QByteArray file = iotest::readFile(path("both.mp3"));
    ASSERT_GT(file.size(), 128);
    ASSERT_EQ(file.mid(file.size() - 128, 3), QByteArray("TAG"));
    // Replace the encoder's ID3v1 tag by a different one.
    file = file.left(file.size() - 128) + id3v1("From v1", "Artist v1", "", "", "", 17);
    ASSERT_TRUE(iotest::writeFile(path("both.mp3"), file));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("both.mp3")), SoundTools::StatusOk);
    SoundIDTag back;
    ASSERT_TRUE(reader.getTags(back));
    EXPECT_EQ(back.title, "From v2");
    EXPECT_EQ(back.artist, "Artist v2");
    EXPECT_EQ(back.genre, "");
}

// A start point past the end goes to the end: nothing more is read.
TEST_F(Mp3Io, StartPointPastTheEnd)
{
    ASSERT_TRUE(encode(path("short.mp3"), music(10000, 44100)));
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(path("short.mp3")), SoundTools::StatusOk);
    reader.setStartPoint(10.0);
    reader.rewind();
    EXPECT_EQ(reader.getOffset(), static_cast<int>(reader.getFrameNB()));
    EXPECT_TRUE(readAll(reader).empty());
}

// Without the encoder library, writers are made but refuse to open. The
// names tried are replaced by one that does not exist for the test.
TEST(Mp3Encoder, MissingLibraryRefusesToOpen)
{
    SoundWriterMp3::setLibraryNames({QStringLiteral("vexa-no-such-encoder")});
    EXPECT_FALSE(SoundWriterMp3::IsInit());
    EXPECT_FALSE(SoundWriterMp3::Init());
    {
        SoundWriterMp3 writer;
        EXPECT_EQ(writer.getChannelNum(), 0u);
        QTemporaryDir dir;
        EXPECT_EQ(writer.open(dir.filePath(QStringLiteral("x.mp3"))), SoundTools::StatusError);
        EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("This version doesn't support mp3 encoding"));
        EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("x.mp3"))));
        // The outcome is kept: a second writer does not try again.
        SoundWriterMp3 second;
        EXPECT_FALSE(SoundWriterMp3::IsInit());
    }
    SoundWriterMp3::resetLibraryNames();
    EXPECT_FALSE(SoundWriterMp3::IsInit()); // not tried yet
    const bool available = SoundWriterMp3::Init();
    if (!available)
        GTEST_SKIP() << "LAME is not installed";
    SoundWriterMp3 writer;
    EXPECT_EQ(writer.getChannelNum(), 2u);
}
