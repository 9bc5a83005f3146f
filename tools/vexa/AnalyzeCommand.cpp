// vexa analyze IN: levels over the whole file and per frequency band, the
// track segmentation, and (with --fft) FFT band statistics, in one run;
// stored next to the input as a statistics file (".ssf").
#include "Analysis.h"
#include "Batch.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "Plot.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

const std::vector<OptionSpec> kOptions = withBatchOptions({
    {"bands", "F1,F2,...", "crossover frequencies of the bands (default 250,500,1000,2000,3000,4000,6000,8000,10000), "
                           "or none for the whole-file levels only"},
    {"fft", "N", "band levels from N-point FFT statistics (band powers) instead of a filter bank (whose bands overlap)"},
    {"json", nullptr, "print the results as JSON on standard output"},
    {"plot", "FILE.svg", "draw the band levels"},
    {"quiet", nullptr, "no progress bar"},
    {"help", nullptr, "show this help"},
}, false);

} // namespace

int runAnalyze(int argc, char** argv)
{
    ParsedArgs args;
    const int early = startCommand(
        argc, argv, "analyze", kOptions, "vexa analyze IN... [--bands F1,F2,...] [--fft N] [--json] [--plot FILE.svg] [--jobs N]",
        "Measures IN in one pass: RMS and peak levels, the level of each frequency band (a tree of band splits,\n"
        "or FFT statistics with --fft), and its segmentation into regions of steady level. Writes them next to\n"
        "IN as a statistics file (IN with the extension .ssf) and prints the levels.",
        "  vexa analyze side_a.flac\n  vexa analyze take.wav --bands 100,1000,10000 --json\n  vexa analyze take.wav --fft 8192\n  vexa analyze side_a.flac --plot side_a-bands.svg\n",
        args);
    if (early >= 0)
        return early;
    QString error;
    int jobs = 0;
    if (!batchJobs(args, jobs, error))
        return fail(error, ExitUsage);
    if (args.positional.isEmpty())
        return fail(QStringLiteral("analyze needs a file (see vexa analyze --help)"), ExitUsage);
    if (args.positional.size() > 1) {
        // Several files: one line each (one JSON line with --json).
        if (args.has("plot"))
            return fail(QStringLiteral("--plot takes one input file"), ExitUsage);
        const QStringList options = optionArguments(args, kOptions, {"jobs", "quiet"});
        return runBatch(args.positional, [&](const QString& input) {
            return QStringList{"analyze", input} + options + QStringList{"--quiet"};
        }, jobs, args.has("json"));
    }
    const QString in = args.positional[0];

    std::vector<double> freqs = SoundStatReference::getDefaultFrequencies();
    if (args.value("bands") == QLatin1String("none")) {
        freqs.clear();
        if (args.has("fft"))
            return fail(QStringLiteral("--bands none and --fft exclude each other"), ExitUsage);
    } else if (args.has("bands")) {
        if (!toNumbers(args.value("bands"), freqs, 1, 32, QChar(',')) || !std::is_sorted(freqs.begin(), freqs.end())
            || freqs.front() <= 0 || std::adjacent_find(freqs.begin(), freqs.end()) != freqs.end())
            return fail(QStringLiteral("--bands %1: expected ascending frequencies, F1,F2,...").arg(args.value("bands")),
                        ExitUsage);
    }
    double fftSize = 0;
    if (args.has("fft") && (!toNumber(args.value("fft"), fftSize) || fftSize < 64 || fftSize > 65536))
        return fail(QStringLiteral("--fft %1: expected a size from 64 to 65536").arg(args.value("fft")), ExitUsage);

    Analysis analysis;
    AnalysisSettings settings;
    settings.splits = freqs;
    settings.fftSize = static_cast<unsigned int>(fftSize);
    settings.progress = !args.has("quiet");
    const int code = analyseFile(in, settings, analysis, error);
    if (code != ExitOk)
        return fail(error, code);
    const unsigned int rate = analysis.sampleRate;
    SoundStatFile& file = analysis.file;
    const QFileInfo info(in);
    const QString target = info.dir().filePath(info.completeBaseName() + QStringLiteral(".ssf"));
    AtomicOutput output(target);
    if (!file.writeJSonFile(output.tempName()))
        return fail(QStringLiteral("%1 : %2").arg(target, libraryError().replace(output.tempName(), target)));
    if (!output.commit(error))
        return fail(error);

    const SoundTools::StereoFrame<double>& rms = analysis.rms;
    const SoundTools::StereoFrame<double>& peak = analysis.peak;
    const double full = analysis.fullRmsDb;
    const RMSStepDetector& detector = *file.getStepDetector();
    const std::vector<double> relative = file.getRelativeLevels();
    const std::vector<Track> tracks = tracksOf(detector, rate, 30.0);
    if (args.has("plot") && !relative.empty() &&
        !writeText(args.value("plot"), bandPlot(freqs, relative, rate, QFileInfo(in).fileName()), error))
        return fail(error);

    if (args.has("json")) {
        QJsonArray bands;
        for (size_t b = 0; b < relative.size(); ++b) {
            const double low = b == 0 ? 0.0 : freqs[b - 1];
            const double high = b < freqs.size() ? freqs[b] : rate / 2.0;
            bands.append(QJsonObject{{"low_hz", low}, {"high_hz", high}, {"relative_db", std::round(relative[b] * 100) / 100}});
        }
        const QJsonObject o{{"file", in},
                            {"statistics_file", target},
                            {"rms_db", std::round(full * 100) / 100},
                            {"rms_left_db", std::round(rms.left * 100) / 100},
                            {"rms_right_db", std::round(rms.right * 100) / 100},
                            {"peak_left_db", std::round(peak.left * 100) / 100},
                            {"peak_right_db", std::round(peak.right * 100) / 100},
                            {"bands", bands},
                            {"regions", detector.size()},
                            {"tracks", static_cast<int>(tracks.size())}};
        std::printf("%s", QJsonDocument(o).toJson().constData());
    } else {
        std::printf("%s\n", qUtf8Printable(in));
        std::printf("  RMS            %7.2f dB (left %.2f, right %.2f)\n", full, rms.left, rms.right);
        std::printf("  peak           left %.2f dB, right %.2f dB\n", peak.left, peak.right);
        if (!relative.empty())
            std::printf("  bands (relative to the loudest):\n");
        for (size_t b = 0; b < relative.size(); ++b) {
            const double low = b == 0 ? 0.0 : freqs[b - 1];
            const double high = b < freqs.size() ? freqs[b] : rate / 2.0;
            std::printf("    %6.0f - %6.0f Hz  %7.2f dB\n", low, high, relative[b]);
        }
        std::printf("  regions        %d (%zu of at least 30 s without noise)\n", detector.size(), tracks.size());
        std::printf("  written        %s\n", qUtf8Printable(target));
    }
    return ExitOk;
}
