#include "SoundAlgoLoudness.h"

#include "detail/TruePeak.h"

#include <ebur128.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iomanip>
#include <limits>
#include <ostream>

namespace {

using Frame = SoundTools::StereoFrame<double>;

constexpr double kMinusInf = -std::numeric_limits<double>::infinity();
constexpr int kMode = EBUR128_MODE_LRA | EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK;

// Steps of 100 ms in the momentary (400 ms) and short-term (3 s) windows.
constexpr unsigned int kMomentarySteps = 4;
constexpr unsigned int kShortTermSteps = 30;

// BS.1770: L = -0.691 + 10 log10(sum of weighted mean squares).
double energyFromLoudness(double lufs)
{
    return std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10.0) : 0.0;
}

double loudnessFromEnergy(double energy)
{
    return energy > 0.0 ? 10.0 * std::log10(energy) - 0.691 : kMinusInf;
}

double dB(double linear)
{
    return linear > 0.0 ? 20.0 * std::log10(linear) : kMinusInf;
}

} // namespace

// The meter's state and the ring of 100 ms energies from which the maxima
// of the momentary and short-term loudness are taken. Summing the 100 ms
// energies costs one addition per sample; asking libebur128 for the
// short-term loudness every 100 ms would sum 3 s of samples each time.
struct SoundAlgoLoudness::Private {
    ebur128_state* state = nullptr;
    unsigned int stepFrames = 0;  // frames in 100 ms
    unsigned int toBoundary = 0;  // frames until the next 100 ms step
    std::array<double, kShortTermSteps> steps{};
    unsigned int stepIndex = 0;
    std::vector<double> mono;     // the left channel of a mono run
    // The true peak is measured here rather than by libebur128: both
    // channels at once, with vector instructions.
    vexa::detail::TruePeak truePeak;

    ~Private() { destroy(); }
    // The states of the nodes that ran.
    static std::vector<ebur128_state*> statesOf(const std::vector<const SoundAlgoLoudness*>& nodes)
    {
        std::vector<ebur128_state*> states;
        for (const SoundAlgoLoudness* n : nodes) {
            if (n && n->d->state)
                states.push_back(n->d->state);
        }
        return states;
    }
    void destroy()
    {
        if (state)
            ebur128_destroy(&state);
        state = nullptr;
    }
};

SoundAlgoLoudness::SoundAlgoLoudness()
    : d(std::make_unique<Private>())
    , mMaxMomentary(kMinusInf)
    , mMaxShortTerm(kMinusInf)
{
}

SoundAlgoLoudness::~SoundAlgoLoudness() = default;

bool SoundAlgoLoudness::setChannelCount(int channels)
{
    if (channels != 1 && channels != 2)
        return false;
    mChannels = channels;
    return true;
}

// ---------------------------------------------------------------------------
// Results

bool SoundAlgoLoudness::hasLoudness() const
{
    return std::isfinite(getIntegratedLoudness());
}

double SoundAlgoLoudness::getIntegratedLoudness() const
{
    double out = kMinusInf;
    if (d->state && ebur128_loudness_global(d->state, &out) != EBUR128_SUCCESS)
        return kMinusInf;
    return out;
}

double SoundAlgoLoudness::getLoudnessRange() const
{
    double out = 0.0;
    if (d->state && ebur128_loudness_range(d->state, &out) != EBUR128_SUCCESS)
        return 0.0;
    return out;
}

double SoundAlgoLoudness::getMomentaryLoudness() const
{
    double out = kMinusInf;
    if (d->state && ebur128_loudness_momentary(d->state, &out) != EBUR128_SUCCESS)
        return kMinusInf;
    return out;
}

double SoundAlgoLoudness::getShortTermLoudness() const
{
    double out = kMinusInf;
    if (d->state && ebur128_loudness_shortterm(d->state, &out) != EBUR128_SUCCESS)
        return kMinusInf;
    return out;
}

double SoundAlgoLoudness::getSamplePeak(int channel) const
{
    double out = 0.0;
    if (!d->state || channel < 0 || channel > 1)
        return 0.0;
    const unsigned int c = std::min(static_cast<unsigned int>(channel), d->state->channels - 1);
    return ebur128_sample_peak(d->state, c, &out) == EBUR128_SUCCESS ? out : 0.0;
}

double SoundAlgoLoudness::getTruePeak(int channel) const
{
    if (!d->state || channel < 0 || channel > 1)
        return 0.0;
    return d->truePeak.peak(d->state->channels == 1 ? 0 : channel);
}

double SoundAlgoLoudness::getSamplePeak() const
{
    return std::max(getSamplePeak(0), getSamplePeak(1));
}

double SoundAlgoLoudness::getTruePeak() const
{
    return std::max(getTruePeak(0), getTruePeak(1));
}

double SoundAlgoLoudness::getSamplePeakDb() const
{
    return dB(getSamplePeak());
}

double SoundAlgoLoudness::getTruePeakDb() const
{
    return dB(getTruePeak());
}

double SoundAlgoLoudness::albumLoudness(const std::vector<const SoundAlgoLoudness*>& nodes)
{
    std::vector<ebur128_state*> states = Private::statesOf(nodes);
    double out = kMinusInf;
    if (states.empty() || ebur128_loudness_global_multiple(states.data(), states.size(), &out) != EBUR128_SUCCESS)
        return kMinusInf;
    return out;
}

double SoundAlgoLoudness::albumLoudnessRange(const std::vector<const SoundAlgoLoudness*>& nodes)
{
    std::vector<ebur128_state*> states = Private::statesOf(nodes);
    double out = 0.0;
    if (states.empty() || ebur128_loudness_range_multiple(states.data(), states.size(), &out) != EBUR128_SUCCESS)
        return 0.0;
    return out;
}

double SoundAlgoLoudness::albumPeak(const std::vector<const SoundAlgoLoudness*>& nodes, bool truePeak)
{
    double peak = 0.0;
    for (const SoundAlgoLoudness* n : nodes) {
        if (n)
            peak = std::max(peak, truePeak ? n->getTruePeak() : n->getSamplePeak());
    }
    return peak;
}

// ---------------------------------------------------------------------------
// Run

SoundTools::Status SoundAlgoLoudness::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    d->destroy();
    mFrames = 0;
    mMaxMomentary = kMinusInf;
    mMaxShortTerm = kMinusInf;
    mStreamEnd = ctx.frameNbToProcess > 0 ? static_cast<int64_t>(ctx.offset) + ctx.frameNbToProcess : INT64_MAX;

    const SoundTools::Status status = SoundAlgo::initProcess(ctx, prev, next);
    if (status != SoundTools::StatusOk)
        return status;
    // libebur128 refuses rates outside 16 Hz ... 2.8 MHz (and memory
    // failures): the run is refused with it.
    d->state = ebur128_init(static_cast<unsigned int>(mChannels), ctx.sampleRate, kMode);
    if (!d->state) {
        return failWith(QStringLiteral("Cannot measure loudness at %1 Hz").arg(ctx.sampleRate), "SoundAlgoLoudness::initProcess");
    }
    // The same step as libebur128's 100 ms window, so that the energy it
    // answers for that window is the step's.
    d->stepFrames = std::max(1u, ctx.sampleRate / 10u);
    d->toBoundary = d->stepFrames;
    d->steps.fill(0.0);
    d->stepIndex = 0;
    d->truePeak.reset(ctx.sampleRate);
    if (mChannels == 1)
        d->mono.resize(d->stepFrames);
    return SoundTools::StatusOk;
}

void SoundAlgoLoudness::updateMaxima()
{
    double lufs = kMinusInf;
    ebur128_loudness_window(d->state, 100, &lufs);
    d->steps[d->stepIndex] = energyFromLoudness(lufs);
    d->stepIndex = (d->stepIndex + 1) % kShortTermSteps;
    // The last 4 and 30 steps, newest first. Before 3 s the oldest steps
    // are the zeros the meter's own windows start from.
    double momentary = 0.0;
    double shortTerm = 0.0;
    for (unsigned int k = 0; k < kShortTermSteps; ++k) {
        const double e = d->steps[(d->stepIndex + kShortTermSteps - 1 - k) % kShortTermSteps];
        if (k < kMomentarySteps)
            momentary += e;
        shortTerm += e;
    }
    mMaxMomentary = std::max(mMaxMomentary, loudnessFromEnergy(momentary / kMomentarySteps));
    mMaxShortTerm = std::max(mMaxShortTerm, loudnessFromEnergy(shortTerm / kShortTermSteps));
}

bool SoundAlgoLoudness::measure(const Frame* in, unsigned int n)
{
    d->truePeak.process(in, n);
    while (n > 0) {
        const unsigned int take = std::min(n, d->toBoundary);
        int err;
        if (mChannels == 2) {
            err = ebur128_add_frames_double(d->state, &in->left, take);
        } else {
            for (unsigned int i = 0; i < take; ++i)
                d->mono[i] = in[i].left;
            err = ebur128_add_frames_double(d->state, d->mono.data(), take);
        }
        if (err != EBUR128_SUCCESS)
            return false;
        in += take;
        n -= take;
        mFrames += take;
        d->toBoundary -= take;
        if (d->toBoundary == 0) {
            updateMaxima();
            d->toBoundary = d->stepFrames;
        }
    }
    return true;
}

SoundTools::Status SoundAlgoLoudness::process()
{
    const unsigned int nb = std::min(getOutFrameNb(), getInFrameNb());
    if (nb == 0)
        return SoundTools::StatusOk;
    const int inOrigin = getInOrigin();
    const Frame* in = mInBuffers[0]->getStereoFrame(inOrigin);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());

    // Only frames of the stream count: before the run's start lies the
    // silence the loop puts in front of a delayed graph, after the stream's
    // end the silence it feeds to flush the look-ahead of later nodes.
    const int64_t first = std::max<int64_t>(static_cast<int64_t>(getOffset()) - inOrigin, 0);
    const int64_t last = std::min<int64_t>(nb, mStreamEnd - inOrigin);
    if (first < last && !measure(in + first, static_cast<unsigned int>(last - first))) {
        return failWith(QStringLiteral("Out of memory"), "SoundAlgoLoudness::process");
    }
    if (out != in)
        std::copy(in, in + nb, out);
    return SoundTools::StatusOk;
}

void SoundAlgoLoudness::endProcess(int status, unsigned int frameNbProcessed)
{
    if (isVerbose() && status == SoundTools::StatusOk) {
        std::ostream& os = getOStream();
        const std::ios_base::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed << std::setprecision(1) << "Loudness :\n\tIntegrated\t= " << getIntegratedLoudness()
           << " LUFS\n\tRange\t\t= " << getLoudnessRange() << " LU\n\tMax momentary\t= " << mMaxMomentary
           << " LUFS\n\tMax short-term\t= " << mMaxShortTerm << " LUFS\n\tTrue peak\t= " << getTruePeakDb()
           << " dBTP\n\tSample peak\t= " << getSamplePeakDb() << " dBFS" << std::endl;
        os.flags(flags);
        os.precision(precision);
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}
