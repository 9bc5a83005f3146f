#include "FrequencyRMSAmplifierBuilder.h"

#include "SoundAlgoLimiter.h"
#include "SoundAlgoMultibandAmplifier.h"
#include "SoundAlgoRMSAmplifier.h"

FrequencyRMSAmplifierBuilder::FrequencyRMSAmplifierBuilder(std::vector<double> bandLevels, double levelDb,
                                                           double lookAheadTime, double releaseTime,
                                                           double transitionTime, double toleranceDb,
                                                           RMSStepDetector* detector, int dynamicsDivisor,
                                                           int limitedBands, SoundAlgoMultibandAmplifier* owner)
    : mBandLevels(std::move(bandLevels))
    , mLevel(levelDb)
    , mLookAheadTime(lookAheadTime)
    , mReleaseTime(releaseTime)
    , mTransitionTime(transitionTime)
    , mTolerance(toleranceDb)
    , mDetector(detector)
    , mDynamicsDivisor(dynamicsDivisor)
    , mLimitedBands(limitedBands)
    , mOwner(owner)
{
}

void FrequencyRMSAmplifierBuilder::buildAlgo(SoundAlgoComposite* target, int band, const QString& name)
{
    // A band without its own offset aims at the base level.
    double level = mLevel;
    if (band >= 0 && static_cast<size_t>(band) < mBandLevels.size())
        level += mBandLevels[static_cast<size_t>(band)];
    auto* amplifier = new SoundAlgoRMSAmplifier(level, mDetector, mTransitionTime, mDynamicsDivisor, mTolerance, 30.0);
    amplifier->setId(name);
    target->pushAlgo(amplifier);
    if (mOwner)
        mOwner->pushAmplifier(amplifier);
    if (band < mLimitedBands) {
        auto* limiter = new SoundAlgoLimiter(0.0, mLookAheadTime, mReleaseTime, nullptr);
        if (mOwner)
            mOwner->pushLimiter(limiter);
        limiter->setId(name);
        target->pushAlgo(limiter);
    }
}
