#include "Analysis.h"

#include "CommandLine.h"
#include "Console.h"
#include "Tracks.h"

#include <QFileInfo>

#include <cstdio>

#include <algorithm>
#include <climits>
#include <memory>

namespace {

// The nodes of one analysis pass, and those read after it: the branches
// share the input, a select node passes it on.
struct AnalysisTree {
    SoundRef<SoundAlgoComposite> top;
    SoundRef<SoundAlgoStats> whole;
    SoundRef<RMSStepDetector> detector;
    SoundRef<SoundAlgoFFTStats> fftStats;
    SoundRef<SoundAlgoLoudness> loudness;
    SoundAlgoStats::FrequencyBuilder bandBuilder;
    std::vector<SoundRef<SoundAlgoStats>> bandStats;
};

// loudnessChannels: the file's, 1 for mono (see SoundAlgoLoudness).
void buildTree(const AnalysisSettings& settings, long long streamEnd, int loudnessChannels, AnalysisTree& t)
{
    SoundRef<SoundAlgoComposite> branches(new SoundAlgoComposite(QStringLiteral("analysis")));
    t.whole.reset(new SoundAlgoStats(SoundAlgoStats::STATS_ONLY));
    branches->pushAlgo(SoundRef<SoundAlgoStats>(t.whole).take());
    if (settings.segmentation) {
        branches->addNewBranch();
        t.detector.reset(new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput));
        branches->pushAlgo(SoundRef<RMSStepDetector>(t.detector).take());
    }
    if (settings.loudness) {
        branches->addNewBranch();
        t.loudness.reset(new SoundAlgoLoudness());
        t.loudness->setChannelCount(loudnessChannels);
        branches->pushAlgo(SoundRef<SoundAlgoLoudness>(t.loudness).take());
    }
    if (settings.fftSize > 0) {
        branches->addNewBranch();
        t.fftStats.reset(new SoundAlgoFFTStats());
        t.fftStats->setStreamEnd(streamEnd);
        // Whole frames of N samples under a Hann window: without it a tone
        // leaks into every band (-26 dB an octave away, -40 dB at 10 kHz
        // for 300 Hz); with it, below -90 dB two bands away.
        branches->pushAlgo(new SoundAlgoFFTDirectCompute(settings.fftSize, false, true));
        branches->pushAlgo(SoundRef<SoundAlgoFFTStats>(t.fftStats).take());
        branches->pushAlgo(new SoundAlgoFFTInverseCompute(true));
    } else if (!settings.splits.empty()) {
        branches->addNewBranch();
        auto* tree = new SoundAlgoComposite(QStringLiteral("bands"));
        tree->buildMultibandTree(settings.splits, t.bandBuilder, true);
        branches->pushAlgo(tree);
        for (SoundAlgoStats* s : t.bandBuilder.getStatsVector())
            t.bandStats.push_back(SoundRef<SoundAlgoStats>::shared(s));
    }
    t.top.reset(new SoundAlgoComposite(QStringLiteral("analyze")));
    const int branchCount = static_cast<int>(branches->getBranchNumber());
    t.top->pushAlgo(branches.take());
    t.top->pushAlgo(new SoundAlgoSelectChannel(0, branchCount));
}

} // namespace

int analyseFile(const QString& fileName, const AnalysisSettings& settings, Analysis& result, QString& error)
{
    const std::vector<double>& splits = settings.splits;
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return ExitFailed;
    const unsigned int rate = reader->getSampleRate();
    if (!splits.empty() && splits.back() * 2 >= rate) {
        error = QStringLiteral("%1 Hz is beyond the Nyquist frequency of %2 (%3 Hz)").arg(splits.back()).arg(fileName).arg(rate / 2.0);
        return ExitUsage;
    }
    AnalysisTree tree;
    buildTree(settings, static_cast<long long>(reader->getOffset()) + reader->getFrameNB(), loudnessChannels(*reader), tree);
    SoundTools::Status status;
    {
        Progress bar(QStringLiteral("analyse %1").arg(QFileInfo(fileName).fileName()), rate, settings.progress);
        bar.follow(tree.top.get());
        status = tree.top->processAll(*reader, nullptr);
    }
    tree.top.reset();
    if (status != SoundTools::StatusOk) {
        error = QStringLiteral("analysis of %1 failed: %2").arg(fileName, libraryError());
        return ExitFailed;
    }
    result.sampleRate = rate;
    tree.whole->getGlobalStats(result.rms, result.fullRmsDb, result.peak);
    // The file takes references of its own on what it keeps.
    if (tree.fftStats)
        result.file.setStats(splits, tree.fftStats.get(), true);
    else if (!splits.empty())
        result.file.setStats(splits, tree.bandBuilder.getStatsVector(), true);
    if (tree.detector)
        result.file.setStepDetector(tree.detector.get(), true);
    if (tree.loudness) {
        result.loudness = figuresOf(*tree.loudness);
        result.measuredLoudness = true;
        result.file.setLoudness(*tree.loudness);
    }
    return ExitOk;
}

bool renderFile(SoundReader& reader, SoundAlgo* node, const QString& in, const QString& out, const SoundIDTag& tags,
                const OutputSettings& settings, QString& error)
{
    AtomicOutput output(out);
    SoundWriter* target =
        SoundWriter::getFromFilename(output.tempName(), reader.getSampleRate(), settings.bitrate, settings.format);
    if (!target) {
        error = QStringLiteral("%1 : no writer for this file name").arg(out);
        return false;
    }
    // Encoding and writing on a thread of their own overlap the processing.
    std::unique_ptr<SoundWriterBehind> writer(new SoundWriterBehind(target));
    if (writer->open(output.tempName()) != SoundTools::StatusOk) {
        error = libraryError().replace(output.tempName(), out);
        return false;
    }
    writer->setTags(tags);

    Progress progress(QFileInfo(in).fileName(), reader.getSampleRate(), settings.progress);
    progress.follow(node);
    const unsigned int headerFrames = reader.getFrameNB();
    // The output lines up with the input and has its length, whatever the
    // chain's latency.
    const SoundTools::Status status = node->processAllAligned(reader, writer.get());
    progress.finish();
    warnIfCut(reader, headerFrames, reader.getSampleRate(), in);
    // A failure when the file is finished (a full disk) shows as a new error.
    const QString before = libraryError();
    writer->close();
    if (writer->getClippedSamples() > 0 && status == SoundTools::StatusOk) {
        std::fprintf(stderr, "vexa: warning: %s: %llu samples beyond full scale were clipped (--limit 0 keeps the peaks under it)\n",
                     qUtf8Printable(out), writer->getClippedSamples());
    }
    if (status != SoundTools::StatusOk) {
        error = QStringLiteral("processing %1 failed: %2").arg(in, libraryError().replace(output.tempName(), out));
        return false;
    }
    if (libraryError() != before || writer->hasFailed()) {
        error = libraryError().replace(output.tempName(), out);
        return false;
    }
    writer.reset();
    return output.commit(error);
}

std::vector<OptionSpec> outputOptions()
{
    return {{"format", "pcm16|pcm24|float", "sample format of WAV/FLAC/Ogg output (default pcm16)"},
            {"bitrate", "KBITS", "MP3 bit rate (default 192)"}};
}

bool checkOutputName(const QString& name, QString& error)
{
    static const QStringList kWritten = {"wav", "flac", "ogg", "mp3", "raw"};
    const QString ext = QFileInfo(name).suffix().toLower();
    if (kWritten.contains(ext))
        return true;
    error = QStringLiteral("%1 : vexa writes .wav, .flac, .ogg, .mp3 and headerless float .raw files%2")
                .arg(name, ext.isEmpty() ? QStringLiteral(" (the name has no extension)")
                                         : QStringLiteral(", not .%1").arg(ext));
    return false;
}

bool parseOutputOptions(const ParsedArgs& args, OutputSettings& settings, QString& error)
{
    if (args.has("format")) {
        const QString text = args.value("format");
        if (text == QLatin1String("pcm16"))
            settings.format = SoundTools::PCM16;
        else if (text == QLatin1String("pcm24"))
            settings.format = SoundTools::PCM24;
        else if (text == QLatin1String("float"))
            settings.format = SoundTools::Float;
        else {
            error = QStringLiteral("--format %1: expected pcm16, pcm24 or float").arg(text);
            return false;
        }
    }
    if (args.has("bitrate")) {
        double kbits = 0;
        if (!toNumber(args.value("bitrate"), kbits) || kbits < 8 || kbits > 320) {
            error = QStringLiteral("--bitrate %1: expected a bit rate in kbit/s (8 to 320)").arg(args.value("bitrate"));
            return false;
        }
        settings.bitrate = static_cast<unsigned int>(kbits);
    }
    return true;
}
