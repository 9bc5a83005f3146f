#include "SoundAlgoFilterMultibandAmplifier.h"

#include "FrequencyRMSAmplifierBuilder.h"

SoundAlgoFilterMultibandAmplifier::SoundAlgoFilterMultibandAmplifier(
    const std::vector<double>& crossovers, double levelDb, double lookAheadTime, double releaseTime,
    double transitionTime, RMSStepDetector* detector, bool biquad, int dynamicsDivisor, double toleranceDb,
    const std::vector<double>& bandLevels)
    : SoundAlgoMultibandAmplifier("SoundAlgoFilterMultibandAmplifier", true)
{
    if (crossovers.empty())
        return;
    FrequencyRMSAmplifierBuilder builder(bandLevels, levelDb, lookAheadTime, releaseTime, transitionTime, toleranceDb,
                                         detector, dynamicsDivisor, static_cast<int>(crossovers.size()), this);
    buildMultibandTree(crossovers, builder, biquad);
    mFinalLimiter = new SoundAlgoLimiter(-0.3, lookAheadTime, releaseTime, nullptr);
    pushAlgo(mFinalLimiter);
}

SoundAlgoFilterMultibandAmplifier::~SoundAlgoFilterMultibandAmplifier() = default;
