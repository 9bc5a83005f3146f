// vexa analyze IN: levels over the whole file and per frequency band, the
// track segmentation, and (with --fft) FFT band statistics, in one run;
// stored next to the input as a statistics file (".ssf").
#include "AnalyzeCommand.h"

#include "Analysis.h"
#include "Batch.h"
#include "Commands.h"
#include "Console.h"
#include "Loudness.h"
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

namespace {

double rounded(double v)
{
    return std::round(v * 100) / 100;
}

double bandLow(const AnalyzeResult& r, size_t b)
{
    return b == 0 ? 0.0 : r.splits[b - 1];
}

double bandHigh(const AnalyzeResult& r, size_t b)
{
    return b < r.splits.size() ? r.splits[b] : r.sampleRate / 2.0;
}

} // namespace

QByteArray analyzeJson(const AnalyzeResult& r)
{
    QJsonArray bands;
    for (size_t b = 0; b < r.relativeDb.size(); ++b)
        bands.append(QJsonObject{{"low_hz", bandLow(r, b)}, {"high_hz", bandHigh(r, b)}, {"relative_db", rounded(r.relativeDb[b])}});
    QJsonObject o{{"file", r.file},
                  {"statistics_file", r.statisticsFile},
                  {"rms_db", rounded(r.rmsDb)},
                  {"rms_left_db", rounded(r.rmsLeftDb)},
                  {"rms_right_db", rounded(r.rmsRightDb)},
                  {"peak_left_db", rounded(r.peakLeftDb)},
                  {"peak_right_db", rounded(r.peakRightDb)},
                  {"bands", bands},
                  {"regions", r.regions},
                  {"tracks", r.longTracks}};
    if (r.measuredLoudness) {
        o.insert("loudness_lufs", levelJson(r.loudnessLufs));
        o.insert("loudness_range_lu", rounded(r.loudnessRangeLu));
        o.insert("true_peak_dbtp", levelJson(r.truePeakDbtp));
    }
    return QJsonDocument(o).toJson();
}

QByteArray analyzeText(const AnalyzeResult& r)
{
    QByteArray text = strf("%s\n", qUtf8Printable(r.file));
    text += strf("  RMS            %7.2f dB (left %.2f, right %.2f)\n", r.rmsDb, r.rmsLeftDb, r.rmsRightDb);
    text += strf("  peak           left %.2f dB, right %.2f dB\n", r.peakLeftDb, r.peakRightDb);
    if (r.measuredLoudness) {
        if (std::isfinite(r.loudnessLufs))
            text += strf("  loudness       %7.2f LUFS (range %.2f LU)\n", r.loudnessLufs, r.loudnessRangeLu);
        else
            text += "  loudness          -inf LUFS, " + r.loudnessMissing.toUtf8() + "\n";
        text += "  true peak      " + levelText(r.truePeakDbtp).rightJustified(7) + " dBTP\n";
    }
    if (!r.relativeDb.empty())
        text += "  bands (relative to the loudest):\n";
    for (size_t b = 0; b < r.relativeDb.size(); ++b)
        text += strf("    %6.0f - %6.0f Hz  %7.2f dB\n", bandLow(r, b), bandHigh(r, b), r.relativeDb[b]);
    text += strf("  regions        %d (%d of at least 30 s without noise)\n", r.regions, r.longTracks);
    text += strf("  written        %s\n", qUtf8Printable(r.statisticsFile));
    return text;
}

const Command& analyzeCommand();

namespace {

// The band splits from --bands and the FFT size from --fft; ExitOk or
// ExitUsage with `error` set.
int readBands(const ParsedArgs& args, std::vector<double>& freqs, double& fftSize, QString& error)
{
    freqs = SoundStatReference::getDefaultFrequencies();
    if (args.value("bands") == QLatin1String("none")) {
        freqs.clear();
        if (args.has("fft")) {
            error = QStringLiteral("--bands none and --fft exclude each other");
            return ExitUsage;
        }
    } else if (args.has("bands")) {
        if (!toNumbers(args.value("bands"), freqs, 1, 32, QChar(',')) || !std::is_sorted(freqs.begin(), freqs.end())
            || freqs.front() <= 0 || std::adjacent_find(freqs.begin(), freqs.end()) != freqs.end()) {
            error = QStringLiteral("--bands %1: expected ascending frequencies, F1,F2,...").arg(args.value("bands"));
            return ExitUsage;
        }
    }
    fftSize = 0;
    if (args.has("fft") && (!toNumber(args.value("fft"), fftSize) || fftSize < 64 || fftSize > 65536)) {
        error = QStringLiteral("--fft %1: expected a size from 64 to 65536").arg(args.value("fft"));
        return ExitUsage;
    }
    return ExitOk;
}

// The statistics file next to IN, written under a temporary name.
bool writeStatistics(SoundStatFile& file, const QString& in, QString& target, QString& error)
{
    const QFileInfo info(in);
    target = info.dir().filePath(info.completeBaseName() + QStringLiteral(".ssf"));
    AtomicOutput output(target);
    if (!file.writeJSonFile(output.tempName())) {
        error = QStringLiteral("%1 : %2").arg(target, libraryError().replace(output.tempName(), target));
        return false;
    }
    return output.commit(error);
}

AnalyzeResult resultOf(const QString& in, const Analysis& analysis, const std::vector<double>& freqs,
                       const QString& target)
{
    AnalyzeResult r;
    r.file = in;
    r.statisticsFile = target;
    r.rmsDb = analysis.fullRmsDb;
    r.rmsLeftDb = analysis.rms.left;
    r.rmsRightDb = analysis.rms.right;
    r.peakLeftDb = analysis.peak.left;
    r.peakRightDb = analysis.peak.right;
    r.measuredLoudness = analysis.measuredLoudness;
    r.loudnessMissing = analysis.loudness.missingReason();
    r.loudnessLufs = analysis.loudness.integratedLufs;
    r.loudnessRangeLu = analysis.loudness.rangeLu;
    r.truePeakDbtp = analysis.loudness.truePeakDbtp;
    r.splits = freqs;
    r.sampleRate = analysis.sampleRate;
    r.relativeDb = analysis.file.getRelativeLevels();
    const RMSStepDetector& detector = *analysis.file.getStepDetector();
    r.regions = detector.size();
    r.longTracks = static_cast<int>(tracksOf(detector, analysis.sampleRate, 30.0).size());
    return r;
}

// Several files: one line each (one JSON line with --json).
int analyzeEach(const ParsedArgs& args, int jobs)
{
    if (args.has("plot"))
        return fail(QStringLiteral("--plot takes one input file"), ExitUsage);
    const QStringList options = optionArguments(args, commandOptions(analyzeCommand()), {"jobs", "quiet"});
    return runBatch(args.positional, [&](const QString& input) {
        return QStringList{"analyze", input} + options + QStringList{"--quiet"};
    }, jobs, args.has("json"));
}

int runAnalyze(const ParsedArgs& args)
{
    QString error;
    int jobs = 0;
    if (!batchJobs(args, jobs, error))
        return fail(error, ExitUsage);
    if (args.positional.isEmpty())
        return fail(QStringLiteral("analyze needs a file (see vexa analyze --help)"), ExitUsage);
    if (args.positional.size() > 1)
        return analyzeEach(args, jobs);
    const QString in = args.positional[0];
    std::vector<double> freqs;
    double fftSize = 0;
    if (readBands(args, freqs, fftSize, error) != ExitOk)
        return fail(error, ExitUsage);

    Analysis analysis;
    AnalysisSettings settings;
    settings.splits = freqs;
    settings.fftSize = static_cast<unsigned int>(fftSize);
    settings.progress = !args.has("quiet");
    settings.loudness = !args.has("no-loudness");
    const int code = analyseFile(in, settings, analysis, error);
    if (code != ExitOk)
        return fail(error, code);
    QString target;
    if (!writeStatistics(analysis.file, in, target, error))
        return fail(error);
    const AnalyzeResult result = resultOf(in, analysis, freqs, target);
    if (args.has("plot") && !result.relativeDb.empty()
        && !writeText(args.value("plot"), bandPlot(freqs, result.relativeDb, result.sampleRate, QFileInfo(in).fileName()), error))
        return fail(error);
    printOut(args.has("json") ? analyzeJson(result) : analyzeText(result));
    return ExitOk;
}

} // namespace

const Command& analyzeCommand()
{
    static const Command command{
        "analyze", "analyze IN", "levels, loudness, band levels and segmentation, kept in IN.ssf",
        "vexa analyze IN... [--bands F1,F2,...] [--fft N] [--json] [--plot FILE.svg] [--jobs N]",
        "Measures IN in one pass: RMS and peak levels, the loudness (EBU R128 integrated loudness in LUFS,\n"
        "loudness range in LU, true peak in dBTP), the level of each frequency band (a tree of band splits,\n"
        "or FFT statistics with --fft), and its segmentation into regions of steady level. Writes them next to\n"
        "IN as a statistics file (IN with the extension .ssf) and prints the levels. Silence has no loudness:\n"
        "-inf in the text, null in the JSON.",
        joinOptions({{
            {"bands", "F1,F2,...", "crossover frequencies of the bands (default 250,500,1000,2000,3000,4000,6000,8000,10000), "
                                   "or none for the whole-file levels only"},
            {"fft", "N", "band levels from N-point FFT statistics (band powers) instead of a filter bank (whose bands overlap)"},
            {"json", nullptr, "print the results as JSON on standard output"},
            {"no-loudness", nullptr, "no loudness and true peak (they take most of the time of an analysis)"},
            {"plot", "FILE.svg", "draw the band levels"},
            {"quiet", nullptr, "no progress bar"},
        }, batchOptions(false)}),
        "show this help",
        "  vexa analyze side_a.flac\n  vexa analyze take.wav --bands 100,1000,10000 --json\n  vexa analyze take.wav --fft 8192\n"
        "  vexa analyze side_a.flac --plot side_a-bands.svg\n",
        runAnalyze,
    };
    return command;
}
