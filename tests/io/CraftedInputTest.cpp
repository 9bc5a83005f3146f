// Damaged and crafted files made from valid ones: truncations, flipped bits
// and headers stating impossible layouts. Every case either fails to open
// with an error naming the file, or reads what is there (for WAV, exactly
// the frames the file holds); nothing is allocated from a header value.
//
// VEXA_CRAFTED_FULL=1 runs the whole set (truncations at every 1/64 of the
// length and at every byte of the first 4 KiB, 1,000 bit flips per seed) and
// reports the slowest case; by default a sample of it runs.
#include "IoTestUtil.h"

#include "SoundReader.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstring>
#include <memory>
#include <random>

using iotest::music;
using iotest::readAll;
using iotest::writeAll;

namespace {

bool fullRun()
{
    const char* v = std::getenv("VEXA_CRAFTED_FULL");
    return v && std::strcmp(v, "1") == 0;
}

long maxRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Growth of the peak resident memory, in KiB. AddressSanitizer keeps freed
// blocks in quarantine, so there the figure says nothing: its own limit on
// single allocations (max_allocation_size_mb) takes over.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif
#else
constexpr bool kMeasureMemory = true;
#endif

void expectBoundedMemory(long rssBefore)
{
    if (kMeasureMemory) {
        EXPECT_LT(maxRssKiB() - rssBefore, 256 * 1024);
    }
}

struct Outcome {
    bool opened = false;
    size_t frames = 0;
    std::vector<double> samples;
};

// Opens the bytes as a file of that extension and reads it to the end.
Outcome tryRead(const QString& dir, const char* extension, const QByteArray& bytes, qint64& slowestMs)
{
    const QString path = QStringLiteral("%1/case.%2").arg(dir, QLatin1String(extension));
    EXPECT_TRUE(iotest::writeFile(path, bytes));
    QElapsedTimer clock;
    clock.start();
    Outcome out;
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    SoundDebuggableClass::setError(QString());
    if (reader->open(path) == SoundTools::StatusOk) {
        out.opened = true;
        reader->rewind();
        out.samples = readAll(*reader);
        out.frames = out.samples.size() / 2;
        reader->close();
    } else {
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << qPrintable(SoundDebuggableClass::getError());
    }
    slowestMs = std::max(slowestMs, clock.elapsed());
    return out;
}

struct Seed {
    const char* extension;
    QByteArray bytes;
    size_t frames;
    std::vector<double> samples; // as the reader gives the intact file
};

std::vector<Seed> makeSeeds(const QString& dir)
{
    const unsigned int rate = 8000;
    const std::vector<double> signal = music(6000, rate, 0.7);
    std::vector<Seed> seeds;
    const auto add = [&](const char* extension, SoundWriter& writer) {
        const QString path = QStringLiteral("%1/seed.%2").arg(dir, QLatin1String(extension));
        if (writer.open(path) != SoundTools::StatusOk || writeAll(writer, signal, 4096, rate))
            return;
        writer.close();
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
        if (reader->open(path) != SoundTools::StatusOk)
            return;
        reader->rewind();
        Seed s{extension, iotest::readFile(path), 0, readAll(*reader)};
        s.frames = s.samples.size() / 2;
        seeds.push_back(s);
    };
    SoundWriterSndfile wav(rate, 2, SoundTools::PCM16, SoundWriterSndfile::WAV);
    add("wav", wav);
    SoundWriterSndfile flac(rate, 2, SoundTools::PCM24, SoundWriterSndfile::FLAC);
    add("flac", flac);
    SoundWriterSndfile ogg(rate, 2, SoundTools::PCM16, SoundWriterSndfile::OGG);
    add("ogg", ogg);
    SoundWriterMp3 mp3(rate, 2, 64);
    add("mp3", mp3);
    return seeds;
}

void put32(QByteArray& b, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

void put16(QByteArray& b, int at, quint16 v)
{
    b[at] = static_cast<char>(v & 0xff);
    b[at + 1] = static_cast<char>(v >> 8);
}

// A canonical 16-bit PCM WAV file: 44-byte header and `frames` frames.
QByteArray wavFile(quint16 channels, quint32 rate, quint32 dataBytes, int frames)
{
    QByteArray b(44, '\0');
    std::memcpy(b.data(), "RIFF", 4);
    std::memcpy(b.data() + 8, "WAVEfmt ", 8);
    put32(b, 16, 16);
    put16(b, 20, 1);
    put16(b, 22, channels);
    put32(b, 24, rate);
    put32(b, 28, rate * channels * 2u);
    put16(b, 32, static_cast<quint16>(channels * 2u));
    put16(b, 34, 16);
    std::memcpy(b.data() + 36, "data", 4);
    put32(b, 40, dataBytes);
    for (int i = 0; i < frames * 2; ++i) {
        const qint16 v = static_cast<qint16>(1000 * ((i % 7) - 3));
        b.append(static_cast<char>(v & 0xff));
        b.append(static_cast<char>((v >> 8) & 0xff));
    }
    put32(b, 4, static_cast<quint32>(b.size() - 8));
    return b;
}

} // namespace

// Prefixes of each valid file: WAV gives exactly the frames its prefix
// holds; every format gives no more frames than the whole file.
TEST(CraftedInput, TruncatedFilesReadWhatIsThere)
{
    QTemporaryDir dir;
    const std::vector<Seed> seeds = makeSeeds(dir.path());
    ASSERT_GE(seeds.size(), 3u); // MP3 only with LAME installed
    const long rssBefore = maxRssKiB();
    qint64 slowest = 0;
    int cases = 0;
    for (const Seed& seed : seeds) {
        SCOPED_TRACE(seed.extension);
        std::vector<int> cuts;
        for (int k = 0; k < 64; ++k)
            cuts.push_back(static_cast<int>(static_cast<qint64>(seed.bytes.size()) * k / 64));
        const int byteByByte = fullRun() ? 4096 : 160;
        for (int n = 0; n < std::min(byteByByte, static_cast<int>(seed.bytes.size())); n += fullRun() ? 1 : 3)
            cuts.push_back(n);
        for (int cut : cuts) {
            const Outcome out = tryRead(dir.path(), seed.extension, seed.bytes.left(cut), slowest);
            ++cases;
            ASSERT_LE(out.frames, seed.frames + 1152) << "cut at " << cut;
            if (out.opened && QLatin1String(seed.extension) == QLatin1String("wav")) {
                // A 44-byte header, then 4 bytes a frame: the prefix exactly.
                const size_t held = cut > 44 ? static_cast<size_t>(cut - 44) / 4 : 0;
                ASSERT_EQ(out.frames, held) << "cut at " << cut;
                for (size_t i = 0; i < out.samples.size(); ++i)
                    ASSERT_EQ(out.samples[i], seed.samples[i]) << "cut at " << cut << ", sample " << i;
            }
        }
    }
    expectBoundedMemory(rssBefore);
    std::printf("%d truncations, slowest %lld ms\n", cases, static_cast<long long>(slowest));
}

// Random bit flips anywhere in the file: no crash, no hang, no read beyond
// a plausible length.
TEST(CraftedInput, FlippedBitsNeverCrash)
{
    QTemporaryDir dir;
    const std::vector<Seed> seeds = makeSeeds(dir.path());
    const long rssBefore = maxRssKiB();
    std::mt19937 random(2026);
    qint64 slowest = 0;
    int cases = 0;
    for (const Seed& seed : seeds) {
        SCOPED_TRACE(seed.extension);
        const int variants = fullRun() ? 1000 : 60;
        for (int v = 0; v < variants; ++v) {
            QByteArray bytes = seed.bytes;
            const int flips = 1 + static_cast<int>(random() % 8);
            for (int f = 0; f < flips; ++f) {
                const quint32 bit = random() % (static_cast<quint32>(bytes.size()) * 8u);
                bytes[static_cast<int>(bit / 8)] = static_cast<char>(bytes[static_cast<int>(bit / 8)] ^ (1 << (bit % 8)));
            }
            const Outcome out = tryRead(dir.path(), seed.extension, bytes, slowest);
            ++cases;
            // A flipped length field may claim more frames than were written,
            // never more than the bytes could hold at one bit a frame.
            ASSERT_LE(out.frames, static_cast<size_t>(bytes.size()) * 8 + 1152) << "variant " << v;
        }
    }
    expectBoundedMemory(rssBefore);
    std::printf("%d flipped variants, slowest %lld ms\n", cases, static_cast<long long>(slowest));
}

// Headers stating what no file holds: no channel, more channels than any
// format allows, no sample rate or the largest, a data chunk longer than
// the file, and a FLAC stream claiming 2^36 - 1 frames.
TEST(CraftedInput, ImpossibleHeadersAreRefusedOrReadAsFarAsTheyGo)
{
    QTemporaryDir dir;
    const long rssBefore = maxRssKiB();
    qint64 slowest = 0;
    struct Case {
        quint16 channels;
        quint32 rate;
        bool opens;
    };
    for (const Case c : {Case{0, 8000, false}, Case{1025, 8000, false}, Case{65535, 8000, false},
                         Case{2, 0, false}, Case{2, 0x7fffffffu, true}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, rate " << c.rate);
        const Outcome out = tryRead(dir.path(), "wav", wavFile(c.channels, c.rate, 400, 100), slowest);
        EXPECT_EQ(out.opened, c.opens);
        if (out.opened) {
            EXPECT_EQ(out.frames, 100u);
        }
    }
    // The data chunk says 2 GiB; 100 frames are there.
    Outcome out = tryRead(dir.path(), "wav", wavFile(2, 8000, 0x7ffffff0u, 100), slowest);
    if (out.opened) {
        EXPECT_EQ(out.frames, 100u);
    }

    // FLAC STREAMINFO (after "fLaC" and the 4-byte block header): rate 20
    // bits, channels - 1 3 bits, bits - 1 5 bits, total frames 36 bits.
    std::vector<Seed> seeds = makeSeeds(dir.path());
    for (const Seed& seed : seeds) {
        if (QLatin1String(seed.extension) != QLatin1String("flac"))
            continue;
        ASSERT_TRUE(seed.bytes.startsWith("fLaC"));
        const int info = 8; // STREAMINFO body
        for (quint32 rate : {0u, 0xfffffu}) {
            QByteArray b = seed.bytes;
            b[info + 10] = static_cast<char>((rate >> 12) & 0xff);
            b[info + 11] = static_cast<char>((rate >> 4) & 0xff);
            b[info + 12] = static_cast<char>(((rate & 0xf) << 4) | (b[info + 12] & 0x0f));
            out = tryRead(dir.path(), "flac", b, slowest);
            EXPECT_LE(out.frames, seed.frames) << rate;
        }
        QByteArray b = seed.bytes;
        b[info + 13] = static_cast<char>(b[info + 13] | 0x0f);
        for (int i = 14; i < 18; ++i)
            b[info + i] = static_cast<char>(0xff);
        out = tryRead(dir.path(), "flac", b, slowest);
        EXPECT_LE(out.frames, seed.frames);
    }
    // An MP3 behind an ID3v2 tag that claims 256 MiB: refused before the
    // decoder would allocate the claimed size.
    for (const Seed& seed : seeds) {
        if (QLatin1String(seed.extension) != QLatin1String("mp3"))
            continue;
        QByteArray b = QByteArray("ID3\x03\x00\x00\x7f\x7f\x7f\x7f", 10) + seed.bytes;
        out = tryRead(dir.path(), "mp3", b, slowest);
        EXPECT_FALSE(out.opened);
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("ID3v2 tag of 268435465 bytes")))
            << qPrintable(SoundDebuggableClass::getError());
    }
    expectBoundedMemory(rssBefore);
}
