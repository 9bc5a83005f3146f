#include "MemoryWriter.h"

#include <algorithm>

MemoryWriter::MemoryWriter(unsigned int sampleRate, unsigned int channels)
    : SoundWriter(sampleRate)
    , mChannels(channels)
{
}

unsigned int MemoryWriter::write(unsigned int frames, double* src)
{
    const unsigned int stored = std::min(frames, mFailAfter - std::min(mFailAfter, static_cast<unsigned int>(frameCount())));
    samples.insert(samples.end(), src, src + static_cast<size_t>(stored) * mChannels);
    callSizes.push_back(frames);
    return stored;
}
