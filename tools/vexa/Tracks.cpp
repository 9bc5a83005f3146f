#include "Tracks.h"

#include "CommandLine.h"
#include "Console.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <memory>

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
                              unsigned int& sampleRate)
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
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(in));
    if (!reader || reader->open(in) != SoundTools::StatusOk) {
        error = reader ? libraryError() : QStringLiteral("%1 : not a recognised audio file name").arg(in);
        return -1;
    }
    reader->rewind();

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
    int files = 0;
    SoundTools::Status status;
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
        writer.close();
        files = writer.GetWrittenFiles();
    }
    if (status != SoundTools::StatusOk) {
        error = QStringLiteral("splitting %1 failed after %2 file(s): %3").arg(in).arg(files).arg(libraryError());
        return -1;
    }
    // Every file is complete: move them into place.
    const QStringList names = QDir(work.path()).entryList(QDir::Files, QDir::Name);
    for (const QString& name : names) {
        const QString from = QDir(work.path()).filePath(name);
        const QString to = targetDir.filePath(name);
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
            error = QStringLiteral("%1 : cannot move the finished file into place").arg(to);
            return -1;
        }
        written << to;
    }
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
