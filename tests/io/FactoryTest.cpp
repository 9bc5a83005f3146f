#include "FileNameSplitter.h"

#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"

#include <gtest/gtest.h>

#include <sndfile.h>

#include <memory>

using vexa::detail::FileNameSplitter;

TEST(FileNameSplitter, Parts)
{
    const FileNameSplitter win(QStringLiteral("C:\\music\\a.b\\track"));
    EXPECT_EQ(win.fullName, "C:/music/a.b/track");
    EXPECT_EQ(win.drive, "C");
    EXPECT_EQ(win.directory, "/music/a.b");
    EXPECT_EQ(win.baseName, "track");
    EXPECT_EQ(win.extension, "");

    const FileNameSplitter unix(QStringLiteral("/home/me//07 - Song.Live.FLAC"));
    EXPECT_EQ(unix.drive, "");
    EXPECT_EQ(unix.directory, "/home/me");
    EXPECT_EQ(unix.fileName, "07 - Song.Live.FLAC");
    EXPECT_EQ(unix.baseName, "07 - Song.Live");
    EXPECT_EQ(unix.extension, "FLAC");
    EXPECT_TRUE(unix.hasExtension("flac"));
    EXPECT_FALSE(unix.hasExtension("fla"));

    const FileNameSplitter bare(QStringLiteral("song.mp3"));
    EXPECT_EQ(bare.directory, "");
    EXPECT_EQ(bare.baseName, "song");
    EXPECT_EQ(bare.extension, "mp3");

    const FileNameSplitter dot(QStringLiteral("dir/name."));
    EXPECT_EQ(dot.baseName, "name");
    EXPECT_EQ(dot.extension, "");

    const FileNameSplitter folder(QStringLiteral("D:/only/folder/"));
    EXPECT_EQ(folder.drive, "D");
    EXPECT_EQ(folder.directory, "/only/folder");
    EXPECT_EQ(folder.baseName, "");
    EXPECT_EQ(folder.extension, "");
}

TEST(Factories, ReaderByExtension)
{
    const struct {
        const char* name;
        int kind; // 0 none, 1 sndfile, 2 mp3
    } cases[] = {
        {"Song.MP3", 2},       {"/a/b.mp3", 2},          {"x.wav", 1},        {"x.WaV", 1},
        {"x.flac", 1},         {"x.Ogg", 1},             {"take.aiff", 0},    {"C:\\music\\a.b\\track", 0},
        {"ends.with.dot.", 0}, {"", 0},                  {"mp3", 0},          {"dir.mp3/file", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString name = QString::fromLatin1(c.name);
        std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(name));
        EXPECT_EQ(SoundReader::isRecognized(name), c.kind != 0);
        switch (c.kind) {
        case 0:
            EXPECT_FALSE(r);
            break;
        case 1:
            EXPECT_TRUE(dynamic_cast<SoundReaderSndfile*>(r.get()));
            break;
        case 2:
            EXPECT_TRUE(dynamic_cast<SoundReaderMp3*>(r.get()));
            break;
        }
    }
}

TEST(Factories, WriterByExtension)
{
    const struct {
        const char* name;
        SoundTools::SoundFormat format;
        int code; // libsndfile format, 0 for none, -1 for MP3
    } cases[] = {
        {"out.wav", SoundTools::PCM24, SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"OUT.WAV", SoundTools::PCM8, SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
        {"out.flac", SoundTools::Float, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"out.flac", SoundTools::PCM8, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"out.ogg", SoundTools::Double, SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"take.aiff", SoundTools::PCM16, SF_FORMAT_RAW | SF_FORMAT_FLOAT | SF_ENDIAN_CPU},
        {"out.mp3", SoundTools::PCM16, -1},
        {"C:\\music\\a.b\\track", SoundTools::PCM16, 0},
        {"ends.", SoundTools::PCM16, 0},
        {"", SoundTools::PCM16, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(QString::fromLatin1(c.name), 48000, 128, c.format));
        if (c.code == 0) {
            EXPECT_FALSE(w);
            continue;
        }
        ASSERT_TRUE(w);
        EXPECT_EQ(w->getSampleRate(), 48000u);
        if (c.code == -1) {
            EXPECT_TRUE(dynamic_cast<SoundWriterMp3*>(w.get()));
            continue;
        }
        auto* s = dynamic_cast<SoundWriterSndfile*>(w.get());
        ASSERT_TRUE(s);
        EXPECT_EQ(s->getFormatCode(), c.code);
        EXPECT_EQ(s->getChannelNum(), 2u);
    }
}
