#include "SoundAlgoEqFFT.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"

SoundAlgoEqFFT::SoundAlgoEqFFT(SoundTools::FilterType type, double freq1, double freq2, unsigned int size)
    : SoundAlgoComposite(QString(), true)
    , mFilter(new SoundAlgoFFTFilter(type, freq1, freq2))
    , mSize(size)
{
    pushAlgo(new SoundAlgoFFTDirectCompute(size, true, false));
    pushAlgo(mFilter);
    pushAlgo(new SoundAlgoFFTInverseCompute(false));
    setReadOnly();
}

SoundAlgoEqFFT::~SoundAlgoEqFFT() = default;

void SoundAlgoEqFFT::setDesign(double transitionHz, double attenuationDb)
{
    mFilter->setDesign(transitionHz, attenuationDb);
}

unsigned int SoundAlgoEqFFT::getTapCount(unsigned int sampleRate, bool unlimited) const
{
    if (unlimited)
        return mFilter->getTapCount(0, sampleRate);
    // The direct transform rounds the size down to a power of two.
    unsigned int n = 1;
    while (n * 2 <= mSize)
        n *= 2;
    return mFilter->getTapCount(n, sampleRate);
}
