// vexa split IN TEMPLATE [options]: finds the tracks of a recording and
// writes one file per track.
#include "Analysis.h"
#include "Batch.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "Plot.h"
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

const std::vector<OptionSpec> kOptions = withBatchOptions(withOutputOptions(withTagOptions({
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
    {"dry-run", nullptr, "print the tracks found and write nothing"},
    {"regions", "FILE.json", "save the regions"},
    {"load-regions", "FILE.json", "use saved regions instead of detecting"},
    {"labels", "FILE.txt", "write the track list as an Audacity label track"},
    {"cue", "FILE.cue", "write the track list as a CUE sheet"},
    {"json", nullptr, "print the tracks as JSON on standard output"},
    {"plot", "FILE.svg", "draw the level envelope with the regions and tracks"},
    {"quiet", nullptr, "no progress bar"},
    {"help", nullptr, "show this help (the tags go to every file, with its track number)"},
})), true);

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

} // namespace

int runSplit(int argc, char** argv)
{
    ParsedArgs args;
    const int early = startCommand(
        argc, argv, "split", kOptions, "vexa split IN TEMPLATE [options]  |  vexa split IN... --output-dir DIR [options]",
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
        "  vexa split side_a.wav out/side_a.flac --artist \"Band\" --album \"Live\"\n"
        "  vexa split tape.flac tracks/t.wav --dry-run --labels tape.txt\n"
        "  vexa split side_a.wav --dry-run --plot side_a.svg\n",
        args);
    if (early >= 0)
        return early;
    QString error;
    int jobs = 0;
    if (!batchJobs(args, jobs, error))
        return fail(error, ExitUsage);
    if (args.has("output-dir")) {
        if (args.positional.isEmpty())
            return fail(QStringLiteral("split --output-dir needs at least one input file"), ExitUsage);
        for (const char* single : {"regions", "load-regions", "labels", "cue", "plot"}) {
            if (args.has(QLatin1String(single)) && args.positional.size() > 1)
                return fail(QStringLiteral("--%1 takes one input file").arg(QLatin1String(single)), ExitUsage);
        }
        const QDir dir(args.value("output-dir"));
        const QStringList options = optionArguments(args, kOptions, {"jobs", "output-dir", "quiet"});
        return runBatch(args.positional, [&](const QString& input) {
            const QFileInfo info(input);
            const QString ext = QStringList{"wav", "flac", "ogg", "mp3"}.contains(info.suffix().toLower())
                ? info.suffix() : QStringLiteral("wav");
            const QString name = info.completeBaseName();
            return QStringList{"split", input, dir.filePath(name + QLatin1Char('/') + name + QLatin1Char('.') + ext)}
                + options + QStringList{"--quiet"};
        }, jobs, args.has("json"));
    }
    if (args.positional.size() != 2 && !(args.positional.size() == 1 && args.has("dry-run")))
        return fail(QStringLiteral("split needs IN and TEMPLATE (see vexa split --help)"), ExitUsage);
    const QString in = args.positional[0];
    const QString nameTemplate = args.positional.value(1);

    SplitSettings settings;
    OutputSettings output;
    if (!parseOutputOptions(args, output, error) || (!nameTemplate.isEmpty() && !checkOutputName(nameTemplate, error)))
        return fail(error, ExitUsage);
    for (const auto& [name, value] : args.options) {
        double v = 0;
        const bool numeric = toNumber(value, v);
        const auto bad = [&](const char* what) {
            return fail(QStringLiteral("--%1 %2: %3").arg(name, value, QLatin1String(what)), ExitUsage);
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
        } else if (name == QLatin1String("estimate-noise")) {
            if (!numeric || v <= 0)
                return bad("expected a time in seconds");
            settings.estimateSeconds = v;
        } else if (name == QLatin1String("split-quiet")) {
            if (!numeric || v <= 0)
                return bad("expected a time in seconds");
            settings.splitSeconds = v;
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
    }
    const bool progress = !args.has("quiet");

    unsigned int rate = 44100;
    RMSStepDetector* detector = nullptr;
    Detection detection; // the track finder's envelope and gaps
    detection.wantEnvelope = args.has("plot");
    if (args.has("load-regions")) {
        const QString name = args.value("load-regions");
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("%1 : %2").arg(name, file.errorString()));
        QJsonParseError parse;
        QJsonObject object = QJsonDocument::fromJson(file.readAll(), &parse).object();
        if (parse.error != QJsonParseError::NoError)
            return fail(QStringLiteral("%1 : %2").arg(name, parse.errorString()));
        detector = RMSStepDetector::createFromJSon(object);
        if (!detector)
            return fail(QStringLiteral("%1 : not a saved region list (%2)").arg(name, libraryError()));
        rate = static_cast<unsigned int>(object.value("SampleRate").toInt());
        if (rate == 0)
            rate = 44100;
    } else {
        detector = detectTracks(in, settings, progress, error, rate, &detection);
        if (!detector)
            return fail(error);
    }
    QStringList joined;
    if (settings.minTrackSeconds > 0)
        detector = joinShortTracks(detector, settings.minTrackSeconds, rate, joined);
    std::unique_ptr<RMSStepDetector, void (*)(RMSStepDetector*)> owner(detector, [](RMSStepDetector* d) { d->release(); });

    const std::vector<Track> tracks = tracksOf(*detector, rate, 0.0);
    if (!detection.finding.isEmpty())
        std::fprintf(stderr, "vexa: %s\n", qUtf8Printable(detection.finding));
    for (const QString& j : joined)
        std::fprintf(stderr, "vexa: %s (--min-track %g)\n", qUtf8Printable(j), settings.minTrackSeconds);
    if (args.has("regions")) {
        QJsonObject o;
        detector->writeToJSon(o);
        if (!writeText(args.value("regions"), QJsonDocument(o).toJson(), error))
            return fail(error);
    }
    if (args.has("labels") && !writeText(args.value("labels"), labelTrack(tracks, rate), error))
        return fail(error);
    if (args.has("cue") && !writeText(args.value("cue"), cueSheet(tracks, rate, in), error))
        return fail(error);
    if (args.has("plot")) {
        // Written before the track check, so that a run that finds nothing
        // still shows why.
        // The envelope is measured here only when the detection did not
        // measure one (saved regions, the step detector).
        LevelEnvelope& envelope = detection.envelope;
        if (envelope.levelsDb.empty()) {
            envelope.stepSeconds = 0.05;
            if (!levelEnvelope(in, envelope.stepSeconds, envelope.levelsDb, error))
                return fail(error);
        }
        if (!writeText(args.value("plot"),
                       splitPlot(envelope.levelsDb, envelope.stepSeconds, *detector, tracks, rate, QFileInfo(in).fileName()),
                       error))
            return fail(error);
    }

    const bool json = args.has("json");
    // The gap that opens a track, when the finder measured it.
    const auto gapBefore = [&](const Track& t) -> const SoundTrackFinder::Gap* {
        for (const SoundTrackFinder::Gap& g : detection.gaps) {
            if (g.begin + g.frames == t.begin && g.frames > 0)
                return &g;
        }
        return nullptr;
    };
    QJsonArray list;
    for (const Track& t : tracks) {
        QJsonObject o;
        o.insert("track", t.number);
        o.insert("start_s", static_cast<double>(t.begin) / rate);
        o.insert("end_s", static_cast<double>(t.begin + t.frames) / rate);
        o.insert("length_s", static_cast<double>(t.frames) / rate);
        o.insert("level_db", std::round(t.levelDb * 100.0) / 100.0);
        const SoundTrackFinder::Gap* gap = gapBefore(t);
        QString sure;
        if (gap) {
            o.insert("gap_before_s", static_cast<double>(gap->frames) / rate);
            o.insert("gap_depth_db", std::round(gap->depthDb * 10.0) / 10.0);
            o.insert("gap_silent", gap->silent);
            sure = QStringLiteral("  after %1 s of %2, %3 dB below the music")
                       .arg(static_cast<double>(gap->frames) / rate, 0, 'f', 1)
                       .arg(gap->silent ? QStringLiteral("silence") : QStringLiteral("noise"))
                       .arg(gap->depthDb, 0, 'f', 0);
        }
        list.append(o);
        if (!json) {
            std::printf("track %2d  start %s  length %s  level %6.1f dB%s\n", t.number,
                        qUtf8Printable(formatSeconds(static_cast<double>(t.begin) / rate)),
                        qUtf8Printable(formatSeconds(static_cast<double>(t.frames) / rate)), t.levelDb,
                        qUtf8Printable(sure));
        }
    }
    QJsonArray joinedList;
    for (const QString& j : joined)
        joinedList.append(j);
    if (tracks.empty()) {
        if (json)
            std::printf("%s", QJsonDocument(QJsonObject{{"tracks", list}}).toJson().constData());
        return fail(QStringLiteral("no track found in %1").arg(in));
    }
    if (tracks.size() == 1 && tracks.front().frames < settings.minTrackSeconds * rate) {
        if (json)
            std::printf("%s", QJsonDocument(QJsonObject{{"tracks", QJsonArray()}}).toJson().constData());
        return fail(QStringLiteral("%1 : its only track (%2 s) is shorter than --min-track %3 s; nothing written")
                        .arg(in)
                        .arg(static_cast<double>(tracks.front().frames) / rate, 0, 'f', 1)
                        .arg(settings.minTrackSeconds));
    }

    QStringList written;
    if (!args.has("dry-run")) {
        // The side's tags go to every track, but for its title and number,
        // which name the side; the tracks are numbered as they are written.
        SoundIDTag tags;
        std::unique_ptr<SoundReader> source(SoundReader::getFromFilename(in));
        if (source && source->open(in) == SoundTools::StatusOk && source->getTags(tags)) {
            tags.title.clear();
            tags.track.clear();
        }
        applyTagOptions(args, tags);
        const int files = writeTracks(in, nameTemplate, detector, output.bitrate, output.format,
                                      progress, &tags, written, error);
        if (files < 0) {
            // The tracks finished before a failure stay, and are listed.
            for (const QString& f : written)
                std::printf("wrote %s\n", qUtf8Printable(f));
            std::fflush(stdout);
            return fail(error);
        }
    }
    if (json) {
        QJsonArray files;
        for (const QString& f : written)
            files.append(f);
        std::printf("%s", QJsonDocument(QJsonObject{{"tracks", list}, {"files", files}, {"joined", joinedList}}).toJson().constData());
    } else if (!written.isEmpty()) {
        for (const QString& f : written)
            std::printf("wrote %s\n", qUtf8Printable(f));
    }
    return ExitOk;
}
