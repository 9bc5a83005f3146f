#include "SoundAlgoEqFFT.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"

SoundAlgoEqFFT::SoundAlgoEqFFT(SoundTools::FilterType type, double freq1, double freq2, unsigned int size)
    : SoundAlgoComposite(QString(), true)
{
    pushAlgo(new SoundAlgoFFTDirectCompute(size, true, false));
    pushAlgo(new SoundAlgoFFTFilter(type, freq1, freq2));
    pushAlgo(new SoundAlgoFFTInverseCompute(false));
    setReadOnly();
}

SoundAlgoEqFFT::~SoundAlgoEqFFT() = default;
