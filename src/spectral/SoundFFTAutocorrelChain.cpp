#include "SoundFFTAutocorrelChain.h"

#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundFFTAutocorrel.h"

SoundFFTAutocorrelChain::SoundFFTAutocorrelChain(unsigned int size)
    : SoundAlgoComposite(QString(), true)
{
    pushAlgo(new SoundAlgoFFTDirectCompute(size, true, false));
    pushAlgo(new SoundFFTAutocorrel());
    pushAlgo(new SoundAlgoFFTInverseCompute(false));
    setReadOnly();
}

SoundFFTAutocorrelChain::~SoundFFTAutocorrelChain() = default;
