#include "Normalise.h"

#include "Analysis.h"
#include "Console.h"
#include "ProcessSteps.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// How close the written file's loudness must come to the target, and how
// many writing passes may try.
constexpr double kToleranceLu = 0.1;
constexpr int kMaxPasses = 5;
// The limiter holds sample peaks; between samples the signal rises above
// them, in a clipped master by a dB or more. Its ceiling starts under the
// true-peak ceiling by the input's rise of its true peak over its sample
// peak (at least kFirstMarginDb), and moves down by what the measurement
// finds above the ceiling, and a step more.
constexpr double kFirstMarginDb = 0.3;
constexpr double kMarginStepDb = 0.1;

// The chain's output measured as it will be written (stereo: the tool
// writes two channels, also from a mono input).
bool measureChain(SoundReader& reader, SoundAlgoComposite* chain, const QString& in, bool progress,
                  LoudnessFigures& figures, QString& error)
{
    SoundRef<SoundAlgoComposite> pass(new SoundAlgoComposite(QStringLiteral("measure")));
    pass->pushAlgo(SoundRef<SoundAlgoComposite>::shared(chain).take());
    SoundRef<SoundAlgoLoudness> meter(new SoundAlgoLoudness());
    pass->pushAlgo(SoundRef<SoundAlgoLoudness>(meter).take());
    reader.rewind();
    Progress bar(QStringLiteral("measure %1").arg(QFileInfo(in).fileName()), reader.getSampleRate(), progress);
    bar.follow(pass.get());
    if (pass->processAll(reader, nullptr) != SoundTools::StatusOk) {
        error = QStringLiteral("measuring the loudness of %1 failed: %2").arg(in, libraryError());
        return false;
    }
    figures = figuresOf(*meter);
    return true;
}

// The gain stage: a plain gain, or the limiter at gain + the distance from
// its sample ceiling to the target ceiling (less the margin), followed by a
// gain that brings its ceiling there.
SoundAlgoComposite* gainStage(SoundAlgoComposite* chain, double gainDb, bool limit, double ceilingDbtp, double marginDb)
{
    auto* stage = new SoundAlgoComposite(QStringLiteral("normalise"));
    stage->pushAlgo(SoundRef<SoundAlgoComposite>::shared(chain).take());
    if (!limit) {
        stage->pushAlgo(new SoundAlgoScale(gainDb));
        return stage;
    }
    const double afterDb = ceilingDbtp - marginDb - 20.0 * std::log10(SoundAlgoLimiter::kCeiling);
    stage->pushAlgo(new SoundAlgoLimiter(gainDb - afterDb, 0.01, 0.1, nullptr));
    stage->pushAlgo(new SoundAlgoScale(afterDb));
    return stage;
}

QJsonObject figuresJson(const LoudnessFigures& f)
{
    return QJsonObject{{"loudness_lufs", levelJson(f.integratedLufs)},
                       {"loudness_range_lu", std::round(f.rangeLu * 100) / 100},
                       {"true_peak_dbtp", levelJson(f.truePeakDbtp)}};
}

} // namespace

QByteArray normaliseText(const NormaliseResult& r)
{
    QByteArray text = strf("%s: %s LUFS, true peak %s dBTP\n", qUtf8Printable(r.file),
                           levelText(r.before.integratedLufs).constData(), levelText(r.before.truePeakDbtp).constData());
    text += strf("  gain %+.2f dB", r.gainDb);
    if (r.limited)
        text += strf(", peaks limited under %.2f dBTP", r.ceilingDbtp);
    text += strf(" (%d pass%s)\n", r.passes, r.passes == 1 ? "" : "es");
    text += strf("%s: %s LUFS (range %.2f LU), true peak %s dBTP\n", qUtf8Printable(r.output),
                 levelText(r.after.integratedLufs).constData(), r.after.rangeLu, levelText(r.after.truePeakDbtp).constData());
    return text;
}

QByteArray normaliseJson(const NormaliseResult& r)
{
    QJsonObject o = figuresJson(r.after);
    o.insert("file", r.file);
    o.insert("output", r.output);
    o.insert("target_lufs", r.targetLufs);
    o.insert("true_peak_ceiling_dbtp", r.ceilingDbtp);
    o.insert("input", figuresJson(r.before));
    o.insert("gain_db", std::round(r.gainDb * 100) / 100);
    o.insert("limited", r.limited);
    o.insert("passes", r.passes);
    return QJsonDocument(o).toJson();
}

int normaliseFile(SoundReader& reader, ChainBuild& build, const QString& in, const QString& out, const SoundIDTag& tags,
                  const OutputSettings& output, NormaliseResult& r, QString& error)
{
    r.file = in;
    r.output = out;
    r.targetLufs = build.loudnessLufs;
    r.ceilingDbtp = build.truePeakDbtp;
    if (!measureChain(reader, build.chain.get(), in, output.progress, r.before, error))
        return ExitFailed;
    if (!r.before.hasLoudness()) {
        error = QStringLiteral("%1 is %2: no loudness to bring to %3 LUFS; nothing written")
                    .arg(in, r.before.missingReason()).arg(r.targetLufs);
        return ExitFailed;
    }
    // True peak and loudness scale with the gain: the limiter is needed
    // only where the gain lifts the peak above the ceiling.
    r.gainDb = r.targetLufs - r.before.integratedLufs;
    r.limited = r.before.truePeakDbtp + r.gainDb > r.ceilingDbtp;
    double marginDb = std::max(kFirstMarginDb, r.before.truePeakDbtp - r.before.samplePeakDbfs + kMarginStepDb);
    // Each pass writes the file under a name of its own, renamed into place
    // when it holds.
    AtomicOutput target(out);
    bool peakHeld = false;
    bool loudnessReached = false;
    double lastGainDb = 0;
    double lastLufs = 0;
    for (r.passes = 1; r.passes <= kMaxPasses; ++r.passes) {
        SoundRef<SoundAlgoComposite> stage(gainStage(build.chain.get(), r.gainDb, r.limited, r.ceilingDbtp, marginDb));
        reader.rewind();
        if (!renderFile(reader, stage.get(), in, target.tempName(), tags, output, error)) {
            error.replace(target.tempName(), out);
            return ExitFailed;
        }
        SoundRef<SoundAlgoLoudness> written = measureFile(target.tempName(), output.progress, error);
        if (!written) {
            error.replace(target.tempName(), out);
            return ExitFailed;
        }
        r.after = figuresOf(*written);
        peakHeld = r.after.truePeakDbtp <= r.ceilingDbtp;
        loudnessReached = std::fabs(r.after.integratedLufs - r.targetLufs) <= kToleranceLu;
        if ((peakHeld && loudnessReached) || r.passes == kMaxPasses)
            break;
        // Limiting lowers the loudness a little, a lossy encoder moves the
        // peaks: correct both and write again.
        if (!peakHeld) {
            if (r.limited)
                marginDb += r.after.truePeakDbtp - r.ceilingDbtp + kMarginStepDb;
            r.limited = true;
        }
        // Where the limiter works, the loudness rises less than the gain:
        // the next gain follows the slope of the last two passes.
        if (!loudnessReached && r.after.hasLoudness()) {
            double slope = 1.0;
            if (r.passes > 1 && std::fabs(r.gainDb - lastGainDb) > 0.01)
                slope = std::clamp((r.after.integratedLufs - lastLufs) / (r.gainDb - lastGainDb), 0.2, 1.0);
            lastGainDb = r.gainDb;
            lastLufs = r.after.integratedLufs;
            r.gainDb += (r.targetLufs - r.after.integratedLufs) / slope;
        }
        if (r.before.truePeakDbtp + r.gainDb > r.ceilingDbtp)
            r.limited = true;
    }
    if (!peakHeld) {
        error = QStringLiteral("%1 : the true peak stays at %2 dBTP, above the ceiling of %3 dBTP, after %4 passes; nothing written")
                    .arg(out).arg(r.after.truePeakDbtp, 0, 'f', 2).arg(r.ceilingDbtp, 0, 'f', 2).arg(kMaxPasses);
        return ExitFailed;
    }
    if (!target.commit(error))
        return ExitFailed;
    if (!loudnessReached) {
        std::fprintf(stderr, "vexa: warning: %s: %.2f LUFS, not the %.2f LUFS asked: the limiter takes off more than the "
                             "gain can give back under the %.2f dBTP ceiling\n",
                     qUtf8Printable(out), r.after.integratedLufs, r.targetLufs, r.ceilingDbtp);
    }
    return ExitOk;
}
