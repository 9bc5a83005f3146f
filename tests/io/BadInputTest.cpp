// Damaged, missing and unwritable files: every case ends in an error that
// names the file, or in a short read, never in a crash, a hang or a
// reported success.
#include "FileSizeLimit.h"
#include "IoTestUtil.h"

#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <random>

using iotest::music;
using iotest::readAll;
using iotest::writeAll;

namespace {

std::unique_ptr<SoundReader> readerFor(const QString& path)
{
    return std::unique_ptr<SoundReader>(SoundReader::getFromFilename(path));
}

// open must fail and the error text must name the file.
void expectOpenFails(SoundReader& reader, const QString& path)
{
    SoundDebuggableClass::setError(QStringLiteral("cleared"));
    EXPECT_EQ(reader.open(path), SoundTools::StatusError);
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << qPrintable(SoundDebuggableClass::getError());
    // A closed reader reads nothing.
    reader.rewind();
    EXPECT_TRUE(readAll(reader).empty());
}

QByteArray randomBytes(int size, unsigned seed)
{
    std::mt19937 gen(seed);
    QByteArray b(size, '\0');
    for (char& c : b)
        c = static_cast<char>(gen() & 0xff);
    return b;
}

bool makeWav(const QString& path, const std::vector<double>& s)
{
    SoundWriterSndfile w(44100, 2, SoundTools::PCM16, SoundWriterSndfile::WAV);
    if (w.open(path) != SoundTools::StatusOk)
        return false;
    return !writeAll(w, s);
}

// A writer of every format (MP3 when LAME is installed), with its name.
std::vector<std::pair<const char*, std::unique_ptr<SoundWriter>>> everyWriter(bool withRaw)
{
    std::vector<std::pair<const char*, std::unique_ptr<SoundWriter>>> writers;
    const std::pair<const char*, SoundWriterSndfile::FileType> sndfile[] = {
        {"wav", SoundWriterSndfile::WAV}, {"flac", SoundWriterSndfile::FLAC}, {"ogg", SoundWriterSndfile::OGG},
        {"raw", SoundWriterSndfile::RAW}};
    for (const auto& [name, type] : sndfile) {
        if (type != SoundWriterSndfile::RAW || withRaw)
            writers.emplace_back(name, std::make_unique<SoundWriterSndfile>(44100, 2, SoundTools::PCM16, type));
    }
    if (SoundWriterMp3::Init())
        writers.emplace_back("mp3", std::make_unique<SoundWriterMp3>());
    return writers;
}

} // namespace

TEST(BadInput, MissingDirectoryAndEmptyFiles)
{
    QTemporaryDir dir;
    for (const char* ext : {"wav", "flac", "mp3"}) {
        SCOPED_TRACE(ext);
        const QString missing = dir.filePath(QStringLiteral("missing.%1").arg(QLatin1String(ext)));
        const QString folder = dir.filePath(QStringLiteral("folder.%1").arg(QLatin1String(ext)));
        const QString empty = dir.filePath(QStringLiteral("empty.%1").arg(QLatin1String(ext)));
        ASSERT_TRUE(QDir(dir.path()).mkdir(QFileInfo(folder).fileName()));
        ASSERT_TRUE(iotest::writeFile(empty, QByteArray()));
        for (const QString& path : {missing, folder, empty}) {
            SCOPED_TRACE(qPrintable(path));
            auto reader = readerFor(path);
            ASSERT_TRUE(reader);
            expectOpenFails(*reader, path);
        }
    }
}

TEST(BadInput, NoReadPermission)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("locked.wav"));
    ASSERT_TRUE(makeWav(path, music(100, 44100)));
    const QString mp3 = dir.filePath(QStringLiteral("locked.mp3"));
    ASSERT_TRUE(QFile::copy(path, mp3));
    for (const QString& p : {path, mp3})
        ASSERT_TRUE(QFile::setPermissions(p, QFileDevice::Permissions()));
    QFile probe(path);
    if (probe.open(QIODevice::ReadOnly))
        GTEST_SKIP() << "permissions do not apply to this user (root)";
    for (const QString& p : {path, mp3}) {
        auto reader = readerFor(p);
        expectOpenFails(*reader, p);
    }
}

TEST(BadInput, RandomBytes)
{
    QTemporaryDir dir;
    for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            const QString path = dir.filePath(QStringLiteral("noise%1.%2").arg(seed).arg(QLatin1String(ext)));
            SCOPED_TRACE(qPrintable(path));
            ASSERT_TRUE(iotest::writeFile(path, randomBytes(20000, seed)));
            auto reader = readerFor(path);
            expectOpenFails(*reader, path);
        }
    }
}

// A header cut short is refused; a data chunk cut short gives the frames
// that are there and ends the stream.
TEST(BadInput, TruncatedWav)
{
    QTemporaryDir dir;
    const std::vector<double> source = music(10000, 44100);
    const QString full = dir.filePath(QStringLiteral("full.wav"));
    ASSERT_TRUE(makeWav(full, source));
    const QByteArray bytes = iotest::readFile(full);

    const QString header = dir.filePath(QStringLiteral("header.wav"));
    ASSERT_TRUE(iotest::writeFile(header, bytes.left(30)));
    SoundReaderSndfile reader;
    expectOpenFails(reader, header);

    const QString cut = dir.filePath(QStringLiteral("cut.wav"));
    const int keptFrames = 4000;
    ASSERT_TRUE(iotest::writeFile(cut, bytes.left(44 + keptFrames * 4 + 2))); // half a frame more
    ASSERT_EQ(reader.open(cut), SoundTools::StatusOk);
    reader.rewind();
    const std::vector<double> back = readAll(reader, 1024);
    ASSERT_EQ(back.size(), 2u * keptFrames);
    EXPECT_LE(iotest::maxAbsDiff(source, back), 1.01 / 32768);
    EXPECT_TRUE(reader.atEnd());
}

// Compressed files cut in the middle: the header still announces the full
// length (a cut Ogg file announces INT64_MAX frames); reading delivers what
// is there and stops.
TEST(BadInput, TruncatedFlacAndOgg)
{
    QTemporaryDir dir;
    const unsigned int frames = 60000;
    const std::vector<double> source = music(frames, 44100, 0.5);
    for (auto type : {SoundWriterSndfile::FLAC, SoundWriterSndfile::OGG}) {
        const bool flac = type == SoundWriterSndfile::FLAC;
        SCOPED_TRACE(flac ? "flac" : "ogg");
        const QString full = dir.filePath(flac ? QStringLiteral("full.flac") : QStringLiteral("full.ogg"));
        {
            SoundWriterSndfile w(44100, 2, SoundTools::PCM16, type);
            ASSERT_EQ(w.open(full), SoundTools::StatusOk);
            ASSERT_FALSE(writeAll(w, source));
        }
        const QByteArray bytes = iotest::readFile(full);
        const QString cut = dir.filePath(flac ? QStringLiteral("cut.flac") : QStringLiteral("cut.ogg"));
        ASSERT_TRUE(iotest::writeFile(cut, bytes.left(bytes.size() / 2 + 7)));
        SoundReaderSndfile reader;
        ASSERT_EQ(reader.open(cut), SoundTools::StatusOk);
        EXPECT_GE(reader.getFrameNB(), frames); // the header's claim, clamped to 32 bits
        reader.rewind();
        const std::vector<double> back = readAll(reader, 4096);
        EXPECT_LT(back.size(), 2u * frames);
        EXPECT_TRUE(reader.atEnd());
        if (flac) { // lossless: the frames delivered are the source's
            EXPECT_GT(back.size(), 2u * frames / 4);
            EXPECT_LE(iotest::maxAbsDiff(source, back), 1.01 / 32768);
        }
        // libsndfile decodes nothing of a cut Ogg file: the stream is empty
        // but ends.
    }
}

// An MP3 cut in the middle of a frame delivers the frames before the cut.
TEST(BadInput, TruncatedMp3)
{
    if (!SoundWriterMp3::Init())
        GTEST_SKIP() << "LAME is not installed";
    QTemporaryDir dir;
    const QString full = dir.filePath(QStringLiteral("full.mp3"));
    {
        SoundWriterMp3 w;
        ASSERT_EQ(w.open(full), SoundTools::StatusOk);
        ASSERT_FALSE(writeAll(w, music(44100, 44100, 0.5)));
    }
    SoundReaderMp3 reader;
    ASSERT_EQ(reader.open(full), SoundTools::StatusOk);
    reader.rewind();
    const std::vector<double> whole = readAll(reader);
    reader.close();

    const QByteArray bytes = iotest::readFile(full);
    const QString cut = dir.filePath(QStringLiteral("cut.mp3"));
    ASSERT_TRUE(iotest::writeFile(cut, bytes.left(bytes.size() / 2 + 100)));
    ASSERT_EQ(reader.open(cut), SoundTools::StatusOk);
    reader.rewind();
    const std::vector<double> part = readAll(reader);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_GT(part.size(), whole.size() / 3);
    EXPECT_LT(part.size(), whole.size());
    // What is delivered is the start of the whole decode (the last frame
    // before the cut may differ where the bit reservoir was lost).
    const std::vector<double> head(part.begin(), part.end() - 2 * 2 * 1152);
    EXPECT_LT(iotest::maxAbsDiff(whole, head), 1e-9);
}

// Writers into a folder that does not exist or cannot be written.
TEST(BadInput, UnwritableDestinations)
{
    QTemporaryDir dir;
    const QString readOnly = dir.filePath(QStringLiteral("ro"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("ro")));
    ASSERT_TRUE(QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const bool rootBypasses = QFile(readOnly + QStringLiteral("/probe")).open(QIODevice::WriteOnly);

    // A target that is a directory, for every extension.
    const QString folder = dir.filePath(QStringLiteral("folder"));
    for (const char* ext : {"wav", "flac", "ogg", "raw", "mp3"})
        ASSERT_TRUE(QDir().mkdir(folder + QLatin1Char('.') + QLatin1String(ext)));
    QStringList targets{dir.filePath(QStringLiteral("no/such/dir/out")), QStringLiteral("/proc/vexa-io-test/out"), folder};
    if (!rootBypasses)
        targets << readOnly + QStringLiteral("/out");
    const bool haveLame = SoundWriterMp3::Init();
    for (const QString& base : targets) {
        for (const char* ext : {"wav", "flac", "ogg", "raw", "mp3"}) {
            const QString path = base + QLatin1Char('.') + QLatin1String(ext);
            SCOPED_TRACE(qPrintable(path));
            if (!haveLame && QLatin1String(ext) == QLatin1String("mp3"))
                continue;
            std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(path, 44100, 128, SoundTools::PCM16));
            ASSERT_TRUE(w);
            SoundDebuggableClass::setError(QStringLiteral("cleared"));
            EXPECT_EQ(w->open(path), SoundTools::StatusError);
            EXPECT_TRUE(SoundDebuggableClass::getError().contains(path))
                << qPrintable(SoundDebuggableClass::getError());
            // Nothing is stored by a writer that did not open.
            EXPECT_TRUE(writeAll(*w, music(100, 44100)));
        }
    }
    QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A full disk: either open fails or writing reports the failure.
TEST(BadInput, FullDisk)
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    const std::vector<double> source = music(44100, 44100, 0.5);
    for (auto& [name, w] : everyWriter(true)) {
        SCOPED_TRACE(name);
        SoundDebuggableClass::setError(QStringLiteral("cleared"));
        if (w->open(QStringLiteral("/dev/full")) != SoundTools::StatusOk) {
            EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("/dev/full")));
            continue;
        }
        EXPECT_TRUE(writeAll(*w, source, 8192));
        EXPECT_LT(w->getCurrentOffset(), static_cast<int>(source.size() / 2));
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("/dev/full")))
            << qPrintable(SoundDebuggableClass::getError());
        w->close();
    }
}

// The disk fills in the middle of a file (a file-size limit): the writer
// reports the failure by the end at the latest, naming the file, and a file
// finished before is intact.
TEST(BadInput, DiskFillsMidFile)
{
    QTemporaryDir dir;
    const std::vector<double> source = music(44100 * 20, 44100, 0.5);
    const QString finished = dir.filePath(QStringLiteral("finished.wav"));
    ASSERT_TRUE(makeWav(finished, music(4410, 44100, 0.5)));
    const QByteArray finishedBytes = iotest::readFile(finished);

    for (auto& [name, w] : everyWriter(false)) {
        SCOPED_TRACE(name);
        const QString path = dir.filePath(QStringLiteral("full.%1").arg(QLatin1String(name)));
        SoundDebuggableClass::setError(QStringLiteral("cleared"));
        bool failed;
        {
            FileSizeLimit limit(64 * 1024); // well below any of the 20 s files
            ASSERT_TRUE(limit.active());
            ASSERT_EQ(w->open(path), SoundTools::StatusOk);
            failed = writeAll(*w, source, 8192);
            w->close();
        }
        // Reported by a write, or by close when the encoder flushes its last
        // pages: either way the error text names the file.
        EXPECT_TRUE(failed || SoundDebuggableClass::getError() != QStringLiteral("cleared"));
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(path)) << qPrintable(SoundDebuggableClass::getError());
        EXPECT_LE(QFileInfo(path).size(), 64 * 1024);
    }
    EXPECT_EQ(iotest::readFile(finished), finishedBytes);
}

// The file changes under a reader: deleted (the open file still reads to
// its end), or cut short (the reader stops where the data stops; what it
// gave before is right). Never a crash, a hang or more frames than written.
TEST(BadInput, FileDeletedOrTruncatedWhileRead)
{
    QTemporaryDir dir;
    const bool haveLame = SoundWriterMp3::Init();
    const std::vector<double> source = music(44100 * 4, 44100, 0.5);
    std::vector<QString> files;
    const QString wav = dir.filePath(QStringLiteral("a.wav"));
    ASSERT_TRUE(makeWav(wav, source));
    files.push_back(wav);
    SoundWriterSndfile flacWriter(44100, 2, SoundTools::PCM16, SoundWriterSndfile::FLAC);
    const QString flac = dir.filePath(QStringLiteral("a.flac"));
    ASSERT_EQ(flacWriter.open(flac), SoundTools::StatusOk);
    ASSERT_FALSE(writeAll(flacWriter, source));
    flacWriter.close();
    files.push_back(flac);
    if (haveLame) {
        SoundWriterMp3 mp3Writer;
        const QString mp3 = dir.filePath(QStringLiteral("a.mp3"));
        ASSERT_EQ(mp3Writer.open(mp3), SoundTools::StatusOk);
        ASSERT_FALSE(writeAll(mp3Writer, source));
        mp3Writer.close();
        files.push_back(mp3);
    }
    for (const QString& file : files) {
        SCOPED_TRACE(qPrintable(file));
        std::vector<double> whole;
        {
            auto reader = readerFor(file);
            ASSERT_EQ(reader->open(file), SoundTools::StatusOk);
            reader->rewind();
            whole = readAll(*reader);
        }
        const QByteArray bytes = iotest::readFile(file);
        for (bool truncate : {false, true}) {
            SCOPED_TRACE(truncate ? "truncated" : "deleted");
            const QString copy = file + QStringLiteral(".copy.") + QFileInfo(file).suffix();
            ASSERT_TRUE(iotest::writeFile(copy, bytes));
            auto reader = readerFor(copy);
            ASSERT_EQ(reader->open(copy), SoundTools::StatusOk);
            reader->rewind();
            auto buffer = SoundBuffer::createNew(44100);
            buffer->alloc(4096, 2, 1, 1);
            std::vector<double> got;
            bool changed = false;
            unsigned int n;
            while ((n = reader->stereoRead(buffer, 0)) > 0) {
                const double* f = buffer->getRelFrame(0);
                got.insert(got.end(), f, f + 2 * n);
                if (!changed && got.size() >= whole.size() / 4) {
                    changed = true;
                    if (truncate)
                        ASSERT_TRUE(QFile::resize(copy, bytes.size() / 2));
                    else
                        ASSERT_TRUE(QFile::remove(copy));
                }
                ASSERT_LE(got.size(), whole.size());
            }
            if (!truncate) {
                EXPECT_EQ(got.size(), whole.size());
            }
            // What was read is the file's content (decoders may buffer ahead,
            // so only the part read before the change is compared exactly).
            ASSERT_GE(got.size(), whole.size() / 4);
            for (size_t i = 0; i < whole.size() / 4; ++i)
                ASSERT_EQ(got[i], whole[i]) << i;
            reader->close();
            QFile::remove(copy);
        }
    }
}
