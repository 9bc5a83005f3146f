#include "BiquadClipFilter.h"

#include "detail/Units.h"

#include <QLoggingCategory>
#include <QMessageLogger>

#include <algorithm>
#include <cmath>

namespace SoundTools {

BiquadClipFilter::BiquadClipFilter(const double* b, const double* a)
    : BiquadFilter(b, a)
    , mRampStep(0.0)
    , mRampLeft(0)
    , mRampTarget(1.0)
{
}

void BiquadClipFilter::setGain(double gain)
{
    if (gain == mGain)
        return;
    mRampLeft = kRampFrames;
    mRampStep = (gain - mGain) / kRampFrames;
    mRampTarget = gain;
}

void BiquadClipFilter::filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n)
{
    if (n == 0)
        return;
    // The recurrence does not depend on the gain: run it at unity over the
    // whole block, then apply the gain frame by frame.
    filterWithGain(in, out, n, 1.0);

    for (unsigned int i = 0; i < n; ++i) {
        const StereoFrame<double> y = out[i];
        if (mRampLeft > 0) {
            mGain += mRampStep;
            if (--mRampLeft == 0)
                mGain = mRampTarget;
        }
        out[i] = StereoFrame<double>{y.left * mGain, y.right * mGain};
        const double peak = std::max(std::fabs(out[i].left), std::fabs(out[i].right));
        if (!(peak > 1.0))
            continue;

        if (QLoggingCategory::defaultCategory()->isDebugEnabled())
            QMessageLogger().debug() << "clipping : " << vexa::detail::amplitudeToDb(mGain) << "dB";

        // Gain that puts this frame at 0.8 of full scale. It keeps the sign
        // of the current gain, so that an inverting filter stays inverting.
        const double target = std::copysign(0.8 / std::max(std::fabs(y.left), std::fabs(y.right)), mGain);
        const unsigned int m = std::min(i, kMaxLookBack);
        if (m > 0) {
            // Bend the frames i-m .. i of this call from unchanged to the
            // new gain.
            const double step = (target - mGain) / m;
            for (unsigned int j = 0; j <= m; ++j) {
                StereoFrame<double>& o = out[i - m + j];
                const double factor = (mGain + j * step) / mGain;
                o.left *= factor;
                o.right *= factor;
            }
            mGain = target;
        }
        mRampLeft = 0;
    }
}

} // namespace SoundTools
