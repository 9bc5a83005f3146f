// vexa tag FILE... [--album]: ReplayGain 2.0 tags for existing files.
#include "Commands.h"
#include "Console.h"
#include "Loudness.h"
#include "ReplayGain.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

// A file the tool can tag: it exists, is writable, and its format has a
// place for the tags. False with `error` set.
bool checkTaggable(const QString& file, QString& error)
{
    const QFileInfo info(file);
    if (!info.isFile()) {
        error = QStringLiteral("%1 : no such file").arg(file);
        return false;
    }
    // The permission bits too: the superuser may write a read-only file,
    // but a file made read-only is not to be changed.
    const QFile::Permissions writable = QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
    if (!info.isWritable() || !(info.permissions() & writable)) {
        error = QStringLiteral("%1 : the file is read-only; nothing was tagged").arg(file);
        return false;
    }
    if (!QFileInfo(info.dir().path()).isWritable()) {
        error = QStringLiteral("%1 : its folder is not writable; nothing was tagged").arg(file);
        return false;
    }
    static const QStringList kTagged = {"flac", "ogg", "mp3", "wav"};
    if (!kTagged.contains(info.suffix().toLower())) {
        error = QStringLiteral("%1 : vexa tags .flac, .ogg, .mp3 and .wav files").arg(file);
        return false;
    }
    return true;
}

// The tags are written to a copy, which replaces the file once complete:
// a failure leaves the file as it was.
bool tagCopy(const QString& file, const std::vector<std::pair<std::string, std::string>>& tags, QString& error)
{
    AtomicOutput copy(file);
    QFile::remove(copy.tempName());
    if (!QFile::copy(file, copy.tempName())) {
        error = QStringLiteral("%1 : cannot copy the file to tag it").arg(file);
        return false;
    }
    if (!writeReplayGainTags(copy.tempName(), tags, error)) {
        error.replace(copy.tempName(), file);
        return false;
    }
    return copy.commit(error);
}

int runTag(const ParsedArgs& args)
{
    QString error;
    if (args.positional.isEmpty())
        return fail(QStringLiteral("tag needs at least one file (see vexa tag --help)"), ExitUsage);
    // Every file is checked before any is measured or changed.
    for (const QString& file : args.positional) {
        if (!checkTaggable(file, error))
            return fail(error);
    }
    std::vector<SoundRef<SoundAlgoLoudness>> nodes;
    for (const QString& file : args.positional) {
        SoundRef<SoundAlgoLoudness> node = measureFile(file, !args.has("quiet"), error);
        if (!node)
            return fail(error);
        nodes.push_back(std::move(node));
    }
    std::vector<TrackGain> tracks = trackGains(args.positional, nodes);
    const AlbumGain album = args.has("album") ? albumGain(nodes) : AlbumGain();
    int status = ExitOk;
    for (TrackGain& t : tracks) {
        if (!t.figures.hasLoudness()) {
            std::fprintf(stderr, "vexa: %s is %s: no gain to give it; not tagged\n", qUtf8Printable(t.file),
                         qUtf8Printable(t.figures.missingReason()));
            status = ExitFailed;
            continue;
        }
        if (!tagCopy(t.file, replayGainTags(t, album), error)) {
            fail(error);
            status = ExitFailed;
            continue;
        }
        t.tagged = true;
    }
    printOut(args.has("json") ? replayGainJson(tracks, album) : replayGainText(tracks, album));
    return status;
}

} // namespace

const Command& tagCommand()
{
    static const Command command{
        "tag", "tag FILE... [--album]", "write ReplayGain 2.0 tags (EBU R128 loudness) into files",
        "vexa tag FILE... [--album] [--json]",
        "Measures each FILE (EBU R128 integrated loudness and true peak) and writes its ReplayGain 2.0 tags:\n"
        "REPLAYGAIN_TRACK_GAIN (the gain to -18 LUFS, \"-3.21 dB\") and REPLAYGAIN_TRACK_PEAK (the linear true\n"
        "peak, \"0.987654\"); with --album also REPLAYGAIN_ALBUM_GAIN and REPLAYGAIN_ALBUM_PEAK, over all the\n"
        "files as one programme. FLAC and Ogg Vorbis files get Vorbis comments, MP3 and WAV files ID3v2 TXXX\n"
        "frames; the other tags stay. Each file is tagged through a copy that replaces it once complete.\n"
        "Every file is checked first: a read-only file stops the run before anything is changed. A silent\n"
        "file has no loudness and is not tagged. Exit status: 0 every file tagged, 1 a file could not be\n"
        "read, tagged, or was silent, 2 bad usage.",
        {
            {"album", nullptr, "also the album gain and peak, over all the files given"},
            {"json", nullptr, "print the measurements and gains as JSON on standard output"},
            {"quiet", nullptr, "no progress bar"},
        },
        "show this help",
        "  vexa tag 01-side.flac 02-side.flac 03-side.flac --album\n  vexa tag single.mp3\n",
        runTag,
    };
    return command;
}
