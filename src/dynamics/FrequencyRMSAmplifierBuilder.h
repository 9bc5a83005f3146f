// Fills the bands of a multiband tree with level nodes: an RMS amplifier
// driven by a shared step detector, followed by a look-ahead limiter in the
// bands below `limitedBands`. The nodes are registered with the owning
// multiband amplifier so that its level interface reaches them.
#ifndef VEXA_FREQUENCYRMSAMPLIFIERBUILDER_H
#define VEXA_FREQUENCYRMSAMPLIFIERBUILDER_H

#include "SoundAlgoComposite.h"
#include "vexa_export.h"

#include <vector>

class RMSStepDetector;
class SoundAlgoMultibandAmplifier;

class VEXA_EXPORT FrequencyRMSAmplifierBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    // bandLevels: per-band offsets in dB added to levelDb (may be empty).
    FrequencyRMSAmplifierBuilder(std::vector<double> bandLevels, double levelDb, double lookAheadTime, double releaseTime,
                                 double transitionTime, double toleranceDb, RMSStepDetector* detector,
                                 int dynamicsDivisor, int limitedBands, SoundAlgoMultibandAmplifier* owner);

    void buildAlgo(SoundAlgoComposite* target, int band, const QString& name) override;

private:
    std::vector<double> mBandLevels;
    double mLevel;
    double mLookAheadTime;
    double mReleaseTime;
    double mTransitionTime;
    double mTolerance;
    RMSStepDetector* mDetector;
    int mDynamicsDivisor;
    int mLimitedBands;
    SoundAlgoMultibandAmplifier* mOwner;
};

#endif
