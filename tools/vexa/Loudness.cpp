#include "Loudness.h"

#include "Console.h"
#include "Tracks.h"

#include <QFileInfo>

#include <cmath>

bool LoudnessFigures::hasLoudness() const
{
    return std::isfinite(integratedLufs);
}

LoudnessFigures figuresOf(const SoundAlgoLoudness& node)
{
    LoudnessFigures f;
    f.integratedLufs = node.getIntegratedLoudness();
    f.rangeLu = node.getLoudnessRange();
    f.truePeakDbtp = node.getTruePeakDb();
    f.truePeak = node.getTruePeak();
    f.samplePeakDbfs = node.getSamplePeakDb();
    f.tooShort = static_cast<double>(node.getFrameCount()) < 0.4 * node.getSampleRate();
    return f;
}

QString LoudnessFigures::missingReason() const
{
    if (tooShort)
        return QStringLiteral("too short (a loudness measure needs at least 0.4 s)");
    return QStringLiteral("silent (nothing above the -70 LUFS gate)");
}

int loudnessChannels(SoundReader& reader)
{
    SoundReader* source = &reader;
    if (auto* ahead = dynamic_cast<SoundReaderAhead*>(source))
        source = ahead->getSource();
    unsigned int channels = 2;
    if (auto* sndfile = dynamic_cast<SoundReaderSndfile*>(source))
        channels = sndfile->getChannelNum();
    else if (auto* mp3 = dynamic_cast<SoundReaderMp3*>(source))
        channels = mp3->getChannelNum();
    return channels == 1 ? 1 : 2;
}

SoundRef<SoundAlgoLoudness> measureFile(const QString& fileName, bool progress, QString& error)
{
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return {};
    SoundRef<SoundAlgoLoudness> node(new SoundAlgoLoudness());
    node->setChannelCount(loudnessChannels(*reader));
    Progress bar(QStringLiteral("measure %1").arg(QFileInfo(fileName).fileName()), reader->getSampleRate(), progress);
    bar.follow(node.get());
    if (node->processAll(*reader, nullptr) != SoundTools::StatusOk) {
        error = QStringLiteral("measuring the loudness of %1 failed: %2").arg(fileName, libraryError());
        return {};
    }
    bar.finish();
    warnIfCut(*reader, reader->getFrameNB(), reader->getSampleRate(), fileName);
    return node;
}

QByteArray levelText(double value)
{
    return std::isfinite(value) ? strf("%.2f", value) : QByteArray("-inf");
}

QJsonValue levelJson(double value)
{
    return std::isfinite(value) ? QJsonValue(std::round(value * 100) / 100) : QJsonValue(QJsonValue::Null);
}
