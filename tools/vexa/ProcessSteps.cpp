#include "ProcessSteps.h"

#include "Console.h"
#include "Tracks.h"

#include <algorithm>
#include <memory>

namespace {

// Bandwidth in octaves of a second-order Butterworth section (Q = 1/sqrt 2).
constexpr double kButterworthOctaves = 1.8999686269529916;

int bad(ChainBuild& b, const QString& name, const QString& value, const char* what)
{
    b.error = QStringLiteral("--%1 %2: %3").arg(name, value, QLatin1String(what));
    return ExitUsage;
}

void addSection(ChainBuild& b, SoundTools::FilterType type, double freq, double width, double gain)
{
    if (!b.openEq) {
        b.openEq = new SoundAlgoFilterBiquad();
        b.chain->pushAlgo(b.openEq);
    }
    b.openEq->pushFilter(type, freq, width, gain);
}

int addGain(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1))
        return bad(b, name, value, "expected a gain in dB");
    b.chain->pushAlgo(new SoundAlgoScale(v[0]));
    return ExitOk;
}

int addPeak(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 2, 3) || v[0] <= 0 || (v.size() == 3 && v[2] <= 0))
        return bad(b, name, value, "expected FREQ:GAIN[:WIDTH] with a positive frequency and width");
    addSection(b, SoundTools::BandEq, v[0], v.size() == 3 ? v[2] : 1.0, v[1]);
    return ExitOk;
}

int addShelf(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 2, 2) || v[0] <= 0)
        return bad(b, name, value, "expected FREQ:GAIN with a positive frequency");
    addSection(b, name == QLatin1String("low-shelf") ? SoundTools::LowShelf : SoundTools::HighShelf, v[0], 1.0, v[1]);
    return ExitOk;
}

int addButterworth(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] <= 0)
        return bad(b, name, value, "expected a positive frequency in Hz");
    addSection(b, name == QLatin1String("low-pass") ? SoundTools::LowPass : SoundTools::HighPass, v[0],
               kButterworthOctaves, 0.0);
    return ExitOk;
}

// The player's equalizer, used only for its bands and presets.
class PresetTable : public SoundPlayer {
public:
    PresetTable() : SoundPlayer(nullptr, nullptr, true) {}
    void preload() override {}
    void start() override {}
    void stop() override {}
    void endOfData() override {}
};

int addPreset(ChainBuild& b, const QString&, const QString& value)
{
    PresetTable table;
    const QStringList presets = table.getEqPresets();
    const int index = presets.indexOf(value);
    if (index < 0) {
        b.error = QStringLiteral("--preset %1: unknown; the presets are %2").arg(value, presets.join(", "));
        return ExitUsage;
    }
    table.setEqPreset(static_cast<unsigned int>(index));
    auto* eq = new SoundAlgoFilterBiquad();
    for (unsigned int band = 0; band < table.getEqBandNumber(); ++band)
        eq->pushFilter(SoundTools::BandEq, table.getEqBandFreq(band), 1.0, table.getEqBandLevel(band));
    b.chain->pushAlgo(eq);
    return ExitOk;
}

int addWeighting(ChainBuild& b, const QString&, const QString&)
{
    b.chain->pushAlgo(new SoundAlgoFilter(std::make_shared<SoundTools::WeightingFilterBuilder>()));
    return ExitOk;
}

// The FFT filter holds twice the filter's length at least: 8192 points, or
// the power of two that holds it.
SoundAlgoEqFFT* fftFilter(SoundTools::FilterType type, double f1, double f2, double width, double attenuation,
                          unsigned int rate)
{
    unsigned int size = 8192;
    SoundRef<SoundAlgoEqFFT> eq(new SoundAlgoEqFFT(type, f1, f2, size));
    eq->setDesign(width, attenuation);
    const unsigned int taps = eq->getTapCount(rate, true);
    if (taps > size / 2) {
        while (size / 2 < taps && size < (1u << 22))
            size *= 2;
        eq.reset(new SoundAlgoEqFFT(type, f1, f2, size));
        eq->setDesign(width, attenuation);
    }
    return eq.take();
}

// --fir-* and --fft-*: linear-phase filters of the same design, run
// directly or by FFT.
int addLinearPhase(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    const bool band = name.endsWith(QLatin1String("band-pass"));
    if (!toNumbers(value, v, band ? 2 : 1, band ? 2 : 1) || v[0] <= 0 || (band && v[1] <= v[0]))
        return bad(b, name, value, band ? "expected F1:F2 with 0 < F1 < F2" : "expected a positive frequency in Hz");
    const SoundTools::FilterType type = band ? SoundTools::BandPass
        : name.endsWith(QLatin1String("low-pass")) ? SoundTools::LowPass
                                                   : SoundTools::HighPass;
    const double f2 = band ? v[1] : 0.0;
    // By default a transition a tenth of the (first) edge frequency, at
    // least 50 Hz, and 60 dB below the pass band beyond it.
    const double width = b.transition > 0 ? b.transition : std::max(v[0] / 10.0, 50.0);
    if (name.startsWith(QLatin1String("fir-"))) {
        auto* fir = new SoundAlgoEqFIR(type, v[0], f2);
        fir->setDesign(width, b.attenuation);
        b.chain->pushAlgo(fir);
    } else {
        b.chain->pushAlgo(fftFilter(type, v[0], f2, width, b.attenuation, b.sampleRate));
    }
    return ExitOk;
}

int setTransition(ChainBuild& b, const QString&, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] <= 0) {
        b.error = QStringLiteral("--transition %1: expected a width in Hz").arg(value);
        return ExitUsage;
    }
    b.transition = v[0];
    return ExitOk;
}

int setAttenuation(ChainBuild& b, const QString&, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] < 20 || v[0] > 140) {
        b.error = QStringLiteral("--attenuation %1: expected 20 to 140 dB").arg(value);
        return ExitUsage;
    }
    b.attenuation = v[0];
    return ExitOk;
}

int addGate(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] > 0)
        return bad(b, name, value, "expected a threshold in dB (0 or below)");
    b.chain->pushAlgo(new SoundAlgoNoiseGate(v[0], 0.2, 0.01));
    return ExitOk;
}

int addLimiter(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] < -60 || v[0] > 40)
        return bad(b, name, value, "expected a gain in dB (-60 to 40)");
    b.chain->pushAlgo(new SoundAlgoLimiter(v[0], 0.01, 0.1, nullptr));
    return ExitOk;
}

// --level: a detection pass over the file (once), then an amplifier that
// levels each part, or each band of each part with --multiband.
int addLeveller(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] > 0 || v[0] < -60)
        return bad(b, name, value, "expected a level in dB RMS (-60 to 0)");
    if (!b.detector) {
        unsigned int detectedRate = 0;
        b.detector = detectTracks(b.input, SplitSettings(), b.progress, b.error, detectedRate);
        if (!b.detector)
            return ExitFailed;
    }
    if (!b.args->has("multiband")) {
        b.chain->pushAlgo(new SoundAlgoRMSAmplifier(v[0], b.detector.get(), 3.0, 0, 6.0, 20.0));
        return ExitOk;
    }
    const QString bands = b.args->value("multiband");
    std::vector<double> crossovers;
    if (!toNumbers(bands, crossovers, 1, 16, QChar(',')) || !std::is_sorted(crossovers.begin(), crossovers.end())
        || crossovers.front() <= 0) {
        b.error = QStringLiteral("--multiband %1: expected ascending frequencies, F1,F2,...").arg(bands);
        return ExitUsage;
    }
    b.chain->pushAlgo(
        new SoundAlgoFilterMultibandAmplifier(crossovers, v[0], 0.01, 0.1, 3.0, b.detector.get(), false, 0, 6.0, {}));
    return ExitOk;
}

int checkMultiband(ChainBuild& b, const QString& name, const QString& value)
{
    return b.args->has("level") ? ExitOk : bad(b, name, value, "goes with --level");
}

int setStart(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] < 0)
        return bad(b, name, value, "expected a time in seconds");
    b.start = v[0];
    return ExitOk;
}

// --loudness: the gain is measured on the whole chain's output, so the
// normalisation comes after every step, wherever the option stands.
int setLoudness(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 1) || v[0] < -70 || v[0] > 0)
        return bad(b, name, value, "expected an integrated loudness in LUFS (-70 to 0)");
    b.normalise = true;
    b.loudnessLufs = v[0];
    return ExitOk;
}

int setTruePeak(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!b.args->has("loudness"))
        return bad(b, name, value, "goes with --loudness");
    if (!toNumbers(value, v, 1, 1) || v[0] < -20 || v[0] > 0)
        return bad(b, name, value, "expected a true-peak ceiling in dBTP (-20 to 0)");
    b.truePeakDbtp = v[0];
    return ExitOk;
}

const ChainStep* findStep(const QString& name)
{
    for (const ChainStep& s : chainSteps()) {
        if (name == QLatin1String(s.option.name))
            return &s;
    }
    return nullptr;
}

// A filter's highest frequency: the upper edge of a band pass, else the first.
void noteFrequency(ChainBuild& b, const QString& name, const QString& value)
{
    std::vector<double> v;
    if (!toNumbers(value, v, 1, 3))
        return;
    const double highest = name.endsWith(QLatin1String("band-pass")) && v.size() > 1 ? v[1] : v[0];
    b.frequencies.emplace_back(QStringLiteral("--%1 %2").arg(name, value), highest);
}

} // namespace

const std::vector<ChainStep>& chainSteps()
{
    using S = ChainStep;
    static const std::vector<ChainStep> steps = {
        {{"gain", "DB", "fixed gain in dB"}, S::Node, false, addGain},
        {{"eq", "FREQ:GAIN[:WIDTH]", "peaking band (width in octaves, default 1); repeatable"}, S::Section, true, addPeak},
        {{"low-shelf", "FREQ:GAIN", "low shelf"}, S::Section, true, addShelf},
        {{"high-shelf", "FREQ:GAIN", "high shelf"}, S::Section, true, addShelf},
        {{"low-pass", "FREQ", "second-order low pass (Butterworth)"}, S::Section, true, addButterworth},
        {{"high-pass", "FREQ", "second-order high pass (Butterworth)"}, S::Section, true, addButterworth},
        {{"a-weight", nullptr, "A-weighting filter (IEC 61672)"}, S::Node, false, addWeighting},
        {{"preset", "NAME", "the player's equalizer preset, offline (an unknown name lists them)"}, S::Node, false, addPreset},
        {{"fir-low-pass", "FREQ", "linear-phase FIR low pass (equiripple: 60 dB down a tenth of FREQ, at least 50 Hz, above it)"},
         S::Node, true, addLinearPhase},
        {{"fir-high-pass", "FREQ", "linear-phase FIR high pass"}, S::Node, true, addLinearPhase},
        {{"fir-band-pass", "F1:F2", "linear-phase FIR band pass"}, S::Node, true, addLinearPhase},
        {{"fft-low-pass", "FREQ", "linear-phase low pass run by FFT (the same design, 8192-point or larger)"},
         S::Node, true, addLinearPhase},
        {{"fft-high-pass", "FREQ", "linear-phase high pass run by FFT"}, S::Node, true, addLinearPhase},
        {{"fft-band-pass", "F1:F2", "linear-phase band pass run by FFT"}, S::Node, true, addLinearPhase},
        {{"transition", "HZ", "transition width of the FIR and FFT filters (default a tenth of the edge, at least 50 Hz)"},
         S::Design, false, setTransition},
        {{"attenuation", "DB", "stop-band attenuation of the FIR and FFT filters (default 60)"}, S::Design, false, setAttenuation},
        {{"gate", "DB", "noise gate: silence what stays below DB (10 ms window, 200 ms fade)"}, S::Node, false, addGate},
        {{"limit", "DB", "look-ahead limiter: DB of gain, peaks held below 0.98 (10 ms look-ahead)"}, S::Node, false, addLimiter},
        {{"level", "DB", "level each part of the recording to DB RMS (a detection pass runs first)"}, S::Node, false, addLeveller},
        {{"multiband", "F1,F2,...", "with --level: level each band between these crossovers separately"},
         S::Setting, false, checkMultiband},
        {{"loudness", "LUFS", "bring the output to this integrated loudness (EBU R128, -70 to 0), after every other step: "
                              "a measuring pass, then the gain, limited where it would pass the true-peak ceiling"},
         S::Setting, false, setLoudness},
        {{"true-peak", "DBTP", "with --loudness: the true-peak ceiling of the output (default -1)"}, S::Setting, false, setTruePeak},
        {{"start", "SECONDS", "start reading at this time"}, S::Setting, false, setStart},
    };
    return steps;
}

OptionList chainOptions()
{
    OptionList options;
    for (const ChainStep& s : chainSteps())
        options.push_back(s.option);
    return options;
}

int buildChain(const ParsedArgs& args, ChainBuild& build)
{
    build.args = &args;
    build.chain.reset(new SoundAlgoComposite(QStringLiteral("process")));
    // The design of the FIR and FFT filters holds for all of them.
    for (const ChainStep& s : chainSteps()) {
        const QString name = QLatin1String(s.option.name);
        if (s.kind == ChainStep::Design && args.has(name)) {
            const int status = s.add(build, name, args.value(name));
            if (status != ExitOk)
                return status;
        }
    }
    for (const auto& [name, value] : args.options) {
        const ChainStep* step = findStep(name);
        if (step && step->frequency)
            noteFrequency(build, name, value);
        if (!step || step->kind != ChainStep::Section)
            build.openEq = nullptr;
        if (!step || step->kind == ChainStep::Design)
            continue;
        const int status = step->add(build, name, value);
        if (status != ExitOk)
            return status;
    }
    if (build.chain->getBranchNumber() == 0)
        build.chain->pushAlgo(new SoundAlgoBypass());
    return ExitOk;
}
