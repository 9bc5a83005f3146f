// vexa process IN OUT [options]: one pass of a processing chain built from
// the options, in the order given.
#include "Analysis.h"
#include "Batch.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

const std::vector<OptionSpec> kOptions = withBatchOptions(withOutputOptions(withTagOptions({
    {"gain", "DB", "fixed gain in dB"},
    {"eq", "FREQ:GAIN[:WIDTH]", "peaking band (width in octaves, default 1); repeatable"},
    {"low-shelf", "FREQ:GAIN", "low shelf"},
    {"high-shelf", "FREQ:GAIN", "high shelf"},
    {"low-pass", "FREQ", "second-order low pass (Butterworth)"},
    {"high-pass", "FREQ", "second-order high pass (Butterworth)"},
    {"a-weight", nullptr, "A-weighting filter (IEC 61672)"},
    {"preset", "NAME", "the player's equalizer preset, offline (an unknown name lists them)"},
    {"fir-low-pass", "FREQ", "linear-phase FIR low pass (equiripple: 60 dB down a tenth of FREQ, at least 50 Hz, above it)"},
    {"fir-high-pass", "FREQ", "linear-phase FIR high pass"},
    {"fir-band-pass", "F1:F2", "linear-phase FIR band pass"},
    {"fft-low-pass", "FREQ", "linear-phase low pass run by FFT (the same design, 8192-point or larger)"},
    {"fft-high-pass", "FREQ", "linear-phase high pass run by FFT"},
    {"fft-band-pass", "F1:F2", "linear-phase band pass run by FFT"},
    {"transition", "HZ", "transition width of the FIR and FFT filters (default a tenth of the edge, at least 50 Hz)"},
    {"attenuation", "DB", "stop-band attenuation of the FIR and FFT filters (default 60)"},
    {"gate", "DB", "noise gate: silence what stays below DB (10 ms window, 200 ms fade)"},
    {"limit", "DB", "look-ahead limiter: DB of gain, peaks held below 0.98 (10 ms look-ahead)"},
    {"level", "DB", "level each part of the recording to DB RMS (a detection pass runs first)"},
    {"multiband", "F1,F2,...", "with --level: level each band between these crossovers separately"},
    {"start", "SECONDS", "start reading at this time"},
    {"quiet", nullptr, "no progress bar"},
    {"help", nullptr, "show this help (tags not given are copied from the input)"},
})), true);

// The player's equalizer, used only for its bands and presets.
class PresetTable : public SoundPlayer {
public:
    PresetTable() : SoundPlayer(nullptr, nullptr, true) {}
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}
};

// Bandwidth in octaves of a second-order Butterworth section (Q = 1/sqrt 2).
constexpr double kButterworthOctaves = 1.8999686269529916;

} // namespace

int runProcess(int argc, char** argv)
{
    ParsedArgs args;
    const int early = startCommand(
        argc, argv, "process", kOptions, "vexa process IN OUT [options]  |  vexa process IN... --output-dir DIR [options]",
        "Runs IN through a chain of processing steps, in the order the options are given, and writes OUT.\n"
        "The output format follows OUT's extension: .wav, .flac, .ogg, .mp3 (headerless float otherwise).",
        "  vexa process in.wav out.flac --eq 100:3 --eq 3000:-2:0.5 --gain -1\n"
        "  vexa process side.mp3 side.wav --high-pass 30 --low-shelf 120:2 --start 1.5\n"
        "  vexa process tape.flac tape_levelled.flac --level -16 --limit 0\n"
        "  vexa process side_*.flac --output-dir levelled --level -16 --jobs 2\n",
        args);
    if (early >= 0)
        return early;
    QString error;
    int jobs = 0;
    if (!batchJobs(args, jobs, error))
        return fail(error, ExitUsage);
    if (args.has("output-dir")) {
        // Several files: each written under DIR with its own name.
        const QDir dir(args.value("output-dir"));
        if (args.positional.isEmpty())
            return fail(QStringLiteral("process --output-dir needs at least one input file"), ExitUsage);
        if (!dir.exists() && !QDir().mkpath(dir.path()))
            return fail(QStringLiteral("%1 : cannot create the folder").arg(dir.path()));
        const QStringList options = optionArguments(args, kOptions, {"jobs", "output-dir", "quiet"});
        return runBatch(args.positional, [&](const QString& input) {
            return QStringList{"process", input, dir.filePath(QFileInfo(input).fileName())} + options
                + QStringList{"--quiet"};
        }, jobs, false);
    }
    if (args.positional.size() != 2)
        return fail(QStringLiteral("process needs IN and OUT, or files and --output-dir (see vexa process --help)"), ExitUsage);
    const QString in = args.positional[0];
    const QString out = args.positional[1];

    std::unique_ptr<SoundReader> reader = openReader(in, error);
    if (!reader)
        return fail(error);
    const unsigned int rate = reader->getSampleRate();

    // The chain, in the order of the options.
    auto* chain = new SoundAlgoComposite(QStringLiteral("process"));
    std::unique_ptr<SoundAlgoComposite, void (*)(SoundAlgoComposite*)> chainOwner(chain, [](SoundAlgoComposite* c) { c->release(); });
    OutputSettings output;
    output.progress = !args.has("quiet");
    if (!parseOutputOptions(args, output, error) || !checkOutputName(out, error))
        return fail(error, ExitUsage);
    // Frequencies asked for, checked against the file's Nyquist frequency
    // once it is open.
    std::vector<std::pair<QString, double>> frequencies;
    // The design of the FIR and FFT filters.
    double transition = 0;
    double attenuation = 60;
    {
        std::vector<double> v;
        if (args.has("transition")) {
            if (!toNumbers(args.value("transition"), v, 1, 1) || v[0] <= 0)
                return fail(QStringLiteral("--transition %1: expected a width in Hz").arg(args.value("transition")), ExitUsage);
            transition = v[0];
        }
        v.clear();
        if (args.has("attenuation")) {
            if (!toNumbers(args.value("attenuation"), v, 1, 1) || v[0] < 20 || v[0] > 140)
                return fail(QStringLiteral("--attenuation %1: expected 20 to 140 dB").arg(args.value("attenuation")), ExitUsage);
            attenuation = v[0];
        }
    }
    // The detection pass of --level, shared by the amplifiers that follow it.
    RMSStepDetector* detector = nullptr;
    unsigned int detectedRate = 0;
    std::unique_ptr<RMSStepDetector, void (*)(RMSStepDetector*)> detectorOwner(nullptr, [](RMSStepDetector* d) { d->release(); });
    double start = 0;
    SoundAlgoFilterBiquad* openEq = nullptr;
    for (const auto& [name, value] : args.options) {
        std::vector<double> v;
        const auto bad = [&](const char* what) {
            return fail(QStringLiteral("--%1 %2: %3").arg(name, value, QLatin1String(what)), ExitUsage);
        };
        const bool filter = name == QLatin1String("eq") || name.endsWith(QLatin1String("-shelf"))
            || name.endsWith(QLatin1String("-pass"));
        if (filter && toNumbers(value, v, 1, 3)) {
            const double highest = name.endsWith(QLatin1String("band-pass")) && v.size() > 1 ? v[1] : v[0];
            frequencies.emplace_back(QStringLiteral("--%1 %2").arg(name, value), highest);
        }
        v.clear();
        // Biquad sections given one after the other go into one equalizer
        // node, which runs them together, frame by frame.
        if (!(name == QLatin1String("eq") || name.endsWith(QLatin1String("-shelf")) || name == QLatin1String("low-pass")
              || name == QLatin1String("high-pass")))
            openEq = nullptr;
        const auto addSection = [&](SoundTools::FilterType type, double freq, double width, double gain) {
            if (!openEq) {
                openEq = new SoundAlgoFilterBiquad();
                chain->pushAlgo(openEq);
            }
            openEq->pushFilter(type, freq, width, gain);
        };
        if (name == QLatin1String("gain")) {
            if (!toNumbers(value, v, 1, 1))
                return bad("expected a gain in dB");
            chain->pushAlgo(new SoundAlgoScale(v[0]));
        } else if (name == QLatin1String("eq")) {
            if (!toNumbers(value, v, 2, 3) || v[0] <= 0 || (v.size() == 3 && v[2] <= 0))
                return bad("expected FREQ:GAIN[:WIDTH] with a positive frequency and width");
            addSection(SoundTools::BandEq, v[0], v.size() == 3 ? v[2] : 1.0, v[1]);
        } else if (name == QLatin1String("low-shelf") || name == QLatin1String("high-shelf")) {
            if (!toNumbers(value, v, 2, 2) || v[0] <= 0)
                return bad("expected FREQ:GAIN with a positive frequency");
            addSection(name == QLatin1String("low-shelf") ? SoundTools::LowShelf : SoundTools::HighShelf, v[0], 1.0, v[1]);
        } else if (name == QLatin1String("low-pass") || name == QLatin1String("high-pass")) {
            if (!toNumbers(value, v, 1, 1) || v[0] <= 0)
                return bad("expected a positive frequency in Hz");
            addSection(name == QLatin1String("low-pass") ? SoundTools::LowPass : SoundTools::HighPass, v[0],
                       kButterworthOctaves, 0.0);
        } else if (name == QLatin1String("preset")) {
            PresetTable table;
            const QStringList presets = table.getEqPresets();
            const int index = presets.indexOf(value);
            if (index < 0)
                return fail(QStringLiteral("--preset %1: unknown; the presets are %2").arg(value, presets.join(", ")), ExitUsage);
            table.setEqPreset(static_cast<unsigned int>(index));
            auto* eq = new SoundAlgoFilterBiquad();
            for (unsigned int b = 0; b < table.getEqBandNumber(); ++b)
                eq->pushFilter(SoundTools::BandEq, table.getEqBandFreq(b), 1.0, table.getEqBandLevel(b));
            chain->pushAlgo(eq);
        } else if (name == QLatin1String("a-weight")) {
            chain->pushAlgo(new SoundAlgoFilter(std::make_shared<SoundTools::WeightingFilterBuilder>()));
        } else if (name.startsWith(QLatin1String("fir-")) || name.startsWith(QLatin1String("fft-"))) {
            const bool band = name.endsWith(QLatin1String("band-pass"));
            if (!toNumbers(value, v, band ? 2 : 1, band ? 2 : 1) || v[0] <= 0 || (band && v[1] <= v[0]))
                return bad(band ? "expected F1:F2 with 0 < F1 < F2" : "expected a positive frequency in Hz");
            const SoundTools::FilterType type = band ? SoundTools::BandPass
                : name.endsWith(QLatin1String("low-pass")) ? SoundTools::LowPass
                                                           : SoundTools::HighPass;
            const double f2 = band ? v[1] : 0.0;
            // By default a transition a tenth of the (first) edge frequency,
            // at least 50 Hz, and 60 dB below the pass band beyond it.
            const double width = transition > 0 ? transition : std::max(v[0] / 10.0, 50.0);
            if (name.startsWith(QLatin1String("fir-"))) {
                auto* fir = new SoundAlgoEqFIR(type, v[0], f2);
                fir->setDesign(width, attenuation);
                chain->pushAlgo(fir);
            } else {
                // The transform holds twice the filter's length at least.
                unsigned int size = 8192;
                auto* eq = new SoundAlgoEqFFT(type, v[0], f2, size);
                eq->setDesign(width, attenuation);
                const unsigned int taps = eq->getTapCount(rate, true);
                if (taps > size / 2) {
                    while (size / 2 < taps && size < (1u << 22))
                        size *= 2;
                    eq->release();
                    eq = new SoundAlgoEqFFT(type, v[0], f2, size);
                    eq->setDesign(width, attenuation);
                }
                chain->pushAlgo(eq);
            }
        } else if (name == QLatin1String("gate")) {
            if (!toNumbers(value, v, 1, 1) || v[0] > 0)
                return bad("expected a threshold in dB (0 or below)");
            chain->pushAlgo(new SoundAlgoNoiseGate(v[0], 0.2, 0.01));
        } else if (name == QLatin1String("limit")) {
            if (!toNumbers(value, v, 1, 1) || v[0] < -60 || v[0] > 40)
                return bad("expected a gain in dB (-60 to 40)");
            chain->pushAlgo(new SoundAlgoLimiter(v[0], 0.01, 0.1, nullptr));
        } else if (name == QLatin1String("level")) {
            if (!toNumbers(value, v, 1, 1) || v[0] > 0 || v[0] < -60)
                return bad("expected a level in dB RMS (-60 to 0)");
            if (!detector) {
                detector = detectTracks(in, SplitSettings(), !args.has("quiet"), error, detectedRate);
                if (!detector)
                    return fail(error);
                detectorOwner.reset(detector);
            }
            if (args.has("multiband")) {
                std::vector<double> crossovers;
                if (!toNumbers(args.value("multiband"), crossovers, 1, 16, QChar(',')) || !std::is_sorted(crossovers.begin(), crossovers.end()) || crossovers.front() <= 0)
                    return fail(QStringLiteral("--multiband %1: expected ascending frequencies, F1,F2,...").arg(args.value("multiband")), ExitUsage);
                chain->pushAlgo(new SoundAlgoFilterMultibandAmplifier(crossovers, v[0], 0.01, 0.1, 3.0, detector, false, 0, 6.0, {}));
            } else {
                chain->pushAlgo(new SoundAlgoRMSAmplifier(v[0], detector, 3.0, 0, 6.0, 20.0));
            }
        } else if (name == QLatin1String("multiband")) {
            if (!args.has("level"))
                return bad("goes with --level");
        } else if (name == QLatin1String("start")) {
            if (!toNumbers(value, v, 1, 1) || v[0] < 0)
                return bad("expected a time in seconds");
            start = v[0];
        }
    }
    if (chain->getBranchNumber() == 0)
        chain->pushAlgo(new SoundAlgoBypass());

    const double nyquist = reader->getSampleRate() / 2.0;
    for (const auto& [option, freq] : frequencies) {
        if (freq >= nyquist)
            return fail(QStringLiteral("%1: at or beyond the Nyquist frequency of %2 (%3 Hz)").arg(option, in).arg(nyquist), ExitUsage);
    }
    if (start > 0 && start >= reader->getLength())
        return fail(QStringLiteral("--start %1: %2 is only %3 s long").arg(start).arg(in).arg(reader->getLength(), 0, 'f', 1), ExitUsage);
    reader->setStartPoint(start);
    reader->rewind();

    SoundIDTag tags;
    reader->getTags(tags);
    applyTagOptions(args, tags);

    if (!renderFile(*reader, chain, in, out, tags, output, error))
        return fail(error);
    return ExitOk;
}
