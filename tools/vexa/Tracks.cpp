#include "Tracks.h"

#include "CommandLine.h"
#include "Console.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

std::unique_ptr<SoundReader> openReader(const QString& fileName, QString& error, bool ahead)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(fileName));
    if (!reader) {
        error = QStringLiteral("%1 : not a recognised audio file name").arg(fileName);
        return nullptr;
    }
    // Decoding on a thread of its own overlaps the processing.
    if (ahead)
        reader.reset(new SoundReaderAhead(reader.release()));
    if (reader->open(fileName) != SoundTools::StatusOk) {
        error = libraryError();
        return nullptr;
    }
    reader->rewind();
    return reader;
}

std::vector<Track> tracksOf(const RMSStepDetector& detector, unsigned int sampleRate, double minSeconds)
{
    std::vector<Track> tracks;
    const int regions = detector.size(false);
    int number = 0;
    for (int i = 0; i < regions;) {
        RMSStepDetector::Region r = detector.getRegion(i, false);
        if (r.IsNoise) {
            ++i;
            continue;
        }
        Track t;
        t.begin = r.BeginSample;
        double energy = 0.0;
        while (i < regions) {
            r = detector.getRegion(i, false);
            if (r.IsNoise)
                break;
            t.frames += r.SampleNb;
            energy += std::max(r.RMSSqrValue0, r.RMSSqrValue1) * r.SampleNb;
            ++i;
        }
        const double meanSquare = t.frames > 0 ? energy / static_cast<double>(t.frames) : 0.0;
        t.levelDb = meanSquare > 1e-20 ? 10.0 * std::log10(meanSquare) : -100.0;
        if (static_cast<double>(t.frames) / sampleRate >= minSeconds) {
            t.number = ++number;
            tracks.push_back(t);
        }
    }
    return tracks;
}

QString formatSeconds(double seconds)
{
    return QString::fromStdString(SoundReader::formatLength(seconds));
}

namespace {

// What one writing pass over the tracks gave.
struct TrackPass {
    SoundTools::Status status = SoundTools::StatusError;
    int files = 0;           // files complete
    QStringList finished;    // their names, in track order
    QString failedTrack;     // the name of the one being written at a failure
};

// Writes the tracks as files named after `firstName`, encoded and written on
// a thread of their own. False with `error` set when the writer cannot open.
bool writeTrackFiles(SoundReader& reader, RMSStepDetector* detector, const QString& firstName, unsigned int bitrate,
                     SoundTools::SoundFormat format, bool progress, const SoundIDTag* tags, TrackPass& pass,
                     QString& error)
{
    auto* tracks = new SoundWriterMultiFile(detector, 0.0, reader.getSampleRate(), 2, bitrate, format);
    SoundWriterBehind writer(tracks);
    if (writer.open(firstName) != SoundTools::StatusOk) {
        error = libraryError();
        return false;
    }
    if (tags)
        writer.setTags(*tags);
    SoundRef<SoundAlgoBypass> bypass(new SoundAlgoBypass());
    Progress bar(QStringLiteral("write %1").arg(QFileInfo(firstName).fileName()), reader.getSampleRate(), progress);
    bar.follow(bypass.get());
    pass.status = bypass->processAll(reader, &writer);
    bypass.reset();
    writer.flush();
    bar.finish();
    // A failure of the last blocks shows only once they are written.
    if (writer.hasFailed())
        pass.status = SoundTools::StatusError;
    // The tracks closed before a failure are complete; the one being
    // written when it came is not.
    pass.files = tracks->GetWrittenFiles();
    for (int n = 1; n <= pass.files; ++n)
        pass.finished << QFileInfo(tracks->trackFileName(n)).fileName();
    pass.failedTrack = QFileInfo(tracks->trackFileName(pass.files + 1)).fileName();
    const QString before = libraryError();
    writer.close();
    if (writer.getClippedSamples() > 0) {
        std::fprintf(stderr, "vexa: warning: %llu samples beyond full scale were clipped in the tracks written "
                             "(vexa process --limit 0 keeps the peaks under it)\n",
                     writer.getClippedSamples());
    }
    // Closing the last file can fail too (a full disk when it is flushed).
    if (pass.status == SoundTools::StatusOk && libraryError() != before)
        pass.status = SoundTools::StatusError;
    if (pass.status == SoundTools::StatusOk)
        pass.files = tracks->GetWrittenFiles();
    return true;
}

} // namespace

int writeTracks(const QString& in, const QString& nameTemplate, RMSStepDetector* detector,
                unsigned int bitrate, SoundTools::SoundFormat format, bool progress, const SoundIDTag* tags,
                QStringList& written, QString& error, const TrackFinisher& finish)
{
    std::unique_ptr<SoundReader> reader = openReader(in, error);
    if (!reader)
        return -1;

    const QFileInfo target(nameTemplate);
    QDir targetDir = target.dir();
    if (!targetDir.exists() && !QDir().mkpath(targetDir.path())) {
        error = QStringLiteral("%1 : cannot create the folder").arg(targetDir.path());
        return -1;
    }
    QTemporaryDir work(targetDir.filePath(QStringLiteral(".vexa-split-XXXXXX")));
    if (!work.isValid()) {
        error = QStringLiteral("%1 : cannot write in this directory").arg(targetDir.path());
        return -1;
    }
    // Moves finished files into place, in track order.
    const auto moveIn = [&](const QStringList& names) {
        for (const QString& name : names) {
            const QString from = QDir(work.path()).filePath(name);
            const QString to = targetDir.filePath(name);
            if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
                error = QStringLiteral("%1 : cannot move the finished file into place").arg(to);
                return false;
            }
            written << to;
        }
        return true;
    };
    TrackPass pass;
    if (!writeTrackFiles(*reader, detector, QDir(work.path()).filePath(target.fileName()), bitrate, format, progress,
                         tags, pass, error))
        return -1;
    if (pass.status != SoundTools::StatusOk) {
        const QString reason = libraryError().replace(work.path(), targetDir.path());
        error = QStringLiteral("splitting %1 failed at track %2 (%3): %4")
                    .arg(in).arg(pass.files + 1).arg(targetDir.filePath(pass.failedTrack), reason);
        if (!moveIn(pass.finished))
            return -1;
        if (pass.files == 1)
            error += QStringLiteral("; track 1 was written");
        else if (pass.files > 1)
            error += QStringLiteral("; tracks 1 to %1 were written").arg(pass.files);
        return -1;
    }
    // Every file is complete: finish them and move them into place.
    const QStringList complete = QDir(work.path()).entryList(QDir::Files, QDir::Name);
    if (finish) {
        QStringList paths;
        for (const QString& name : complete)
            paths << QDir(work.path()).filePath(name);
        if (!finish(paths, error)) {
            error.replace(work.path(), targetDir.path());
            return -1;
        }
    }
    if (!moveIn(complete))
        return -1;
    return pass.files;
}

void applyTagOptions(const ParsedArgs& args, SoundIDTag& tags)
{
    std::string* fields[6] = {&tags.title, &tags.artist, &tags.album, &tags.year, &tags.comment, &tags.genre};
    for (int i = 0; i < 6; ++i) {
        if (args.has(QLatin1String(kTagNames[i])))
            *fields[i] = args.value(QLatin1String(kTagNames[i])).toStdString();
    }
}


namespace {

// Why the finder found no track, or only one, in words.
QString findingOf(const SoundTrackFinder& finder, const QString& fileName)
{
    const SoundTrackFinder::Settings& s = finder.settings();
    switch (finder.outcome()) {
    case SoundTrackFinder::Outcome::Silence:
        if (finder.frameCount() == 0)
            return QStringLiteral("%1 : no sound: the file holds no audio frames").arg(fileName);
        return QStringLiteral("%1 : no sound: the file holds only silence (below %2 dBFS)").arg(fileName).arg(s.silenceDb);
    case SoundTrackFinder::Outcome::NoiseOnly:
        if (finder.hasFloor())
            return QStringLiteral("%1 : no music found: nothing rises %2 dB above the noise floor at %3 dBFS")
                .arg(fileName).arg(s.minDepthDb).arg(finder.floorDb(), 0, 'f', 1);
        return QStringLiteral("%1 : no music found: the level stays steady throughout (noise or a steady tone)").arg(fileName);
    case SoundTrackFinder::Outcome::Tracks:
        if (finder.tracks().size() != 1)
            return QString();
        if (finder.hasFloor())
            return QStringLiteral("found 1 track: no gap of at least %1 s within %2 dB of the noise floor (%3 dBFS) or of silence")
                .arg(s.minGapSeconds).arg(s.floorMarginDb).arg(finder.floorDb(), 0, 'f', 1);
        return QStringLiteral("found 1 track: no gap of at least %1 s of silence (below %2 dBFS), and no noise floor to tell gaps by")
            .arg(s.minGapSeconds).arg(s.silenceDb);
    case SoundTrackFinder::Outcome::None:
        break;
    }
    return QString();
}

} // namespace

SoundRef<RMSStepDetector> detectTracks(const QString& fileName, const SplitSettings& s, bool progress, QString& error,
                              unsigned int& sampleRate, Detection* detection)
{
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return {};
    sampleRate = reader->getSampleRate();
    const QString label = QStringLiteral("detect %1").arg(QFileInfo(fileName).fileName());
    if (!s.stepDetector) {
        SoundRef<SoundTrackFinder> finder(new SoundTrackFinder(s.finder));
        {
            Progress bar(label, sampleRate, progress);
            bar.follow(finder.get());
            if (finder->processAll(*reader, nullptr) != SoundTools::StatusOk) {
                error = QStringLiteral("detection on %1 failed: %2").arg(fileName, libraryError());
                return {};
            }
        }
        warnIfCut(*reader, reader->getFrameNB(), sampleRate, fileName);
        const QString finding = findingOf(*finder, fileName);
        if (detection) {
            if (detection->wantEnvelope) {
                const std::vector<float> levels = finder->levelsDb();
                detection->envelope.stepSeconds = finder->hopSeconds();
                detection->envelope.levelsDb.assign(levels.begin(), levels.end());
            }
            detection->gaps = finder->gaps();
            detection->finding = finding;
        }
        SoundRef<RMSStepDetector> detector(finder->createStepDetector());
        if (!detector)
            error = finding.isEmpty() ? QStringLiteral("%1 : %2").arg(fileName, libraryError()) : finding;
        return detector;
    }
    SoundRef<RMSStepDetector> detector(new RMSStepDetector(s.thresholdDb, s.windowSeconds, 1.0, RMSStepDetector::NoOutput));
    Progress bar(label, sampleRate, progress);
    bar.follow(detector.get());
    if (detector->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        error = QStringLiteral("detection on %1 failed: %2").arg(fileName, libraryError());
        return {};
    }
    bar.finish();
    if (s.hasNoise)
        detector->applyNoise(s.noiseDb);
    if (s.estimateSeconds > 0)
        detector->applyNoise(detector->estimateNoise(s.estimateSeconds, -s.thresholdDb));
    if (s.splitSeconds > 0)
        detector->split(s.splitSeconds, s.minTrackSeconds, -s.thresholdDb);
    if (s.merge)
        detector->mergeRegions();
    return detector;
}

SoundRef<RMSStepDetector> joinShortTracks(SoundRef<RMSStepDetector> detector, double minSeconds, unsigned int rate,
                                          QStringList& joined)
{
    // The joins first, on the track list; then the noise regions they cross
    // become music, in one edit of the regions.
    std::vector<Track> tracks = tracksOf(*detector, rate, 0.0);
    std::vector<std::pair<long long, long long>> bridged; // stream positions [from, to)
    while (tracks.size() >= 2) {
        // The shortest track below the minimum joins the neighbour across
        // the shorter gap.
        size_t shortest = tracks.size();
        for (size_t t = 0; t < tracks.size(); ++t) {
            if (tracks[t].frames < minSeconds * rate && (shortest == tracks.size() || tracks[t].frames < tracks[shortest].frames))
                shortest = t;
        }
        if (shortest == tracks.size())
            break;
        const Track me = tracks[shortest];
        const long long gapBefore = shortest > 0 ? me.begin - (tracks[shortest - 1].begin + tracks[shortest - 1].frames) : -1;
        const long long gapAfter = shortest + 1 < tracks.size() ? tracks[shortest + 1].begin - (me.begin + me.frames) : -1;
        const bool toPrevious = gapAfter < 0 || (gapBefore >= 0 && gapBefore <= gapAfter);
        Track& other = tracks[toPrevious ? shortest - 1 : shortest + 1];
        bridged.emplace_back(toPrevious ? other.begin + other.frames : me.begin + me.frames,
                             toPrevious ? me.begin : other.begin);
        joined << QStringLiteral("the track at %1 (%2 s) joined to the one %3")
                      .arg(formatSeconds(static_cast<double>(me.begin) / rate))
                      .arg(static_cast<double>(me.frames) / rate, 0, 'f', 1)
                      .arg(toPrevious ? QStringLiteral("before") : QStringLiteral("after"));
        const long long end = std::max(other.begin + other.frames, me.begin + me.frames);
        other.begin = std::min(other.begin, me.begin);
        other.frames = end - other.begin;
        tracks.erase(tracks.begin() + static_cast<long>(shortest));
    }
    if (bridged.empty())
        return detector;
    QJsonObject object;
    detector->writeToJSon(object);
    QJsonArray regions = object.value(QStringLiteral("Regions")).toArray();
    for (auto it = regions.begin(); it != regions.end(); ++it) {
        QJsonObject r = it->toObject();
        const long long begin = r.value(QStringLiteral("BeginSample")).toInt();
        for (const auto& [from, to] : bridged) {
            if (begin >= from && begin < to)
                r.insert(QStringLiteral("IsNoise"), false);
        }
        *it = r;
    }
    object.insert(QStringLiteral("Regions"), regions);
    SoundRef<RMSStepDetector> edited(RMSStepDetector::createFromJSon(object));
    return edited ? edited : detector;
}
