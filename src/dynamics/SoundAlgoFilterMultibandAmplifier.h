// Multiband amplifier over a tree of recursive crossovers: the bands between
// the crossover frequencies are levelled separately (RMS amplifier, then a
// limiter in every band but the highest), added back, and the sum goes
// through a final limiter 0.3 dB below full scale.
#ifndef VEXA_SOUNDALGOFILTERMULTIBANDAMPLIFIER_H
#define VEXA_SOUNDALGOFILTERMULTIBANDAMPLIFIER_H

#include "SoundAlgoMultibandAmplifier.h"
#include "vexa_export.h"

#include <vector>

class RMSStepDetector;

class VEXA_EXPORT SoundAlgoFilterMultibandAmplifier : public SoundAlgoMultibandAmplifier {
    Q_OBJECT

public:
    // crossovers: ascending frequencies in Hz (none: an empty composite);
    // biquad: second-order crossovers instead of first-order ones;
    // bandLevels: per-band offsets in dB (may be empty).
    SoundAlgoFilterMultibandAmplifier(const std::vector<double>& crossovers, double levelDb, double lookAheadTime,
                                      double releaseTime, double transitionTime, RMSStepDetector* detector, bool biquad,
                                      int dynamicsDivisor, double toleranceDb, const std::vector<double>& bandLevels);

    // The limiter on the summed bands (not a band limiter), or null.
    SoundAlgoLimiter* getFinalLimiter() const { return mFinalLimiter; }

protected:
    ~SoundAlgoFilterMultibandAmplifier() override;

private:
    SoundAlgoLimiter* mFinalLimiter = nullptr;
};

#endif
