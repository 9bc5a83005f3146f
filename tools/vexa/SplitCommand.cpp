// vexa split IN TEMPLATE [options]: finds the tracks of a recording and
// writes one file per track.
#include "Analysis.h"
#include "Batch.h"
#include "Commands.h"
#include "Console.h"
#include "Plot.h"
#include "ReplayGain.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>
#include <cstdio>
#include <memory>

namespace {

QByteArray labelTrack(const std::vector<Track>& tracks, unsigned int rate)
{
    QByteArray out;
    for (const Track& t : tracks) {
        out += QStringLiteral("%1\t%2\tTrack %3\n")
                   .arg(static_cast<double>(t.begin) / rate, 0, 'f', 6)
                   .arg(static_cast<double>(t.begin + t.frames) / rate, 0, 'f', 6)
                   .arg(t.number)
                   .toUtf8();
    }
    return out;
}

QByteArray cueSheet(const std::vector<Track>& tracks, unsigned int rate, const QString& audio)
{
    QByteArray out = QStringLiteral("FILE \"%1\" WAVE\n").arg(QFileInfo(audio).fileName()).toUtf8();
    for (const Track& t : tracks) {
        const long long cdFrames = t.begin * 75 / rate; // CD frames of 1/75 s
        out += QStringLiteral("  TRACK %1 AUDIO\n    TITLE \"Track %2\"\n    INDEX 01 %3:%4:%5\n")
                   .arg(t.number, 2, 10, QChar('0'))
                   .arg(t.number)
                   .arg(cdFrames / (75 * 60), 2, 10, QChar('0'))
                   .arg((cdFrames / 75) % 60, 2, 10, QChar('0'))
                   .arg(cdFrames % 75, 2, 10, QChar('0'))
                   .toUtf8();
    }
    return out;
}

// The tracks found and what came of them, as they are shown.
struct SplitResult {
    unsigned int rate = 44100;
    std::vector<Track> tracks;
    // The gap that opens each track, when the finder measured it.
    std::vector<const SoundTrackFinder::Gap*> gaps;
    QStringList joined;
    QStringList written;
    // With --replaygain: each file's gains (under its final name) and the side's.
    bool replayGain = false;
    std::vector<TrackGain> gains;
    AlbumGain album;
};

QJsonArray trackList(const SplitResult& r)
{
    QJsonArray list;
    for (size_t i = 0; i < r.tracks.size(); ++i) {
        const Track& t = r.tracks[i];
        QJsonObject o;
        o.insert("track", t.number);
        o.insert("start_s", static_cast<double>(t.begin) / r.rate);
        o.insert("end_s", static_cast<double>(t.begin + t.frames) / r.rate);
        o.insert("length_s", static_cast<double>(t.frames) / r.rate);
        o.insert("level_db", std::round(t.levelDb * 100.0) / 100.0);
        if (const SoundTrackFinder::Gap* gap = r.gaps[i]) {
            o.insert("gap_before_s", static_cast<double>(gap->frames) / r.rate);
            o.insert("gap_depth_db", std::round(gap->depthDb * 10.0) / 10.0);
            o.insert("gap_silent", gap->silent);
        }
        list.append(o);
    }
    return list;
}

QByteArray splitJson(const SplitResult& r)
{
    QJsonArray files;
    for (const QString& f : r.written)
        files.append(f);
    QJsonObject o{{"tracks", trackList(r)}, {"files", files}, {"joined", QJsonArray::fromStringList(r.joined)}};
    if (r.replayGain)
        o.insert("replaygain", QJsonDocument::fromJson(replayGainJson(r.gains, r.album)).object());
    return QJsonDocument(o).toJson();
}

QByteArray trackLines(const SplitResult& r)
{
    QByteArray text;
    for (size_t i = 0; i < r.tracks.size(); ++i) {
        const Track& t = r.tracks[i];
        QString sure;
        if (const SoundTrackFinder::Gap* gap = r.gaps[i]) {
            sure = QStringLiteral("  after %1 s of %2, %3 dB below the music")
                       .arg(static_cast<double>(gap->frames) / r.rate, 0, 'f', 1)
                       .arg(gap->silent ? QStringLiteral("silence") : QStringLiteral("noise"))
                       .arg(gap->depthDb, 0, 'f', 0);
        }
        text += strf("track %2d  start %s  length %s  level %6.1f dB%s\n", t.number,
                     qUtf8Printable(formatSeconds(static_cast<double>(t.begin) / r.rate)),
                     qUtf8Printable(formatSeconds(static_cast<double>(t.frames) / r.rate)), t.levelDb, qUtf8Printable(sure));
    }
    return text;
}

QByteArray writtenLines(const QStringList& written)
{
    QByteArray text;
    for (const QString& f : written)
        text += strf("wrote %s\n", qUtf8Printable(f));
    return text;
}

} // namespace

const Command& splitCommand();

namespace {

// Several files: each IN's tracks under DIR/NAME/, by a run of its own.
int splitEach(const ParsedArgs& args, int jobs)
{
    if (args.positional.isEmpty())
        return fail(QStringLiteral("split --output-dir needs at least one input file"), ExitUsage);
    for (const char* single : {"regions", "load-regions", "labels", "cue", "plot"}) {
        if (args.has(QLatin1String(single)) && args.positional.size() > 1)
            return fail(QStringLiteral("--%1 takes one input file").arg(QLatin1String(single)), ExitUsage);
    }
    const QDir dir(args.value("output-dir"));
    const QStringList options = optionArguments(args, commandOptions(splitCommand()), {"jobs", "output-dir", "quiet"});
    return runBatch(args.positional, [&](const QString& input) {
        const QFileInfo info(input);
        const QString ext = QStringList{"wav", "flac", "ogg", "mp3"}.contains(info.suffix().toLower())
            ? info.suffix() : QStringLiteral("wav");
        const QString name = info.completeBaseName();
        return QStringList{"split", input, dir.filePath(name + QLatin1Char('/') + name + QLatin1Char('.') + ext)}
            + options + QStringList{"--quiet"};
    }, jobs, args.has("json"));
}

// One option of the detection into `settings`; false with `error` set.
bool readDetectionOption(const QString& name, const QString& value, SplitSettings& settings, QString& error)
{
    double v = 0;
    const bool numeric = toNumber(value, v);
    const auto bad = [&](const char* what) {
        error = QStringLiteral("--%1 %2: %3").arg(name, value, QLatin1String(what));
        return false;
    };
    static const char* const detectorOptions[] = {"step-detector", "threshold", "window", "noise",
                                                   "estimate-noise", "split-quiet", "merge"};
    for (const char* o : detectorOptions) {
        if (name == QLatin1String(o))
            settings.stepDetector = true;
    }
    if (name == QLatin1String("threshold")) {
        if (!numeric || v >= 0)
            return bad("expected a negative level in dB");
        settings.thresholdDb = v;
    } else if (name == QLatin1String("window")) {
        if (!numeric || v <= 0 || v > 10)
            return bad("expected a time in seconds (up to 10)");
        settings.windowSeconds = v;
    } else if (name == QLatin1String("noise")) {
        if (!numeric)
            return bad("expected a level in dB");
        settings.noiseDb = v;
        settings.hasNoise = true;
    } else if (name == QLatin1String("estimate-noise") || name == QLatin1String("split-quiet")) {
        if (!numeric || v <= 0)
            return bad("expected a time in seconds");
        (name == QLatin1String("split-quiet") ? settings.splitSeconds : settings.estimateSeconds) = v;
    } else if (name == QLatin1String("merge")) {
        settings.merge = true;
    } else if (name == QLatin1String("min-gap")) {
        if (!numeric || v < 0.1 || v > 60)
            return bad("expected a time in seconds (0.1 to 60)");
        settings.finder.minGapSeconds = v;
    } else if (name == QLatin1String("depth")) {
        if (!numeric || v < 6 || v > 80)
            return bad("expected a level difference in dB (6 to 80)");
        settings.finder.minDepthDb = v;
    } else if (name == QLatin1String("min-track")) {
        if (!numeric || v < 0)
            return bad("expected a time in seconds");
        settings.minTrackSeconds = v;
    }
    return true;
}

// The regions saved by --regions, and their sample rate; null with `error` set.
SoundRef<RMSStepDetector> loadRegions(const QString& name, unsigned int& rate, QString& error)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1 : %2").arg(name, file.errorString());
        return {};
    }
    QJsonParseError parse;
    QJsonObject object = QJsonDocument::fromJson(file.readAll(), &parse).object();
    if (parse.error != QJsonParseError::NoError) {
        error = QStringLiteral("%1 : %2").arg(name, parse.errorString());
        return {};
    }
    SoundRef<RMSStepDetector> detector(RMSStepDetector::createFromJSon(object));
    if (!detector) {
        error = QStringLiteral("%1 : not a saved region list (%2)").arg(name, libraryError());
        return {};
    }
    rate = static_cast<unsigned int>(object.value("SampleRate").toInt());
    if (rate == 0)
        rate = 44100;
    return detector;
}

// The files beside the tracks: the regions, the label track, the CUE sheet
// and the picture. The picture is written before the track check, so that a
// run that finds nothing still shows why.
bool writeSideFiles(const ParsedArgs& args, const QString& in, const RMSStepDetector& detector, const SplitResult& r,
                    Detection& detection, QString& error)
{
    if (args.has("regions")) {
        QJsonObject o;
        detector.writeToJSon(o);
        if (!writeText(args.value("regions"), QJsonDocument(o).toJson(), error))
            return false;
    }
    if (args.has("labels") && !writeText(args.value("labels"), labelTrack(r.tracks, r.rate), error))
        return false;
    if (args.has("cue") && !writeText(args.value("cue"), cueSheet(r.tracks, r.rate, in), error))
        return false;
    if (!args.has("plot"))
        return true;
    // The envelope is measured here only when the detection did not
    // measure one (saved regions, the step detector).
    LevelEnvelope& envelope = detection.envelope;
    if (envelope.levelsDb.empty()) {
        envelope.stepSeconds = 0.05;
        if (!levelEnvelope(in, envelope.stepSeconds, envelope.levelsDb, error))
            return false;
    }
    return writeText(args.value("plot"),
                     splitPlot(envelope.levelsDb, envelope.stepSeconds, detector, r.tracks, r.rate, QFileInfo(in).fileName()),
                     error);
}

// --replaygain: the complete tracks measured, and tagged with their gains
// and the side's as an album.
bool tagTracks(const QStringList& files, bool progress, SplitResult& r, QString& error)
{
    std::vector<SoundRef<SoundAlgoLoudness>> nodes;
    for (const QString& file : files) {
        SoundRef<SoundAlgoLoudness> node = measureFile(file, progress, error);
        if (!node)
            return false;
        nodes.push_back(std::move(node));
    }
    r.replayGain = true;
    r.gains = trackGains(files, nodes);
    r.album = albumGain(nodes);
    for (TrackGain& t : r.gains) {
        // A track is music: it has loudness unless it is all below the gate.
        if (t.figures.hasLoudness()) {
            if (!writeReplayGainTags(t.file, replayGainTags(t, r.album), error))
                return false;
            t.tagged = true;
        }
    }
    return true;
}

// The tracks as files after the template, tagged with the side's tags (but
// its title and number, which name the side, and its ReplayGain tags, which
// are not the tracks') and the tags given; the tracks are numbered as they
// are written. False with `error` set.
bool writeSplitTracks(const ParsedArgs& args, const QString& in, const QString& nameTemplate, RMSStepDetector* detector,
                      const OutputSettings& output, SplitResult& r, QString& error)
{
    SoundIDTag tags;
    std::unique_ptr<SoundReader> source(SoundReader::getFromFilename(in));
    if (source && source->open(in) == SoundTools::StatusOk && source->getTags(tags)) {
        tags.title.clear();
        tags.track.clear();
        dropReplayGainTags(tags);
    }
    applyTagOptions(args, tags);
    TrackFinisher finish;
    if (args.has("replaygain")) {
        finish = [&](const QStringList& files, QString& e) { return tagTracks(files, output.progress, r, e); };
    }
    if (writeTracks(in, nameTemplate, detector, output.bitrate, output.format, output.progress, &tags, r.written,
                    error, finish) < 0)
        return false;
    // The files are named where they now are.
    for (size_t i = 0; i < r.gains.size() && i < static_cast<size_t>(r.written.size()); ++i)
        r.gains[i].file = r.written[static_cast<int>(i)];
    return true;
}

// Finds the tracks (or loads them) and joins the short ones; null with
// `error` set.
SoundRef<RMSStepDetector> findTracks(const ParsedArgs& args, const QString& in, const SplitSettings& settings,
                                     bool progress, Detection& detection, SplitResult& r, QString& error)
{
    SoundRef<RMSStepDetector> detector = args.has("load-regions")
        ? loadRegions(args.value("load-regions"), r.rate, error)
        : detectTracks(in, settings, progress, error, r.rate, &detection);
    if (!detector)
        return {};
    if (settings.minTrackSeconds > 0)
        detector = joinShortTracks(std::move(detector), settings.minTrackSeconds, r.rate, r.joined);
    r.tracks = tracksOf(*detector, r.rate, 0.0);
    for (const Track& t : r.tracks) {
        const SoundTrackFinder::Gap* before = nullptr;
        for (const SoundTrackFinder::Gap& g : detection.gaps) {
            if (g.begin + g.frames == t.begin && g.frames > 0 && !before)
                before = &g;
        }
        r.gaps.push_back(before);
    }
    if (!detection.finding.isEmpty())
        std::fprintf(stderr, "vexa: %s\n", qUtf8Printable(detection.finding));
    for (const QString& j : r.joined)
        std::fprintf(stderr, "vexa: %s (--min-track %g)\n", qUtf8Printable(j), settings.minTrackSeconds);
    return detector;
}

// A side with no track, or only one shorter than --min-track: nothing is
// written.
int refuseNoTracks(const SplitResult& r, const QString& in, double minTrackSeconds, bool json)
{
    if (json)
        printOut(QJsonDocument(QJsonObject{{"tracks", QJsonArray()}}).toJson());
    if (r.tracks.empty())
        return fail(QStringLiteral("no track found in %1").arg(in));
    return fail(QStringLiteral("%1 : its only track (%2 s) is shorter than --min-track %3 s; nothing written")
                    .arg(in)
                    .arg(static_cast<double>(r.tracks.front().frames) / r.rate, 0, 'f', 1)
                    .arg(minTrackSeconds));
}

int runSplit(const ParsedArgs& args)
{
    QString error;
    int jobs = 0;
    if (!batchJobs(args, jobs, error))
        return fail(error, ExitUsage);
    if (args.has("output-dir"))
        return splitEach(args, jobs);
    if (args.positional.size() != 2 && !(args.positional.size() == 1 && args.has("dry-run")))
        return fail(QStringLiteral("split needs IN and TEMPLATE (see vexa split --help)"), ExitUsage);
    const QString in = args.positional[0];
    const QString nameTemplate = args.positional.value(1);
    SplitSettings settings;
    OutputSettings output;
    output.progress = !args.has("quiet");
    if (!parseOutputOptions(args, output, error) || (!nameTemplate.isEmpty() && !checkOutputName(nameTemplate, error)))
        return fail(error, ExitUsage);
    if (args.has("replaygain") && QFileInfo(nameTemplate).suffix().toLower() == QLatin1String("raw"))
        return fail(QStringLiteral("--replaygain: headerless .raw files have no place for tags"), ExitUsage);
    for (const auto& [name, value] : args.options) {
        if (!readDetectionOption(name, value, settings, error))
            return fail(error, ExitUsage);
    }

    Detection detection; // the track finder's envelope and gaps
    detection.wantEnvelope = args.has("plot");
    SplitResult result;
    const SoundRef<RMSStepDetector> detector = findTracks(args, in, settings, output.progress, detection, result, error);
    if (!detector || !writeSideFiles(args, in, *detector, result, detection, error))
        return fail(error);
    const bool json = args.has("json");
    if (!json)
        printOut(trackLines(result));
    if (result.tracks.empty() || (result.tracks.size() == 1 && result.tracks.front().frames < settings.minTrackSeconds * result.rate))
        return refuseNoTracks(result, in, settings.minTrackSeconds, json);
    if (!args.has("dry-run") && !writeSplitTracks(args, in, nameTemplate, detector.get(), output, result, error)) {
        // The tracks finished before a failure stay, and are listed.
        printOut(writtenLines(result.written));
        std::fflush(stdout);
        return fail(error);
    }
    printOut(json ? splitJson(result) : writtenLines(result.written));
    if (!json && result.replayGain)
        printOut(replayGainText(result.gains, result.album));
    return ExitOk;
}

} // namespace

const Command& splitCommand()
{
    static const Command command{
        "split", "split IN TEMPLATE", "find the tracks of a recording, write one file per track",
        "vexa split IN TEMPLATE [options]  |  vexa split IN... --output-dir DIR [options]",
        "Finds the tracks of a recording (a record side, a tape, a live set) and writes one file per track,\n"
        "named after TEMPLATE with a track number: \"side.flac\" gives 001-side.flac, 002-side.flac...;\n"
        "\"01 - Side A.mp3\" gives \"01 Side A.mp3\", \"02 Side A.mp3\"... The extension selects the format;\n"
        "the folder is created when needed. With --output-dir, each IN's tracks go to DIR/NAME/NAME.EXT\n"
        "(NAME and EXT those of IN; .wav when vexa does not write IN's format).\n"
        "Tracks are the music between gaps of at least --min-gap seconds of silence or of noise near the\n"
        "recording's noise floor; a pause or a quiet passage that stays above the floor keeps its track\n"
        "whole, and a fade-out ends where it meets the floor. Every stretch of music is a track, however\n"
        "short, unless --min-track asks otherwise. Exit status: 0 tracks found (and written), 1 no track\n"
        "found or a file could not be read or written, 2 bad usage.",
        joinOptions({{
            {"min-gap", "SECONDS", "shortest gap between tracks (default 0.8; shorter pauses stay in the track)"},
            {"depth", "DB", "how far music rises above the noise floor at least (default 15)"},
            {"step-detector", nullptr, "find the tracks with the step detector and its region edits below"},
            {"threshold", "DB", "detection noise threshold, relative to the loudest region (default -40)"},
            {"window", "SECONDS", "length of the level-measuring window (default 0.2)"},
            {"noise", "DB", "flag regions below this level (relative to the loudest) as noise"},
            {"estimate-noise", "SECONDS", "estimate the noise level from the quietest SECONDS per 5 minutes"},
            {"split-quiet", "SECONDS", "split long tracks at quiet passages (noise estimated per track)"},
            {"merge", nullptr, "merge neighbouring regions of the same kind"},
            {"min-track", "SECONDS", "tracks shorter than this join their neighbour (default: every track stands)"},
            {"replaygain", nullptr, "tag every track with its ReplayGain 2.0 gain and peak, and the side's as the album's"},
            {"dry-run", nullptr, "print the tracks found and write nothing"},
            {"regions", "FILE.json", "save the regions"},
            {"load-regions", "FILE.json", "use saved regions instead of detecting"},
            {"labels", "FILE.txt", "write the track list as an Audacity label track"},
            {"cue", "FILE.cue", "write the track list as a CUE sheet"},
            {"json", nullptr, "print the tracks as JSON on standard output"},
            {"plot", "FILE.svg", "draw the level envelope with the regions and tracks"},
            {"quiet", nullptr, "no progress bar"},
        }, tagOptions(), outputOptions(), batchOptions(true)}),
        "show this help (the tags go to every file, with its track number)",
        "  vexa split side_a.wav out/side_a.flac --artist \"Band\" --album \"Live\"\n"
        "  vexa split tape.flac tracks/t.wav --dry-run --labels tape.txt\n"
        "  vexa split side_a.wav --dry-run --plot side_a.svg\n"
        "  vexa split side_a.flac out/side_a.flac --replaygain\n",
        runSplit,
    };
    return command;
}
