#include "SoundAlgoScale.h"

#include <cmath>

SoundAlgoScale::SoundAlgoScale(double gainDb)
    : mFactor(std::pow(10.0, gainDb / 20.0))
{
}

SoundAlgoScale::~SoundAlgoScale() = default;

SoundTools::Status SoundAlgoScale::process()
{
    const unsigned int n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const double* in = mInBuffers[0]->getFrame(getInOrigin());
    double* out = mOutBuffers[0]->getFrame(getOutOrigin());
    const double f = mFactor;
    for (size_t k = 0; k < 2 * static_cast<size_t>(n); ++k)
        out[k] = f * in[k];
    return SoundTools::StatusOk;
}
