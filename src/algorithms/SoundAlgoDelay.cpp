#include "SoundAlgoDelay.h"

#include <cmath>
#include <cstring>

SoundAlgoDelay::SoundAlgoDelay(double seconds, bool overlapMode)
    : mSeconds(seconds)
    , mOverlapMode(overlapMode)
{
}

SoundAlgoDelay::~SoundAlgoDelay() = default;

unsigned int SoundAlgoDelay::delayFrames(unsigned int sampleRate) const
{
    const double frames = std::floor(sampleRate * mSeconds + 0.5);
    return frames > 0.0 ? static_cast<unsigned int>(frames) : 0u;
}

unsigned int SoundAlgoDelay::getDelay(unsigned int sampleRate) const
{
    return mOverlapMode ? 0u : delayFrames(sampleRate);
}

unsigned int SoundAlgoDelay::getSampleShift(unsigned int sampleRate) const
{
    return mOverlapMode ? delayFrames(sampleRate) : 0u;
}

unsigned int SoundAlgoDelay::getOutOverlap(unsigned int sampleRate) const
{
    return mOverlapMode ? delayFrames(sampleRate) : 0u;
}

SoundTools::Status SoundAlgoDelay::process()
{
    const unsigned int n = getOutFrameNb();
    if (mOverlapMode) {
        // The output starts d frames before the input: the first d frames
        // are the previous block's tail, the rest is the input itself.
        const unsigned int d = delayFrames(mSampleRate);
        if (n <= d)
            return SoundTools::StatusOk;
        const int origin = getInOrigin();
        std::memcpy(mOutBuffers[0]->getFrame(origin), mInBuffers[0]->getFrame(origin),
                    static_cast<size_t>(n - d) * 2 * sizeof(double));
        return SoundTools::StatusOk;
    }
    if (n == 0)
        return SoundTools::StatusOk;
    std::memcpy(mOutBuffers[0]->getFrame(getOutOrigin()), mInBuffers[0]->getFrame(getInOrigin()),
                static_cast<size_t>(n) * 2 * sizeof(double));
    return SoundTools::StatusOk;
}
