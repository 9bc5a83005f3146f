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

std::unique_ptr<SoundReader> openReader(const QString& fileName, QString& error)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(fileName));
    if (!reader) {
        error = QStringLiteral("%1 : not a recognised audio file name").arg(fileName);
        return nullptr;
    }
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

RMSStepDetector* detectTracks(const QString& fileName, const SplitSettings& s, bool progress, QString& error,
                              unsigned int& sampleRate, LevelEnvelope* envelope)
{
    if (!s.stepDetector)
        return findGapTracks(fileName, progress, error, sampleRate, envelope);
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return nullptr;
    sampleRate = reader->getSampleRate();
    auto* detector = new RMSStepDetector(s.thresholdDb, s.windowSeconds, 1.0, RMSStepDetector::NoOutput);
    Progress bar(QStringLiteral("detect %1").arg(QFileInfo(fileName).fileName()), sampleRate, progress);
    bar.follow(detector);
    if (detector->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        error = QStringLiteral("detection on %1 failed: %2").arg(fileName, libraryError());
        detector->release();
        return nullptr;
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

int writeTracks(const QString& in, const QString& nameTemplate, RMSStepDetector* detector, const SplitSettings& s,
                unsigned int bitrate, SoundTools::SoundFormat format, bool progress, const SoundIDTag* tags,
                QStringList& written, QString& error)
{
    std::unique_ptr<SoundReader> reader = openReader(in, error);
    if (!reader)
        return -1;

    const QFileInfo target(nameTemplate);
    QDir targetDir = target.dir();
    if (!targetDir.exists()) {
        error = QStringLiteral("%1 : no such directory").arg(targetDir.path());
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
    int files = 0;
    SoundTools::Status status;
    QStringList finished;
    QString failedTrack;
    {
        SoundWriterMultiFile writer(detector, s.minTrackSeconds, reader->getSampleRate(), 2, bitrate, format);
        if (writer.open(QDir(work.path()).filePath(target.fileName())) != SoundTools::StatusOk) {
            error = libraryError();
            return -1;
        }
        if (tags)
            writer.setTags(*tags);
        auto* pass = new SoundAlgoBypass();
        Progress bar(QStringLiteral("write %1").arg(target.fileName()), reader->getSampleRate(), progress);
        bar.follow(pass);
        status = pass->processAll(*reader, &writer);
        pass->release();
        bar.finish();
        // The tracks closed before a failure are complete; the one being
        // written when it came is not.
        files = writer.GetWrittenFiles();
        for (int n = 1; n <= files; ++n)
            finished << QFileInfo(writer.trackFileName(n)).fileName();
        failedTrack = QFileInfo(writer.trackFileName(files + 1)).fileName();
        const QString before = libraryError();
        writer.close();
        // Closing the last file can fail too (a full disk when it is flushed).
        if (status == SoundTools::StatusOk && libraryError() != before)
            status = SoundTools::StatusError;
        if (status == SoundTools::StatusOk)
            files = writer.GetWrittenFiles();
    }
    if (status != SoundTools::StatusOk) {
        const QString reason = libraryError().replace(work.path(), targetDir.path());
        error = QStringLiteral("splitting %1 failed at track %2 (%3): %4").arg(in).arg(files + 1).arg(targetDir.filePath(failedTrack), reason);
        if (!moveIn(finished))
            return -1;
        if (files == 1)
            error += QStringLiteral("; track 1 was written");
        else if (files > 1)
            error += QStringLiteral("; tracks 1 to %1 were written").arg(files);
        return -1;
    }
    // Every file is complete: move them into place.
    if (!moveIn(QDir(work.path()).entryList(QDir::Files, QDir::Name)))
        return -1;
    return files;
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

// Collects the mean square of both channels over consecutive 10 ms hops.
class EnvelopeNode : public SoundAlgo {
public:
    explicit EnvelopeNode(unsigned int hopFrames) : mHop(hopFrames) {}

    SoundTools::Status process() override
    {
        const unsigned int n = getOutFrameNb();
        const SoundTools::StereoFrame<double>* in = mInBuffers[0]->getStereoFrame(getInOrigin());
        for (unsigned int i = 0; i < n; ++i) {
            mSum += 0.5 * (in[i].left * in[i].left + in[i].right * in[i].right);
            if (++mCount == mHop) {
                envelope.push_back(mSum / mHop);
                mSum = 0.0;
                mCount = 0;
            }
        }
        return SoundTools::StatusOk;
    }

    std::vector<double> envelope;

private:
    unsigned int mHop;
    double mSum = 0.0;
    unsigned int mCount = 0;
};

double toDb(double meanSquare)
{
    return 10.0 * std::log10(meanSquare + 1e-20);
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -200.0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

struct Span {
    long long begin; // hops
    long long end;   // hops, exclusive
};

} // namespace

RMSStepDetector* findGapTracks(const QString& fileName, bool progress, QString& error, unsigned int& sampleRate,
                               LevelEnvelope* envelope)
{
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return nullptr;
    sampleRate = reader->getSampleRate();
    const unsigned int hop = std::max(1u, static_cast<unsigned int>(std::lround(sampleRate * 0.01)));
    auto* node = new EnvelopeNode(hop);
    std::unique_ptr<EnvelopeNode, void (*)(EnvelopeNode*)> nodeOwner(node, [](EnvelopeNode* e) { e->release(); });
    {
        Progress bar(QStringLiteral("analyse %1").arg(QFileInfo(fileName).fileName()), sampleRate, progress);
        bar.follow(node);
        if (node->processAll(*reader, nullptr) != SoundTools::StatusOk) {
            error = QStringLiteral("analysis of %1 failed: %2").arg(fileName, libraryError());
            return nullptr;
        }
    }
    const std::vector<double>& e = node->envelope;
    const long long hops = static_cast<long long>(e.size());

    // Level in dB over 50 ms, centred on each hop.
    std::vector<double> level(e.size());
    for (long long k = 0; k < hops; ++k) {
        double sum = 0.0;
        int count = 0;
        for (long long j = std::max(0LL, k - 2); j <= std::min(hops - 1, k + 2); ++j, ++count)
            sum += e[static_cast<size_t>(j)];
        level[static_cast<size_t>(k)] = toDb(sum / std::max(count, 1));
    }
    if (envelope) {
        envelope->stepSeconds = static_cast<double>(hop) / sampleRate;
        envelope->levelsDb = level;
    }
    std::vector<double> sorted(level);
    std::sort(sorted.begin(), sorted.end());
    const double floorDb = sorted.empty() ? -200.0 : sorted[sorted.size() / 200];
    const double quiet = floorDb + 6.0;

    // Quiet runs: gaps when long enough, lead-in and lead-out always.
    std::vector<Span> gaps;
    const long long minGap = 100; // 1 s of hops
    for (long long k = 0; k < hops;) {
        if (level[static_cast<size_t>(k)] >= quiet) {
            ++k;
            continue;
        }
        long long end = k;
        while (end < hops && level[static_cast<size_t>(end)] < quiet)
            ++end;
        if (end - k >= minGap || k == 0 || end == hops)
            gaps.push_back({k, end});
        k = end;
    }
    // Tracks between the gaps; a gap that is not well below the music on
    // both sides is a quiet passage, not a gap.
    std::vector<Span> tracks;
    long long start = gaps.empty() || gaps.front().begin > 0 ? 0 : gaps.front().end;
    for (size_t g = 0; g <= gaps.size(); ++g) {
        const long long end = g < gaps.size() ? gaps[g].begin : hops;
        if (end <= start) {
            if (g < gaps.size())
                start = std::max(start, gaps[g].end);
            continue;
        }
        tracks.push_back({start, end});
        if (g < gaps.size())
            start = gaps[g].end;
    }
    const auto trackLevel = [&](const Span& t) {
        return median(std::vector<double>(level.begin() + t.begin, level.begin() + t.end));
    };
    std::vector<Span> merged;
    for (const Span& t : tracks) {
        if (!merged.empty()) {
            const double gapLevel = median(std::vector<double>(level.begin() + merged.back().end, level.begin() + t.begin));
            if (std::min(trackLevel(merged.back()), trackLevel(t)) - gapLevel < 20.0) {
                merged.back().end = t.end;
                continue;
            }
        }
        merged.push_back(t);
    }

    // Fade-outs. A fade is a straight line in dB from the track's level down
    // to 60 dB below it; the noise hides its last part. The line is found
    // from where the level (averaged over 1 s) last stood within 6 dB of the
    // track's level and where it went quiet; the track then ends where the
    // line reaches 60 dB below the track's level (at the next track's start
    // at the latest). An end that goes quiet within a second is abrupt (the
    // 1 s average itself ramps over half a second there) and is kept.
    std::vector<double> smooth(level.size());
    for (long long k = 0; k < hops; ++k) {
        const long long from = std::max(0LL, k - 50);
        const long long to = std::min(hops, k + 51);
        double sum = 0.0;
        for (long long j = from; j < to; ++j)
            sum += level[static_cast<size_t>(j)];
        smooth[static_cast<size_t>(k)] = sum / static_cast<double>(to - from);
    }
    for (size_t i = 0; i < merged.size(); ++i) {
        Span& t = merged[i];
        if (t.end - t.begin < 1000)
            continue;
        const double trackDb = trackLevel({t.begin, t.end - 500});
        long long near = t.end - 1;
        while (near > t.begin && smooth[static_cast<size_t>(near)] < trackDb - 6.0)
            --near;
        const double fallHops = static_cast<double>(t.end - near);
        if (fallHops < 100 || fallHops > 3000)
            continue;
        const double slope = (trackDb - 6.0 - quiet) / fallHops; // dB per hop
        if (slope < 0.01 || slope > 1.0)
            continue;
        const double fadeStart = static_cast<double>(near) - 6.0 / slope;
        const long long fadeEnd = std::llround(fadeStart + 60.0 / slope);
        const long long limit = i + 1 < merged.size() ? merged[i + 1].begin : hops;
        t.end = std::max(t.end, std::min(fadeEnd, limit));
    }

    // Regions for the per-track writer: noise, track, noise, ...
    QJsonArray regions;
    const auto addRegion = [&](long long from, long long to, bool noise) {
        if (to <= from)
            return;
        double sum = 0.0;
        for (long long k = from; k < to; ++k)
            sum += e[static_cast<size_t>(k)];
        const double meanSquare = sum / static_cast<double>(to - from);
        regions.append(QJsonObject{{"BeginSample", static_cast<int>(from * hop)},
                                   {"SampleNb", static_cast<int>((to - from) * hop)},
                                   {"RMSSqrValue0", meanSquare},
                                   {"RMSSqrValue1", meanSquare},
                                   {"MeanSmpl", static_cast<int>(to - from)},
                                   {"IsNoise", noise}});
    };
    long long at = 0;
    for (const Span& t : merged) {
        addRegion(at, t.begin, true);
        addRegion(t.begin, t.end, false);
        at = t.end;
    }
    addRegion(at, hops, true);
    QJsonObject object{{"Class", "RMSStepDetector"}, {"NoiseThreshold", floorDb + 6.0}, {"RMSTime", 0.05},
                       {"MinSlopeTime", 1.0},        {"OutputMode", 2},                {"RealTimeMode", false},
                       {"SampleRate", static_cast<int>(sampleRate)}, {"Regions", regions}};
    RMSStepDetector* detector = RMSStepDetector::createFromJSon(object);
    if (!detector)
        error = QStringLiteral("%1 : %2").arg(fileName, libraryError());
    return detector;
}
