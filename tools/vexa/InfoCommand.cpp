// vexa info FILE...: what a file holds, as the library reads it.
#include "Commands.h"
#include "Console.h"

#include <vexa/vexa.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <memory>

namespace {

const char* formatName(SoundTools::SoundFormat f)
{
    switch (f) {
    case SoundTools::PCM8: return "pcm8";
    case SoundTools::PCM16: return "pcm16";
    case SoundTools::PCM24: return "pcm24";
    case SoundTools::PCM32: return "pcm32";
    case SoundTools::Float: return "float";
    case SoundTools::Double: return "double";
    }
    return "unknown";
}

QJsonObject tagsObject(const SoundIDTag& t)
{
    QJsonObject o;
    auto put = [&o](const char* key, const std::string& v) {
        if (!v.empty())
            o.insert(QLatin1String(key), QString::fromStdString(v));
    };
    put("title", t.title);
    put("artist", t.artist);
    put("album", t.album);
    put("year", t.year);
    put("comment", t.comment);
    put("track", t.track);
    put("genre", t.genre);
    for (const auto& other : t.others) {
        QStringList values;
        for (const std::string& v : other.second)
            values << QString::fromStdString(v);
        o.insert(QString::fromStdString(other.first).toLower(), values.join(QStringLiteral("; ")));
    }
    return o;
}

// The frames that can really be read, when the header's count is not
// (no count at all, or a last frame that cannot be reached: a cut file):
// found by decoding the file. -1 when the header holds.
long long readableFrames(SoundReader& reader, const QString& name)
{
    const unsigned int header = reader.getFrameNB();
    const unsigned int rate = reader.getSampleRate();
    if (header == 0 || rate == 0 || dynamic_cast<SoundReaderMp3*>(&reader))
        return -1; // the MP3 reader's count is what it decodes
    auto buffer = SoundBuffer::createNew(rate);
    buffer->alloc(65536, 2, 1, 1);
    if (header != 0xffffffffu) {
        reader.setStartPoint(static_cast<double>(header - 1) / rate);
        reader.rewind();
        const bool reached = reader.getOffset() == static_cast<int>(header - 1) && reader.stereoRead(buffer, 0) == 1;
        reader.setStartPoint(0.0);
        reader.rewind();
        if (reached)
            return -1;
    }
    // A failed seek can leave a decoder stuck: count with a reader of its own.
    std::unique_ptr<SoundReader> counter(SoundReader::getFromFilename(name));
    if (!counter || counter->open(name) != SoundTools::StatusOk)
        return -1;
    counter->rewind();
    while (counter->stereoRead(buffer, 0) > 0) {
    }
    return std::max(0, counter->getEndOffset());
}

// What info shows of one file: the fields of its JSON object, and for the
// text its name, channels and the note on a cut file.
struct FileInfo {
    QJsonObject fields;
    unsigned int channels = 2;
    QString cut;
};

// The file's own channels and encoding; PCM and float files have a sample
// format, lossy ones a codec.
void describeEncoding(SoundReader& reader, const QString& name, FileInfo& info)
{
    QString kind = QStringLiteral("mp3");
    QString codec;
    bool pcm = false;
    int bitrate = 0;
    if (auto* sndfile = dynamic_cast<SoundReaderSndfile*>(&reader)) {
        info.channels = sndfile->getChannelNum();
        kind = QFileInfo(name).suffix().toLower();
        codec = sndfile->getCodecName();
        pcm = codec.contains(QLatin1String("PCM")) || codec.contains(QLatin1String("float"));
    } else if (auto* mp3 = dynamic_cast<SoundReaderMp3*>(&reader)) {
        info.channels = mp3->getChannelNum();
        bitrate = static_cast<int>(mp3->getBitrate());
        codec = bitrate > 0 ? QStringLiteral("MP3, %1 kbit/s").arg(bitrate) : QStringLiteral("MP3, variable bit rate");
    }
    info.fields.insert("format", kind);
    info.fields.insert("channels", static_cast<int>(info.channels));
    info.fields.insert("codec", codec);
    if (pcm)
        info.fields.insert("sample_format", QLatin1String(formatName(reader.getInputFormat())));
    if (bitrate > 0)
        info.fields.insert("bitrate_kbps", bitrate);
}

FileInfo describe(SoundReader& reader, const QString& name)
{
    FileInfo info;
    QJsonObject& o = info.fields;
    o.insert("file", name);
    o.insert("sample_rate", static_cast<int>(reader.getSampleRate()));
    describeEncoding(reader, name, info);
    SoundIDTag tags;
    reader.getTags(tags);
    o.insert("tags", tagsObject(tags));
    // A cut or damaged file: its readable length, and what the header says.
    const long long readable = readableFrames(reader, name);
    const double rate = std::max(1u, reader.getSampleRate());
    const long long frames = readable >= 0 ? readable : reader.getFrameNB();
    if (readable >= 0) {
        info.cut = reader.getFrameNB() == 0xffffffffu
            ? QStringLiteral(" (a cut or damaged file: its header gives no length)")
            : QStringLiteral(" (a cut or damaged file: its header gives %1)")
                  .arg(QString::fromStdString(reader.getLengthString()));
        o.insert("header_frames", static_cast<double>(reader.getFrameNB()));
        o.insert("damaged", true);
    }
    o.insert("length", QString::fromStdString(SoundReader::formatLength(static_cast<double>(frames) / rate)));
    o.insert("seconds", static_cast<double>(frames) / rate);
    o.insert("frames", static_cast<double>(frames));
    return info;
}

QByteArray infoText(const FileInfo& info)
{
    const QJsonObject& o = info.fields;
    QByteArray text = strf("%s\n", qUtf8Printable(o.value("file").toString()));
    text += strf("  format         %s\n", qUtf8Printable(o.value("format").toString()));
    text += strf("  sample rate    %d Hz\n", o.value("sample_rate").toInt());
    text += strf("  channels       %u%s\n", info.channels, info.channels == 2 ? "" : " (read as stereo)");
    text += strf("  length         %s%s\n", qUtf8Printable(o.value("length").toString()), qUtf8Printable(info.cut));
    text += strf("  frames         %lld\n", static_cast<long long>(o.value("frames").toDouble()));
    text += strf("  codec          %s\n", qUtf8Printable(o.value("codec").toString()));
    if (o.contains("sample_format"))
        text += strf("  sample format  %s\n", qUtf8Printable(o.value("sample_format").toString()));
    const QJsonObject t = o.value("tags").toObject();
    for (auto it = t.begin(); it != t.end(); ++it)
        text += strf("  %-14s %s\n", qUtf8Printable(it.key()), qUtf8Printable(it.value().toString()));
    return text;
}

int runInfo(const ParsedArgs& args)
{
    if (args.positional.isEmpty())
        return fail(QStringLiteral("info needs at least one file (see vexa info --help)"), ExitUsage);
    const bool json = args.has("json");
    QJsonArray results;
    int status = ExitOk;
    for (const QString& name : args.positional) {
        std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(name));
        if (!reader) {
            status = fail(QStringLiteral("%1 : not a recognised audio file name").arg(name));
            continue;
        }
        if (reader->open(name) != SoundTools::StatusOk) {
            status = fail(libraryError());
            continue;
        }
        const FileInfo info = describe(*reader, name);
        if (json)
            results.append(info.fields);
        else
            printOut(infoText(info));
    }
    if (json)
        printOut(QJsonDocument(results).toJson());
    return status;
}

} // namespace

const Command& infoCommand()
{
    static const Command command{
        "info", "info FILE...", "format, length and tags of audio files", "vexa info FILE... [--json]",
        "Shows the format, codec, sample rate, channels, length, frame count, sample format (PCM and float\n"
        "files) and tags of audio files\n"
        "(WAV, FLAC, Ogg Vorbis, MP3 and the other formats libsndfile reads).",
        {{"json", nullptr, "print the results as JSON on standard output"}},
        "show this help",
        "  vexa info side_a.flac\n  vexa info --json *.mp3\n",
        runInfo,
        false,
    };
    return command;
}
