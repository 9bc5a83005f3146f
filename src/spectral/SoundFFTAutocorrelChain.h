// Direct FFT (overlapping, no window), SoundFFTAutocorrel and inverse FFT as
// one closed composite: its output is, block after block of N/2 frames, the
// normalised autocorrelation (lags 0 .. N/2 - 1) of each block of N/2 input
// frames.
#ifndef VEXA_SOUNDFFTAUTOCORRELCHAIN_H
#define VEXA_SOUNDFFTAUTOCORRELCHAIN_H

#include "SoundAlgoComposite.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundFFTAutocorrelChain : public SoundAlgoComposite {
    Q_OBJECT

public:
    explicit SoundFFTAutocorrelChain(unsigned int size = 8192);
    ~SoundFFTAutocorrelChain() override;
};

#endif
