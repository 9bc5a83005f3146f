#include "SoundAlgoFFTInverseCompute.h"

#include "SoundFFTAutocorrel.h"
#include "detail/FFTARadix2.h"

#include <algorithm>
#include <cstring>

SoundAlgoFFTInverseCompute::SoundAlgoFFTInverseCompute(bool disabled)
    : mEngine(std::make_unique<vexa::detail::FFTARadix2>())
    , mMode(disabled ? Disabled : OverlapAdd)
{
}

SoundAlgoFFTInverseCompute::~SoundAlgoFFTInverseCompute() = default;

SoundTools::Status SoundAlgoFFTInverseCompute::onInitInputBuffer()
{
    if (mMode == Disabled)
        return SoundTools::StatusOk;
    mEngine->setSize(static_cast<int>(mSize));
    if (dynamic_cast<const SoundFFTAutocorrel*>(mPrevAlgo))
        mMode = Autocorrelation;
    else
        mMode = mOverlap ? OverlapAdd : Concatenate;
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoFFTInverseCompute::initOutputBuffer(const LoopContext& ctx)
{
    if (mInBuffers.empty() || !mInBuffers[0])
        return SoundTools::StatusError;
    const unsigned int hop = getHop();
    const unsigned int frames =
        getOutBufferOverlap(mSampleRate) + hop * (mInBuffers[0]->getFrameNBAllocated() + 1);
    auto out = SoundBuffer::createNew(ctx.sampleRate);
    out->alloc(frames, 2, 1, 1);
    mOutBuffers[0] = out;
    // A run starts from silence: nothing of an earlier run's last frame may
    // leak into it, and a new N needs a tail of its size.
    const size_t doubles = 2 * static_cast<size_t>(mSize);
    mTail.assign(doubles, 0.0);
    mWork.assign(doubles, 0.0);
    mHop.assign(doubles, 0.0);
    mPending.clear();
    mPendingStart = 0;
    return SoundTools::StatusOk;
}

void SoundAlgoFFTInverseCompute::updateOutput(unsigned int consumed)
{
    followUpstream(getInFrameNb());
    const unsigned int keep = getOutBufferOverlap(mSampleRate);
    for (auto& out : mOutBuffers) {
        if (consumed != 0)
            out->rotate(std::min(consumed, out->getFrameNB()));
        out->setFrameNB(keep + mTimeFrames);
    }
}

void SoundAlgoFFTInverseCompute::deliver(int pos, const double* frames, unsigned int count)
{
    const int blockEnd = mBlockStart + static_cast<int>(mBlockFrames);
    const int end = pos + static_cast<int>(count);
    // Inside the block.
    const int from = std::max(pos, mBlockStart);
    const int to = std::min(end, blockEnd);
    if (from < to) {
        std::memcpy(mBlockOut + 2 * static_cast<size_t>(from - mBlockStart), frames + 2 * static_cast<size_t>(from - pos),
                    2 * static_cast<size_t>(to - from) * sizeof(double));
    }
    // Beyond it: kept, contiguous with what is already kept.
    const int keepFrom = std::max(pos, blockEnd);
    if (keepFrom < end) {
        if (mPending.empty())
            mPendingStart = keepFrom;
        const int at = mPendingStart + static_cast<int>(mPending.size() / 2);
        const int skip = std::max(at - keepFrom, 0);
        if (keepFrom + skip < end) {
            const double* src = frames + 2 * static_cast<size_t>(keepFrom + skip - pos);
            mPending.insert(mPending.end(), src, src + 2 * static_cast<size_t>(end - keepFrom - skip));
        }
    }
}

SoundTools::Status SoundAlgoFFTInverseCompute::process()
{
    if (mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    if (mMode == Disabled)
        return SoundTools::StatusOk;
    SoundBuffer& in = *mInBuffers[0];
    SoundBuffer& out = *mOutBuffers[0];
    mBlockStart = mOrigin;
    mBlockFrames = std::min(getOutFrameNb(), mTimeFrames);
    mBlockOut = mBlockFrames > 0 ? out.getFrame(mBlockStart) : nullptr;
    if (mBlockFrames > 0 && !mBlockOut)
        return SoundTools::StatusError;
    if (mBlockOut)
        std::memset(mBlockOut, 0, 2 * static_cast<size_t>(mBlockFrames) * sizeof(double));

    // Frames finished by the previous block come first.
    if (!mPending.empty()) {
        mSpare.swap(mPending);
        mPending.clear();
        deliver(mPendingStart, mSpare.data(), static_cast<unsigned int>(mSpare.size() / 2));
    }

    const unsigned int n = mSize;
    const unsigned int half = n / 2;
    const unsigned int hop = getHop();
    const unsigned int frames = getInFrameNb();
    double* tail = mTail.data();
    double* work = mWork.data();
    double* finished = mHop.data();
    for (unsigned int k = 0; k < frames; ++k) {
        const double* spectrum = in.getFrame(getInOrigin() + static_cast<int>(k));
        if (!spectrum)
            return SoundTools::StatusError;
        const int pos = mFrameStart + static_cast<int>(k * hop);
        switch (mMode) {
        case Concatenate:
            mEngine->stereoInverse(spectrum, finished);
            break;
        case OverlapAdd:
            // The second half of the previous frame's inverse overlaps the
            // first half of this one's.
            mEngine->stereoInverse(spectrum, work);
            for (unsigned int i = 0; i < 2 * half; ++i)
                finished[i] = tail[2 * half + i] + work[i];
            std::swap(tail, work);
            break;
        default: // Autocorrelation
            mEngine->stereoInverse(spectrum, tail);
            for (unsigned int j = 0; j < hop; ++j) {
                const double products = j < half ? std::max(static_cast<double>(half - j), 50.0) : 0.0;
                finished[2 * j] = products > 0.0 ? tail[2 * j] / products : 0.0;
                finished[2 * j + 1] = products > 0.0 ? tail[2 * j + 1] / products : 0.0;
            }
            break;
        }
        deliver(pos, finished, hop);
    }
    // The tail pointer may have changed hands with the work buffer.
    if (tail != mTail.data())
        mTail.swap(mWork);
    return SoundTools::StatusOk;
}
