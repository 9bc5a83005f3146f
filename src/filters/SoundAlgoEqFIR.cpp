#include "SoundAlgoEqFIR.h"

#include "detail/AdaptiveParallel.h"
#include "detail/Remez.h"

#include <QMessageLogger>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>

namespace {

// Design targets: 0.5 dB pass-band ripple (peak to peak); 40 dB stop-band
// attenuation unless the caller asks for another.
const double kPassDeviation = (1.0 - std::pow(10.0, -0.025)) / 2.0;

// Below this many multiply-adds a block stays on one thread.
constexpr long long kParallelWork = 1LL << 18;

bool supported(SoundTools::FilterType type)
{
    return type == SoundTools::LowPass || type == SoundTools::BandPass || type == SoundTools::BandStop ||
           type == SoundTools::HighPass;
}

typedef double Lanes4 __attribute__((vector_size(32)));

// out[i] = gain * sum_k c[k] in[i + k] for the frames first .. last - 1,
// both channels. Eight frames at a time: four vectors of two stereo frames
// each, so that every tap is one multiply-add per vector.
__attribute__((always_inline)) inline void convolveRange(const double* c, unsigned int taps, const double* in,
                                                         double* out, long first, long last, double gain)
{
    long i = first;
    for (; i + 8 <= last; i += 8) {
        Lanes4 a0 = {0, 0, 0, 0}, a1 = a0, a2 = a0, a3 = a0;
        const double* x = in + 2 * i;
        for (unsigned int k = 0; k < taps; ++k, x += 2) {
            Lanes4 x0, x1, x2, x3;
            std::memcpy(&x0, x, sizeof x0);
            std::memcpy(&x1, x + 4, sizeof x1);
            std::memcpy(&x2, x + 8, sizeof x2);
            std::memcpy(&x3, x + 12, sizeof x3);
            const double ck = c[k];
            a0 += ck * x0;
            a1 += ck * x1;
            a2 += ck * x2;
            a3 += ck * x3;
        }
        a0 *= gain;
        a1 *= gain;
        a2 *= gain;
        a3 *= gain;
        double* o = out + 2 * i;
        std::memcpy(o, &a0, sizeof a0);
        std::memcpy(o + 4, &a1, sizeof a1);
        std::memcpy(o + 8, &a2, sizeof a2);
        std::memcpy(o + 12, &a3, sizeof a3);
    }
    for (; i < last; ++i) {
        double l = 0.0, r = 0.0;
        const double* x = in + 2 * i;
        for (unsigned int k = 0; k < taps; ++k) {
            l += c[k] * x[2 * k];
            r += c[k] * x[2 * k + 1];
        }
        out[2 * i] = l * gain;
        out[2 * i + 1] = r * gain;
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2,fma"))) void convolveAvx(const double* c, unsigned int taps, const double* in,
                                                      double* out, long first, long last, double gain)
{
    convolveRange(c, taps, in, out, first, last, gain);
}
#endif

void convolvePortable(const double* c, unsigned int taps, const double* in, double* out, long first, long last,
                      double gain)
{
    convolveRange(c, taps, in, out, first, last, gain);
}

} // namespace

SoundAlgoEqFIR::SoundAlgoEqFIR(SoundTools::FilterType type, double f1, double f2)
    : mType(type)
    , mF1(f1)
    , mF2(f2)
    , mSchedule(std::make_unique<vexa::detail::AdaptiveParallel>())
{
}

SoundAlgoEqFIR::~SoundAlgoEqFIR() = default;

void SoundAlgoEqFIR::setDesign(double transitionHz, double attenuationDb)
{
    mTransitionHz = transitionHz > 0.0 && std::isfinite(transitionHz) ? transitionHz : 0.0;
    mStopDeviation = attenuationDb > 0.0 && std::isfinite(attenuationDb) ? std::pow(10.0, -attenuationDb / 20.0) : 0.01;
}

void SoundAlgoEqFIR::SetOutputGain(double gainDb)
{
    mGain = std::pow(10.0, gainDb / 20.0);
}

double SoundAlgoEqFIR::estimateLength(double fs, double* transition) const
{
    double tw = (mType == SoundTools::LowPass || mType == SoundTools::BandStop) ? 2.0 * mF1 / fs : mF1 / (2.0 * fs);
    if (mTransitionHz > 0.0)
        tw = mTransitionHz / fs;
    if (transition)
        *transition = tw;
    if (!(tw > 0.0) || !std::isfinite(tw))
        return 0.0;
    const double estimate = std::floor((-10.0 * std::log10(kPassDeviation * mStopDeviation) - 13.0) / (14.6 * tw) + 0.5) + 1.0;
    // Kaiser's estimate falls a little short of a design asked for: a tenth
    // more taps meet it.
    return mTransitionHz > 0.0 ? std::ceil(1.1 * estimate) : estimate;
}

unsigned int SoundAlgoEqFIR::getLength(unsigned int sampleRate) const
{
    if (!supported(mType) || sampleRate == 0)
        return 0;
    const double estimate = estimateLength(sampleRate, nullptr);
    if (!(estimate >= 1.0) || estimate > kMaxLength)
        return 0;
    unsigned int n = static_cast<unsigned int>(estimate);
    // An even length with even symmetry has a zero at the Nyquist frequency:
    // filters that pass it (high pass, band stop) need an odd length.
    if ((mType == SoundTools::HighPass || mType == SoundTools::BandStop) && n % 2 == 0)
        ++n;
    return n;
}

void SoundAlgoEqFIR::InitStaticParams(double fs)
{
    estimateLength(fs, &mTw);
    mF1n = std::min(mF1 / fs, 0.5);
    mF2n = std::min(mF2 / fs, 0.5);
    mStopWeight = kPassDeviation / mStopDeviation;
    mN = getLength(static_cast<unsigned int>(fs));
}

unsigned int SoundAlgoEqFIR::getDelay(unsigned int sampleRate) const
{
    const unsigned int n = getLength(sampleRate);
    return n > 0 ? n - 1 : 0;
}

unsigned int SoundAlgoEqFIR::getLatency(unsigned int sampleRate) const
{
    return getDelay(sampleRate) / 2;
}

unsigned int SoundAlgoEqFIR::getInOverlap(unsigned int sampleRate) const
{
    return getDelay(sampleRate);
}

std::vector<double> SoundAlgoEqFIR::getTaps() const
{
    return std::vector<double>(mCoefs.rbegin(), mCoefs.rend());
}

SoundTools::Status SoundAlgoEqFIR::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mCoefs.clear();
    if (!supported(mType)) {
        QMessageLogger().critical("Unsupported FIR mode :%d", static_cast<int>(mType));
        return SoundTools::StatusError;
    }
    const double fs = ctx.sampleRate;
    if (!(mF1 > 0.0) || !std::isfinite(mF1) || !std::isfinite(mF2) || ctx.sampleRate == 0) {
        return failWith(QStringLiteral("the first frequency must be positive (%1 Hz)").arg(mF1), "SoundAlgoEqFIR::initProcess");
    }
    InitStaticParams(fs);
    if (isDebug())
        getOStream() << "FIR lenght = " << mN << std::endl;
    if (mN == 0) {
        return failWith(QStringLiteral("a filter at %1 Hz needs %2 taps, more than %3")
                     .arg(mF1)
                     .arg(estimateLength(fs, nullptr))
                     .arg(kMaxLength),
                 "SoundAlgoEqFIR::initProcess");
    }

    // Types were checked above: every one left has a band layout.
    vexa::detail::BandLayout bands;
    vexa::detail::bandsForFilter(mType, mF1n, mF2n, mTw, mStopWeight, bands);
    // Edges beyond the Nyquist frequency are brought back to it and bands
    // left without width dropped; what remains must not overlap.
    if (!vexa::detail::tidyBands(bands)) {
        return failWith(QStringLiteral("the frequencies %1 Hz and %2 Hz give overlapping bands").arg(mF1).arg(mF2),
                        "SoundAlgoEqFIR::initProcess");
    }
    std::vector<double> h(mN);
    const auto result = vexa::detail::remezDesign(h.data(), static_cast<int>(mN), bands.bandCount(),
                                                        bands.edges.data(), bands.desired.data(),
                                                        bands.weights.data(), 1);
    if (result == vexa::detail::RemezResult::BadBands) {
        return failWith(QStringLiteral("no filter of %1 taps fits the bands of %2 Hz and %3 Hz").arg(mN).arg(mF1).arg(mF2),
                        "SoundAlgoEqFIR::initProcess");
    }
    // Stored reversed, so that the convolution walks taps and input together.
    mCoefs.assign(h.rbegin(), h.rend());
    return SoundAlgo::initProcess(ctx, prev, next);
}

void SoundAlgoEqFIR::endProcess(int status, unsigned int frameNbProcessed)
{
    mCoefs.clear();
    mCoefs.shrink_to_fit();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundAlgoEqFIR::process()
{
    if (mCoefs.empty() || mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    // Output frame p (from the output origin on) is sum_j h[j] x[p - j], with
    // p - (N - 1) at the input origin for the first one.
    const long count = static_cast<long>(getOutFrameNb());
    if (count <= 0)
        return SoundTools::StatusOk;
    const double* in = mInBuffers[0]->getFrame(getInOrigin());
    double* out = mOutBuffers[0]->getFrame(getOutOrigin());
    if (!in || !out)
        return SoundTools::StatusError;
    const double* c = mCoefs.data();
    const unsigned int taps = static_cast<unsigned int>(mCoefs.size());
    const double gain = mGain;
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    auto kernel = avx ? convolveAvx : convolvePortable;
#else
    // Other processors: the portable build of the same loop.
    auto kernel = convolvePortable;
#endif

    // Groups of eight frames, divided among the threads while that is
    // measured to pay; short blocks and short filters stay on one thread.
    const long groups = (count + 7) / 8;
    const long long work = static_cast<long long>(count) * taps;
    const auto convolve = [&](bool parallel) {
#pragma omp parallel for schedule(static) if (parallel)
        for (long g = 0; g < groups; ++g)
            kernel(c, taps, in, out, 8 * g, std::min(count, 8 * g + 8), gain);
    };
    if (work >= kParallelWork)
        mSchedule->run(static_cast<double>(work), convolve);
    else
        convolve(false);
    return SoundTools::StatusOk;
}
