#include "SoundAlgoFFTFilter.h"

#include "detail/FFTARadix2.h"
#include "detail/Remez.h"

#include <QMessageLogger>

#include <algorithm>
#include <cmath>
#include <ostream>

namespace {

constexpr double kTransition = 0.005;
const double kPassDeviation = (1.0 - std::pow(10.0, -0.025)) / 2.0;
constexpr double kAttenuationDb = 60.0;

} // namespace

SoundAlgoFFTFilter::SoundAlgoFFTFilter(SoundTools::FilterType type, double freq1, double freq2)
    : mFreq1(freq1)
    , mFreq2(freq2)
    , mType(type)
{
}

SoundAlgoFFTFilter::~SoundAlgoFFTFilter() = default;

SoundTools::Status SoundAlgoFFTFilter::onInitInputBuffer()
{
    return FillFilter() ? SoundTools::StatusOk : SoundTools::StatusError;
}

void SoundAlgoFFTFilter::endProcess(int status, unsigned int frameNbProcessed)
{
    mResponse.clear();
    mResponse.shrink_to_fit();
    mTaps.clear();
    mTaps.shrink_to_fit();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

void SoundAlgoFFTFilter::setDesign(double transitionHz, double attenuationDb)
{
    mTransitionHz = transitionHz > 0 ? transitionHz : 0.0;
    mAttenuationDb = attenuationDb > 0 ? attenuationDb : kAttenuationDb;
}

double SoundAlgoFFTFilter::transition(unsigned int sampleRate) const
{
    return mTransitionHz > 0 && sampleRate > 0 ? mTransitionHz / sampleRate : kTransition;
}

unsigned int SoundAlgoFFTFilter::getTapCount(unsigned int size, unsigned int sampleRate) const
{
    // Kaiser's estimate for the deviations and the transition, made odd;
    // then no more than N/2 taps, so that a frame's N/2 samples convolved
    // with the taps fit in the N of the transform. Filters that pass the
    // Nyquist frequency keep an odd count under that limit (an even
    // symmetric filter of even length is zero there).
    const double stopDeviation = std::pow(10.0, -mAttenuationDb / 20.0);
    double estimate =
        std::floor((-10.0 * std::log10(kPassDeviation * stopDeviation) - 13.0) / (14.6 * transition(sampleRate)) + 0.5);
    // The estimate falls a little short of a design asked for: a tenth more
    // taps meet it.
    if (mTransitionHz > 0)
        estimate = std::ceil(1.1 * (estimate + 1)) - 1;
    unsigned int taps = static_cast<unsigned int>(estimate) + 1;
    if (taps % 2 == 0)
        ++taps;
    if (size > 0)
        taps = std::min(taps, size / 2);
    if ((mType == SoundTools::HighPass || mType == SoundTools::BandStop) && taps % 2 == 0)
        --taps;
    return taps;
}

unsigned int SoundAlgoFFTFilter::getLatency(unsigned int sampleRate) const
{
    const unsigned int taps = mSize > 0 ? getTapCount(mSize, sampleRate) : 0u;
    return taps > 0 ? (taps - 1) / 2 : 0u;
}

bool SoundAlgoFFTFilter::FillFilter()
{
    if (!mResponse.empty())
        return true;
    const double fs = mSampleRate;
    const double stopWeight = kPassDeviation / std::pow(10.0, -mAttenuationDb / 20.0);
    double f1 = mFreq1 / fs;
    if (isDebug())
        getOStream() << "FillFilter Low Freq" << mFreq1 << ";" << f1 << " " << fs << "\n";
    // No edge below the transition width (0.005 of the sample rate by
    // default): a band there would have no room.
    const double lowest = transition(mSampleRate);
    f1 = std::min(std::max(f1, lowest), 0.5);
    double f2 = mFreq2 / fs;
    if (isDebug())
        getOStream() << "FillFilter Hi Freq" << mFreq2 << ";" << f2 << " " << fs << "\n";
    f2 = std::min(std::max(f2, lowest), 0.5);

    const unsigned int taps = getTapCount(mSize, mSampleRate);

    vexa::detail::BandLayout bands;
    if (!vexa::detail::bandsForFilter(mType, f1, f2, transition(mSampleRate), stopWeight, bands)) {
        QMessageLogger().critical("Unsupported FFT Eq mode :%d", static_cast<int>(mType));
        return false;
    }
    // Edges beyond the Nyquist frequency come back to it and bands without
    // width are dropped (a low pass at the Nyquist frequency has no stop
    // band left: it passes everything).
    if (taps == 0 || !vexa::detail::tidyBands(bands)) {
        setError(QStringLiteral("the frequencies %1 Hz and %2 Hz give overlapping bands").arg(mFreq1).arg(mFreq2),
                 "SoundAlgoFFTFilter::FillFilter");
        return false;
    }
    std::vector<double> h(mSize, 0.0);
    const auto result = vexa::detail::remezDesign(h.data(), static_cast<int>(taps), bands.bandCount(),
                                                        bands.edges.data(), bands.desired.data(),
                                                        bands.weights.data(), 1);
    if (result == vexa::detail::RemezResult::BadBands) {
        setError(QStringLiteral("no filter of %1 taps fits the bands of %2 Hz and %3 Hz").arg(taps).arg(mFreq1).arg(mFreq2),
                 "SoundAlgoFFTFilter::FillFilter");
        return false;
    }
    mTaps.assign(h.begin(), h.begin() + taps);
    mResponse.assign(2 * (static_cast<size_t>(mSize) / 2 + 1), 0.0);
    vexa::detail::FFTARadix2 engine(static_cast<int>(mSize));
    engine.realForward(h.data(), mResponse.data());
    return true;
}

SoundTools::Status SoundAlgoFFTFilter::process()
{
    if (mResponse.empty())
        return SoundTools::StatusError;
    const double* h = mResponse.data();
    const unsigned int bins = getFFTSampleSize();
    return forEachSpectrum([h, bins](const double* x, double* y) {
        for (unsigned int b = 0; b < bins; ++b) {
            const double hr = h[2 * b], hi = h[2 * b + 1];
            const double xr = x[2 * b], xi = x[2 * b + 1];
            y[2 * b] = hr * xr - hi * xi;
            y[2 * b + 1] = hi * xr + hr * xi;
        }
    });
}
