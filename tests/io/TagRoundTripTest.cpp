// Tags through every pair of formats: written to one format, read back,
// copied to another, and checked with independent readers (ffprobe,
// metaflac, vorbiscomment) as well as with the library's own.
#include "IoTestUtil.h"
#include "SoundReader.h"
#include "SoundWriter.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>

using iotest::music;
using iotest::writeAll;

namespace {

const char* const kFormats[] = {"wav", "flac", "ogg", "mp3"};

SoundIDTag fullTags()
{
    SoundIDTag t;
    t.title = "Prélude à l’après-midi";
    t.artist = "Orchestre Ünïcode";
    t.album = "Side A";
    t.year = "2004";
    t.comment = "recorded live; second take";
    t.track = "3/12";
    t.genre = "Classical";
    t.others["COMPOSER"] = {"Claude Debussy"};
    t.others["DISCNUMBER"] = {"1"};
    return t;
}

void expectSameTags(const SoundIDTag& got, const SoundIDTag& want)
{
    EXPECT_EQ(got.title, want.title);
    EXPECT_EQ(got.artist, want.artist);
    EXPECT_EQ(got.album, want.album);
    EXPECT_EQ(got.year, want.year);
    EXPECT_EQ(got.comment, want.comment);
    EXPECT_EQ(got.track, want.track);
    EXPECT_EQ(got.genre, want.genre);
    EXPECT_EQ(got.others, want.others);
}

bool writeTagged(const QString& path, const SoundIDTag& tags)
{
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(path, 44100, 128, SoundTools::PCM16));
    if (!writer || writer->open(path) != SoundTools::StatusOk)
        return false;
    writer->setTags(tags);
    const bool failed = writeAll(*writer, music(4410, 44100));
    writer->close();
    return !failed;
}

SoundIDTag readTags(const QString& path)
{
    SoundIDTag tags;
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (reader && reader->open(path) == SoundTools::StatusOk)
        reader->getTags(tags);
    return tags;
}

QString run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        return QStringLiteral("(%1 failed: %2)").arg(program, QString::fromUtf8(p.readAllStandardError()));
    return QString::fromUtf8(p.readAllStandardOutput());
}

// KEY=value lines, keys upper-cased.
std::map<QString, QString> keyValues(const QString& text)
{
    std::map<QString, QString> out;
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq > 0)
            out[line.left(eq).toUpper()] = line.mid(eq + 1);
    }
    return out;
}

// FFmpeg's view of the file's tags (container and stream), keys upper-cased.
std::map<QString, QString> ffprobeTags(const QString& path)
{
    QString text = run(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "format_tags:stream_tags", "-of",
                                                   "default=noprint_wrappers=1", path});
    return keyValues(text.replace(QStringLiteral("TAG:"), QString()));
}

} // namespace

TEST(TagRoundTrip, EveryTagThroughEveryFormatPair)
{
    for (const char* tool : {"ffprobe", "metaflac", "vorbiscomment"})
        ASSERT_FALSE(QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) << tool << " is not installed";
    QTemporaryDir dir;
    const SoundIDTag tags = fullTags();
    const auto q = [](const std::string& s) { return QString::fromStdString(s); };

    for (const char* from : kFormats) {
        const QString source = dir.filePath(QStringLiteral("source.%1").arg(QLatin1String(from)));
        ASSERT_TRUE(writeTagged(source, tags)) << from;
        SCOPED_TRACE(from);
        const SoundIDTag read = readTags(source);
        expectSameTags(read, tags);

        for (const char* to : kFormats) {
            SCOPED_TRACE(to);
            const QString copy = dir.filePath(QStringLiteral("%1-to.%2").arg(QLatin1String(from), QLatin1String(to)));
            ASSERT_TRUE(writeTagged(copy, read));
            expectSameTags(readTags(copy), tags);

            std::map<QString, QString> ff = ffprobeTags(copy);
            EXPECT_EQ(ff["TITLE"], q(tags.title));
            EXPECT_EQ(ff["ARTIST"], q(tags.artist));
            EXPECT_EQ(ff["ALBUM"], q(tags.album));
            EXPECT_EQ(ff["DATE"], q(tags.year));
            EXPECT_EQ(ff["COMMENT"], q(tags.comment));
            EXPECT_EQ(ff["GENRE"], q(tags.genre));
            const bool xiph = QLatin1String(to) == QLatin1String("flac") || QLatin1String(to) == QLatin1String("ogg");
            if (xiph) {
                EXPECT_EQ(ff["TRACK"], QStringLiteral("3"));
                EXPECT_EQ(ff["TRACKTOTAL"], QStringLiteral("12"));
            } else {
                EXPECT_EQ(ff["TRACK"], QStringLiteral("3/12"));
            }
            // FFmpeg reads a WAV file's RIFF INFO and skips its ID3v2 chunk,
            // which alone holds the composer.
            if (QLatin1String(to) != QLatin1String("wav")) {
                EXPECT_EQ(ff["COMPOSER"], QStringLiteral("Claude Debussy"));
            }

            // The format's own tools: exactly our fields, no encoder's extras.
            std::map<QString, QString> own;
            if (QLatin1String(to) == QLatin1String("flac"))
                own = keyValues(run(QStringLiteral("metaflac"), {"--export-tags-to=-", copy}));
            else if (QLatin1String(to) == QLatin1String("ogg"))
                own = keyValues(run(QStringLiteral("vorbiscomment"), {"-l", copy}));
            if (xiph) {
                const std::map<QString, QString> want = {
                    {"TITLE", q(tags.title)},     {"ARTIST", q(tags.artist)},     {"ALBUM", q(tags.album)},
                    {"DATE", q(tags.year)},       {"DESCRIPTION", q(tags.comment)}, {"GENRE", q(tags.genre)},
                    {"TRACKNUMBER", "3"},         {"TRACKTOTAL", "12"},           {"COMPOSER", "Claude Debussy"},
                    {"DISCNUMBER", "1"},
                };
                EXPECT_EQ(own, want);
            }
        }
    }
}

// A file without tags reports none, and a writer given none leaves the
// file without any (libsndfile's own software and encoder names included).
TEST(TagRoundTrip, UntaggedStaysUntagged)
{
    QTemporaryDir dir;
    for (const char* format : kFormats) {
        SCOPED_TRACE(format);
        const QString path = dir.filePath(QStringLiteral("plain.%1").arg(QLatin1String(format)));
        ASSERT_TRUE(writeTagged(path, SoundIDTag()));
        EXPECT_TRUE(readTags(path).empty());
        std::map<QString, QString> ff = ffprobeTags(path);
        ff.erase(QStringLiteral("ENCODER")); // FFmpeg names the MP3 encoder from the stream itself
        EXPECT_TRUE(ff.empty()) << ff.begin()->first.toStdString();
    }
}
