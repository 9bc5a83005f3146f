// Replaces every bin of every FFT frame by its power (|X|^2, imaginary part
// 0): the inverse transform of the result is the autocorrelation of the
// frame's samples. With overlapping, zero-padded frames it is the linear
// autocorrelation of each N/2-sample block, which an inverse node fed by this
// node normalises lag by lag.
#ifndef VEXA_SOUNDFFTAUTOCORREL_H
#define VEXA_SOUNDFFTAUTOCORREL_H

#include "SoundAlgoFFT.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundFFTAutocorrel : public SoundAlgoFFT {
    Q_OBJECT

public:
    SoundFFTAutocorrel();

    SoundTools::Status process() override;

protected:
    // Lives inside a composite, which releases it.
    ~SoundFFTAutocorrel() override;
};

#endif
