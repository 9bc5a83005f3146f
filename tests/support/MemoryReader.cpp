#include "MemoryReader.h"

#include <algorithm>
#include <cstring>

MemoryReader::MemoryReader(std::vector<SoundTools::StereoFrame<double>> frames, unsigned int sampleRate)
    : mFrames(std::move(frames))
    , mFrameNb(static_cast<unsigned int>(mFrames.size()))
    , mSampleRate(sampleRate)
{
}

MemoryReader::MemoryReader(Generator generator, unsigned int frameNb, unsigned int sampleRate)
    : mGenerator(std::move(generator))
    , mFrameNb(frameNb)
    , mSampleRate(sampleRate)
{
}

SoundTools::Status MemoryReader::open(QString)
{
    resetAtEnd();
    mPosition = 0;
    mOffset = 0;
    return SoundTools::StatusOk;
}

void MemoryReader::rewind()
{
    resetAtEnd();
    mOffset = getStartOffset();
    mPosition = static_cast<unsigned int>(std::min<int>(std::max(mOffset, 0), static_cast<int>(mFrameNb)));
}

unsigned int MemoryReader::read(unsigned int frames, double* dst)
{
    ++mReadCalls;
    unsigned int n = std::min(frames, mFrameNb - mPosition);
    if (mMaxChunk != 0)
        n = std::min(n, mMaxChunk);
    if (mGenerator) {
        for (unsigned int i = 0; i < n; ++i) {
            const auto f = mGenerator(mPosition + i);
            dst[2 * i] = f.left;
            dst[2 * i + 1] = f.right;
        }
    } else if (n > 0) {
        std::memcpy(dst, &mFrames[mPosition], n * sizeof(SoundTools::StereoFrame<double>));
    }
    mPosition += n;
    return n;
}
