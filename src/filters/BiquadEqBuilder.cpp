#include "BiquadEqBuilder.h"

#include "detail/Units.h"

#include "BiquadClipFilter.h"

#include <QMessageLogger>

#include <algorithm>
#include <cmath>

namespace SoundTools {

namespace {

const double kHalfLn2 = 0.5 * std::log(2.0);

// Lowest frequency (Hz) and narrowest bandwidth (octaves) a band is computed
// for. Below them the cookbook formulas degenerate: at 0 Hz sin(w0) is 0 and
// the coefficients are NaN, and a zero or negative bandwidth puts the poles
// on or outside the unit circle.
constexpr double kMinFreq = 1.0;
constexpr double kMinWidth = 0.0001;
constexpr double kMaxBandEqWidth = 4.0;
constexpr double kMaxShelfSlope = 1.0;

double limited(double v, double lo, double hi)
{
    return std::min(std::max(v, lo), hi);
}

} // namespace

BiquadEqBuilder::BiquadEqBuilder(FilterType type, double freq, double width, double gain)
    : mType(type)
    , mFreq(freq)
    , mWidth(width)
    , mGain(gain)
{
}

BiquadEqBuilder::~BiquadEqBuilder() = default;

void BiquadEqBuilder::init(unsigned int sampleRate)
{
    const double fs = sampleRate;
    const double f = limited(mFreq, kMinFreq, fs / 2.0);
    // A band whose frequency cannot be represented passes everything.
    if (2.0 * mFreq + 1.0 >= fs || 2.0 * f + 1.0 >= fs) {
        mB0 = 1.0;
        mB1 = mB2 = mA1 = mA2 = 0.0;
        return;
    }
    const double w0 = 2.0 * vexa::detail::kPi * f / fs;
    const double cs = std::cos(w0);
    const double sn = std::sin(w0);

    switch (mType) {
    case LowPass:
    case BandPass:
    case HighPass: {
        const double bw = std::max(mWidth, kMinWidth);
        const double alpha = sn * std::sinh(kHalfLn2 * bw * w0 / sn);
        const double a0 = 1.0 + alpha;
        if (mType == LowPass) {
            mB0 = mB2 = (1.0 - cs) / 2.0 / a0;
            mB1 = (1.0 - cs) / a0;
        } else if (mType == HighPass) {
            mB0 = mB2 = (1.0 + cs) / 2.0 / a0;
            mB1 = -(1.0 + cs) / a0;
        } else {
            mB0 = alpha / a0;
            mB1 = 0.0;
            mB2 = -alpha / a0;
        }
        mA1 = -2.0 * cs / a0;
        mA2 = (1.0 - alpha) / a0;
        break;
    }
    case BandEq: {
        const double A = std::pow(10.0, mGain * 0.025);
        const double bw = limited(mWidth, kMinWidth, kMaxBandEqWidth);
        const double alpha = sn * std::sinh(kHalfLn2 * bw * w0 / sn);
        const double a0 = 1.0 + alpha / A;
        mB0 = (1.0 + alpha * A) / a0;
        mB1 = mA1 = -2.0 * cs / a0;
        mB2 = (1.0 - alpha * A) / a0;
        mA2 = (1.0 - alpha / A) / a0;
        break;
    }
    case LowShelf:
    case HighShelf: {
        const double A = std::pow(10.0, mGain * 0.025);
        const double S = limited(mWidth, kMinWidth, kMaxShelfSlope);
        // 2 sqrt(A) alpha of the cookbook's slope form.
        const double beta = sn * std::sqrt((A * A + 1.0) / S - (A - 1.0) * (A - 1.0));
        if (mType == LowShelf) {
            const double a0 = (A + 1.0) + (A - 1.0) * cs + beta;
            mB0 = A * ((A + 1.0) - (A - 1.0) * cs + beta) / a0;
            mB1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * cs) / a0;
            mB2 = A * ((A + 1.0) - (A - 1.0) * cs - beta) / a0;
            mA1 = -2.0 * ((A - 1.0) + (A + 1.0) * cs) / a0;
            mA2 = ((A + 1.0) + (A - 1.0) * cs - beta) / a0;
        } else {
            const double a0 = (A + 1.0) - (A - 1.0) * cs + beta;
            mB0 = A * ((A + 1.0) + (A - 1.0) * cs + beta) / a0;
            mB1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * cs) / a0;
            mB2 = A * ((A + 1.0) + (A - 1.0) * cs - beta) / a0;
            mA1 = 2.0 * ((A - 1.0) - (A + 1.0) * cs) / a0;
            mA2 = ((A + 1.0) - (A - 1.0) * cs - beta) / a0;
        }
        break;
    }
    default:
        QMessageLogger().critical("Unsupported Biquad Eq mode : %d", static_cast<int>(mType));
        return;
    }

    // Within a few hertz of the Nyquist frequency w0 / sin(w0) grows without
    // bound and sinh overflows: the coefficients come out infinite or NaN, or
    // put a pole on the unit circle. Such a band cannot be represented
    // either, and passes everything like the bands beyond it.
    const bool finite = std::isfinite(mB0) && std::isfinite(mB1) && std::isfinite(mB2) && std::isfinite(mA1) && std::isfinite(mA2);
    if (!finite || !(std::fabs(mA2) < 1.0) || !(std::fabs(mA1) < 1.0 + mA2)) {
        mB0 = 1.0;
        mB1 = mB2 = mA1 = mA2 = 0.0;
    }
}

std::shared_ptr<Filter> BiquadEqBuilder::buildFilter(unsigned int sampleRate)
{
    init(sampleRate);
    const double b[3] = {mB0, mB1, mB2};
    const double a[3] = {1.0, mA1, mA2};
    return std::make_shared<BiquadFilter>(b, a);
}

std::shared_ptr<Filter> BiquadEqBuilder::buildClipFilter(unsigned int sampleRate, double gain)
{
    init(sampleRate);
    const double b[3] = {mB0, mB1, mB2};
    const double a[3] = {1.0, mA1, mA2};
    auto clip = std::make_shared<BiquadClipFilter>(b, a);
    clip->Filter::setGain(gain);
    return clip;
}

} // namespace SoundTools
