// Multiband amplifier split in the frequency domain: the spectrum is
// computed once, each band is cut out by an FFT band filter and brought back
// to the time domain in a branch of its own, levelled (RMS amplifier, then a
// limiter) when the level is not 0 dB, and the bands are added back (or
// output side by side). The lower edge of every band but the first lies
// 150 Hz above its crossover frequency.
#ifndef VEXA_SOUNDALGOFFTMULTIBANDAMPLIFIER_H
#define VEXA_SOUNDALGOFFTMULTIBANDAMPLIFIER_H

#include "SoundAlgoMultibandAmplifier.h"
#include "vexa_export.h"

#include <vector>

class RMSStepDetector;

class VEXA_EXPORT SoundAlgoFFTMultibandAmplifier : public SoundAlgoMultibandAmplifier {
    Q_OBJECT

public:
    // crossovers: ascending frequencies in Hz (none: an empty composite).
    // The release time also serves as the amplifiers' transition time.
    // sumBands: add the bands back into one signal (and limit the sum when
    // the level is not 0 dB); otherwise the bands are output side by side.
    SoundAlgoFFTMultibandAmplifier(const std::vector<double>& crossovers, double levelDb, double lookAheadTime,
                                   double releaseTime, RMSStepDetector* detector, unsigned int fftSize, bool sumBands);

protected:
    ~SoundAlgoFFTMultibandAmplifier() override;
};

#endif
