#include "SoundAlgoFFTDirectCompute.h"

#include "detail/FFTARadix2.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ostream>

namespace {

// Largest power of two not above s, and never below 2 (the engine's least).
unsigned int roundedSize(unsigned int s)
{
    if (s < 2)
        return 2;
    unsigned int p = 1;
    while (p < s && p < 0x80000000u)
        p *= 2;
    if (p > s)
        p /= 2;
    return p;
}

} // namespace

SoundAlgoFFTDirectCompute::SoundAlgoFFTDirectCompute(unsigned int size, bool overlap, bool window)
    : SoundAlgoFFT(roundedSize(size), overlap)
{
    if (mSize != size)
        getOStream() << "FFT Size rounded to power of 2 (" << mSize << " vs " << size << ")" << std::endl;
    mEngine = std::make_unique<vexa::detail::FFTARadix2>(static_cast<int>(mSize));
    if (window) {
        const unsigned int length = overlap ? mSize / 2 : mSize;
        mWindow.resize(length);
        for (unsigned int k = 0; k < length; ++k)
            mWindow[k] = (1.0 - std::cos(6.283185307179586 * k / length)) * 0.5;
    }
    // Every buffer must hold at least one FFT frame's worth of samples.
    if (SoundBuffer::getDefaultSize() < mSize)
        SoundBuffer::setDefaultSize(mSize);
}

SoundAlgoFFTDirectCompute::~SoundAlgoFFTDirectCompute() = default;

unsigned int SoundAlgoFFTDirectCompute::getInOverlap(unsigned int) const
{
    return mOverlap ? mSize / 2 : mSize - 1;
}

SoundTools::Status SoundAlgoFFTDirectCompute::initInputBuffer(const LoopContext& ctx)
{
    return SoundAlgo::initInputBuffer(ctx);
}

SoundTools::Status SoundAlgoFFTDirectCompute::initOutputBuffer(const LoopContext&)
{
    if (mInBuffers.empty() || !mInBuffers[0])
        return SoundTools::StatusError;
    // A block of c time frames completes at most c - look-ahead of them,
    // which start at most that many hops' worth of FFT frames, plus the
    // frame that was left waiting for its last samples.
    const unsigned int capacity = mInBuffers[0]->getFrameNBAllocated();
    const unsigned int frames = capacity / getHop() + 2;
    auto out = SoundBuffer::createNew(mSampleRate);
    out->alloc(frames, 2, getFFTSampleSize(), 2);
    mOutBuffers[0] = out;
    mScratch.assign(2 * static_cast<size_t>(mSize), 0.0);
    return SoundTools::StatusOk;
}

void SoundAlgoFFTDirectCompute::setOutOrigin()
{
    SoundAlgoFFT::setOutOrigin();
    mNextFrame = getInOrigin();
    mFrameCount = 0;
}

void SoundAlgoFFTDirectCompute::updateOutput(unsigned int consumed)
{
    // The block completes the time frames from the input origin up to its
    // look-ahead; every FFT frame starting before that end has all its
    // samples in the block. Frames start on the hop grid from the first
    // input frame, each exactly once: one left waiting at the end of a
    // block starts the next block's list.
    const int origin = getInOrigin();
    const unsigned int n = getInFrameNb();
    const unsigned int lookAhead = getInOverlap(mSampleRate);
    const unsigned int completed = n > lookAhead ? n - lookAhead : 0;
    const int end = origin + static_cast<int>(completed);
    mNextFrame = std::max(mNextFrame, origin);
    const unsigned int hop = getHop();
    mFrameCount = end > mNextFrame ? (static_cast<unsigned int>(end - mNextFrame) + hop - 1) / hop : 0;
    mOrigin = origin;
    mFrameStart = mNextFrame;
    mTimeFrames = completed;
    const unsigned int keep = getOutBufferOverlap(mSampleRate);
    for (auto& out : mOutBuffers) {
        clearFFTOutput(*out, consumed);
        out->setFrameNB(keep + mFrameCount);
        out->setOrigin(mOrigin);
    }
}

SoundTools::Status SoundAlgoFFTDirectCompute::process()
{
    if (mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    SoundBuffer& in = *mInBuffers[0];
    SoundBuffer& out = *mOutBuffers[0];
    const unsigned int count = std::min(mFrameCount, getOutFrameNb());
    const unsigned int hop = getHop();
    const unsigned int taken = hop; // samples per FFT frame: N/2 with overlap, N without
    double* scratch = mScratch.data();
    const bool direct = !mOverlap && mWindow.empty();
    for (unsigned int k = 0; k < count; ++k) {
        const int start = mFrameStart + static_cast<int>(k * hop);
        const double* src = in.getFrame(start);
        double* dst = out.getFrame(mOrigin + static_cast<int>(k));
        if (!src || !dst)
            return SoundTools::StatusError;
        if (direct) {
            mEngine->stereoForward(src, dst);
            continue;
        }
        if (mWindow.empty()) {
            std::memcpy(scratch, src, 2 * static_cast<size_t>(taken) * sizeof(double));
        } else {
            for (unsigned int i = 0; i < taken; ++i) {
                scratch[2 * i] = src[2 * i] * mWindow[i];
                scratch[2 * i + 1] = src[2 * i + 1] * mWindow[i];
            }
        }
        // With overlap the second half stays zero: it is never written.
        mEngine->stereoForward(scratch, dst);
    }
    mNextFrame = mFrameStart + static_cast<int>(count * hop);
    return SoundTools::StatusOk;
}
