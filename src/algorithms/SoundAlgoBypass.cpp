#include "SoundAlgoBypass.h"

#include <algorithm>
#include <cstring>

SoundAlgoBypass::SoundAlgoBypass(unsigned int inOverlap, unsigned int delay, unsigned int outOverlap)
    : mInOverlap(inOverlap)
    , mOutOverlap(outOverlap)
    , mDelay(delay)
{
}

SoundAlgoBypass::~SoundAlgoBypass() = default;

unsigned int SoundAlgoBypass::getDelay(unsigned int) const
{
    return mDelay;
}

unsigned int SoundAlgoBypass::getInOverlap(unsigned int) const
{
    return mInOverlap;
}

unsigned int SoundAlgoBypass::getOutOverlap(unsigned int) const
{
    return mOutOverlap;
}

SoundTools::Status SoundAlgoBypass::process()
{
    if (getOutputNumber() != getInputNumber())
        return SoundTools::StatusError;
    const unsigned int n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const int inOrigin = getInOrigin();
    const int outOrigin = getOutOrigin();
    // With an out overlap the output block is longer than the input: its
    // unfinished tail has no input yet and stays silent until the next block
    // writes it.
    const unsigned int copied = std::min(n, getInFrameNb());
    for (size_t i = 0; i < mInBuffers.size(); ++i) {
        double* out = mOutBuffers[i]->getFrame(outOrigin);
        std::memcpy(out, mInBuffers[i]->getFrame(inOrigin), static_cast<size_t>(copied) * 2 * sizeof(double));
        std::memset(out + 2 * static_cast<size_t>(copied), 0, static_cast<size_t>(n - copied) * 2 * sizeof(double));
    }
    return SoundTools::StatusOk;
}
