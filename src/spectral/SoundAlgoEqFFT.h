// A linear-phase FIR equalizer run by FFT overlap-add: a composite of a
// direct FFT node (overlapping, no window), an FFT filter and an inverse FFT
// node. See SoundAlgoFFTFilter for the filter; N is the transform size
// (rounded down to a power of two). The composite is closed: nodes pushed
// into it later are ignored.
#ifndef VEXA_SOUNDALGOEQFFT_H
#define VEXA_SOUNDALGOEQFFT_H

#include "SoundAlgoComposite.h"
#include "SoundTools.h"
#include "vexa_export.h"

class SoundAlgoFFTFilter;

class VEXA_EXPORT SoundAlgoEqFFT : public SoundAlgoComposite {
    Q_OBJECT

public:
    SoundAlgoEqFFT(SoundTools::FilterType type, double freq1, double freq2, unsigned int size);
    ~SoundAlgoEqFFT() override;

    // The filter's design: transition width in Hz, stop-band attenuation in
    // dB (see SoundAlgoFFTFilter::setDesign).
    void setDesign(double transitionHz, double attenuationDb);
    // Taps of the design at a sample rate, for this transform size; what the
    // design needs, without the limit of N/2, with `unlimited`.
    unsigned int getTapCount(unsigned int sampleRate, bool unlimited = false) const;

private:
    SoundAlgoFFTFilter* mFilter;
    unsigned int mSize;
};

#endif
