#include "SoundAlgoBypass.h"

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
    for (size_t i = 0; i < mInBuffers.size(); ++i) {
        std::memcpy(mOutBuffers[i]->getFrame(outOrigin), mInBuffers[i]->getFrame(inOrigin),
                    static_cast<size_t>(n) * 2 * sizeof(double));
    }
    return SoundTools::StatusOk;
}
