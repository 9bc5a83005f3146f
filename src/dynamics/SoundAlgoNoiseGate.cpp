#include "SoundAlgoNoiseGate.h"

#include "detail/LevelText.h"

#include <algorithm>
#include <cmath>
#include <limits>

SoundAlgoNoiseGate::SoundAlgoNoiseGate(double thresholdDb, double fadeTime, double windowTime)
    : mFadeTime(fadeTime)
    , mWindowTime(windowTime)
    , mThreshold(vexa::detail::fromDb(thresholdDb))
{
}

SoundAlgoNoiseGate::~SoundAlgoNoiseGate() = default;

void SoundAlgoNoiseGate::SetThreshold(double thresholdDb)
{
    mThreshold = vexa::detail::fromDb(thresholdDb);
}

unsigned int SoundAlgoNoiseGate::getDelay(unsigned int sampleRate) const
{
    return static_cast<unsigned int>(std::max(vexa::detail::framesOf(sampleRate, mWindowTime), 0)) / 2;
}

unsigned int SoundAlgoNoiseGate::getInOverlap(unsigned int sampleRate) const
{
    return static_cast<unsigned int>(std::max(vexa::detail::framesOf(sampleRate, mWindowTime), 0)) | 1u;
}

SoundTools::Status SoundAlgoNoiseGate::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mGain = 1.0;
    const int fadeFrames = vexa::detail::framesOf(ctx.sampleRate, mFadeTime);
    // A fade shorter than a frame closes the gate on the first quiet frame.
    mGainStep = fadeFrames > 0 ? 1.0 / fadeFrames : std::numeric_limits<double>::infinity();
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundAlgoNoiseGate::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    const int w = static_cast<int>(getInOverlap(mSampleRate));
    const SoundTools::StereoFrame<double>* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    SoundTools::StereoFrame<double>* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());

    // Compared as mean squares; the tolerance keeps a signal sitting exactly
    // at the threshold above it despite the rounding of the running sums.
    const double threshold2 = mThreshold * mThreshold * (1.0 - 1e-9);
    const double invW = 1.0 / w;
    double sumL = 0.0;
    double sumR = 0.0;
    for (int k = 0; k < w - 1; ++k) {
        sumL += in[k].left * in[k].left;
        sumR += in[k].right * in[k].right;
    }
    double gain = mGain;
    const double step = mGainStep;
    for (int i = 0; i < n; ++i) {
        const SoundTools::StereoFrame<double> ahead = in[i + w - 1];
        sumL += ahead.left * ahead.left;
        sumR += ahead.right * ahead.right;
        const double ms = std::max(sumL, sumR) * invW;
        if (ms >= threshold2) {
            gain = 1.0;
        } else {
            gain -= step;
            if (!(gain >= 0.0))
                gain = 0.0;
        }
        const SoundTools::StereoFrame<double> x = in[i];
        out[i].left = x.left * gain;
        out[i].right = x.right * gain;
        sumL = std::max(sumL - x.left * x.left, 0.0);
        sumR = std::max(sumR - x.right * x.right, 0.0);
    }
    mGain = gain;
    return SoundTools::StatusOk;
}
