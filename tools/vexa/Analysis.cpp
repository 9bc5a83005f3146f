#include "Analysis.h"

#include "CommandLine.h"
#include "Console.h"
#include "Tracks.h"

#include <QFileInfo>

#include <cstdio>

#include <algorithm>
#include <climits>
#include <memory>

int analyseFile(const QString& fileName, const AnalysisSettings& settings, Analysis& result, QString& error)
{
    const std::vector<double>& splits = settings.splits;
    const unsigned int fftSize = settings.fftSize;
    std::unique_ptr<SoundReader> reader = openReader(fileName, error);
    if (!reader)
        return ExitFailed;
    const unsigned int rate = reader->getSampleRate();
    if (!splits.empty() && splits.back() * 2 >= rate) {
        error = QStringLiteral("%1 Hz is beyond the Nyquist frequency of %2 (%3 Hz)").arg(splits.back()).arg(fileName).arg(rate / 2.0);
        return ExitUsage;
    }

    // One pass: the branches share the input, a select node passes it on.
    auto* branches = new SoundAlgoComposite(QStringLiteral("analysis"));
    auto* whole = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY);
    branches->pushAlgo(whole);
    whole->addRef(); // read after the run
    RMSStepDetector* detector = nullptr;
    if (settings.segmentation) {
        branches->addNewBranch();
        detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput);
        branches->pushAlgo(detector);
        detector->addRef();
    }
    SoundAlgoStats::FrequencyBuilder bandBuilder;
    SoundAlgoFFTStats* fftStats = nullptr;
    if (fftSize > 0) {
        branches->addNewBranch();
        fftStats = new SoundAlgoFFTStats();
        fftStats->setStreamEnd(static_cast<long long>(reader->getOffset()) + reader->getFrameNB());
        // Whole frames of N samples under a Hann window: without it a tone
        // leaks into every band (-26 dB an octave away, -40 dB at 10 kHz
        // for 300 Hz); with it, below -90 dB two bands away.
        branches->pushAlgo(new SoundAlgoFFTDirectCompute(fftSize, false, true));
        branches->pushAlgo(fftStats);
        branches->pushAlgo(new SoundAlgoFFTInverseCompute(true));
        fftStats->addRef();
    } else if (!splits.empty()) {
        branches->addNewBranch();
        auto* tree = new SoundAlgoComposite(QStringLiteral("bands"));
        tree->buildMultibandTree(splits, bandBuilder, true);
        branches->pushAlgo(tree);
        for (SoundAlgoStats* s : bandBuilder.getStatsVector())
            s->addRef();
    }
    auto* top = new SoundAlgoComposite(QStringLiteral("analyze"));
    top->pushAlgo(branches);
    top->pushAlgo(new SoundAlgoSelectChannel(0, static_cast<int>(branches->getBranchNumber())));

    SoundTools::Status status;
    {
        Progress bar(QStringLiteral("analyse %1").arg(QFileInfo(fileName).fileName()), rate, settings.progress);
        bar.follow(top);
        status = top->processAll(*reader, nullptr);
    }
    top->release();
    if (status == SoundTools::StatusOk) {
        result.sampleRate = rate;
        whole->getGlobalStats(result.rms, result.fullRmsDb, result.peak);
        // The file takes references of its own on what it keeps.
        if (fftStats)
            result.file.setStats(splits, fftStats, true);
        else if (!splits.empty())
            result.file.setStats(splits, bandBuilder.getStatsVector(), true);
        if (detector)
            result.file.setStepDetector(detector, true);
    } else {
        error = QStringLiteral("analysis of %1 failed: %2").arg(fileName, libraryError());
    }
    whole->release();
    if (detector)
        detector->release();
    if (fftStats)
        fftStats->release();
    for (SoundAlgoStats* s : bandBuilder.getStatsVector())
        s->release();
    return status == SoundTools::StatusOk ? ExitOk : ExitFailed;
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

std::vector<OptionSpec> withOutputOptions(std::vector<OptionSpec> specs)
{
    specs.insert(specs.end() - 1, {"format", "pcm16|pcm24|float", "sample format of WAV/FLAC/Ogg output (default pcm16)"});
    specs.insert(specs.end() - 1, {"bitrate", "KBITS", "MP3 bit rate (default 192)"});
    return specs;
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
