#include "SoundBuffer.h"

#include "SoundDebuggableClass.h"

#include <QDebug>
#include <algorithm>
#include <cstring>
#include <new>
#include <ostream>

unsigned int SoundBuffer::sSize = 1048576;

namespace {

// Sample blocks are aligned for vector loads.
constexpr std::align_val_t kAlignment{64};

double* allocateZeroed(size_t doubles)
{
    auto* p = static_cast<double*>(::operator new[](std::max<size_t>(doubles, 1) * sizeof(double), kAlignment));
    std::memset(p, 0, std::max<size_t>(doubles, 1) * sizeof(double));
    return p;
}

void freeData(double* p)
{
    if (p)
        ::operator delete[](p, kAlignment);
}

} // namespace

SoundBuffer::SoundBuffer(unsigned int sampleRate)
    : mSampleRate(sampleRate)
{
}

SoundBuffer::SoundBuffer(const SoundBuffer& other)
    : mSampleRate(other.mSampleRate)
{
    *this = other;
}

SoundBuffer::~SoundBuffer()
{
    releaseData();
}

void SoundBuffer::releaseData()
{
    freeData(mData);
    mData = nullptr;
}

SoundBuffer& SoundBuffer::operator=(const SoundBuffer& other)
{
    if (this == &other)
        return *this;
    alloc(other.mFrameNB, static_cast<int>(other.mChannelNum), other.mFrameSize, other.mElementSize);
    mFrameNB = other.mFrameNB;
    mOrigin = other.mOrigin;
    mSampleRate = other.mSampleRate;
    mInitialDelay = 0;
    const size_t n = static_cast<size_t>(mFrameNB) * getFrameStride();
    if (n > 0)
        std::memcpy(mData, other.mData, n * sizeof(double));
    return *this;
}

std::shared_ptr<SoundBuffer> SoundBuffer::createNew(unsigned int sampleRate)
{
    return std::make_shared<SoundBuffer>(sampleRate);
}

void SoundBuffer::setDefaultSize(unsigned int frames)
{
    if (frames != 0)
        sSize = frames;
}

void SoundBuffer::alloc(unsigned int frames, int channels, unsigned int frameSize, unsigned int elementSize)
{
    mFrameNB = 0;
    const unsigned int channelNum = channels > 0 ? static_cast<unsigned int>(channels) : 0;
    const size_t requested = static_cast<size_t>(frames) * channelNum * frameSize * elementSize;
    if (!mData || requested > currentDoubles()) {
        releaseData();
        mData = allocateZeroed(requested);
    }
    mChannelNum = channelNum;
    mFrameSize = frameSize;
    mElementSize = elementSize;
    mFrameNBAllocated = frames;
}

void SoundBuffer::reset()
{
    if (mData)
        std::memset(mData, 0, currentDoubles() * sizeof(double));
}

void SoundBuffer::setFrameNB(unsigned int frames)
{
    if (frames > mFrameNBAllocated) {
        // Grow while keeping the valid frames: a node's output buffer holds
        // its unfinished overlap at its head across blocks.
        const size_t stride = getFrameStride();
        double* grown = allocateZeroed(static_cast<size_t>(frames) * stride);
        if (mData && mFrameNB > 0)
            std::memcpy(grown, mData, static_cast<size_t>(mFrameNB) * stride * sizeof(double));
        releaseData();
        mData = grown;
        mFrameNBAllocated = frames;
    }
    mFrameNB = frames;
}

void SoundBuffer::setInitialDelay(unsigned int d)
{
    mOrigin -= static_cast<int>(d);
    mInitialDelay = static_cast<int>(d);
    mFrameNB = 0;
}

double* SoundBuffer::reportFrameBeforeOrigin(int index) const
{
    SoundDebuggableClass::getOStream() << "Frame " << index << " inferior to " << mOrigin << std::endl;
    return nullptr;
}

double* SoundBuffer::reportNegativeFrame() const
{
    SoundDebuggableClass::getOStream() << "Frame negative" << std::endl;
    return nullptr;
}

void SoundBuffer::appendMargin(unsigned int n)
{
    const size_t stride = getFrameStride();
    if (static_cast<size_t>(mFrameNB) + n > mFrameNBAllocated) {
        const unsigned int frames = mFrameNB + n;
        double* grown = allocateZeroed(static_cast<size_t>(frames) * stride);
        if (mData && mFrameNB > 0)
            std::memcpy(grown, mData, static_cast<size_t>(mFrameNB) * stride * sizeof(double));
        releaseData();
        mData = grown;
        mFrameNBAllocated = frames;
    }
    if (n > 0) {
        double* tail = getRelFrame(static_cast<int>(mFrameNB));
        if (tail)
            std::memset(tail, 0, static_cast<size_t>(n) * stride * sizeof(double));
    }
    mFrameNB += n;
}

unsigned int SoundBuffer::keepMargin(unsigned int n)
{
    const size_t stride = getFrameStride();
    if (mInitialDelay > 0 && mFrameNB == 0) {
        const size_t zeroed = std::min<size_t>(static_cast<size_t>(n) + mInitialDelay, mFrameNBAllocated);
        if (mData)
            std::memset(mData, 0, zeroed * stride * sizeof(double));
        return static_cast<unsigned int>(mInitialDelay);
    }
    // With no more than n valid frames everything is kept where it is.
    if (n >= mFrameNB)
        return mFrameNB;
    mOrigin += static_cast<int>(mFrameNB - n);
    if (n > 0)
        std::memmove(mData, mData + static_cast<size_t>(mFrameNB - n) * stride, static_cast<size_t>(n) * stride * sizeof(double));
    return n;
}

void SoundBuffer::rotate(unsigned int n)
{
    if (n > mFrameNB) {
        qDebug() << "SoundBuffer::rotate : corrected input " << n << ">" << mFrameNB;
        n = mFrameNB;
    }
    keepMargin(mFrameNB - n);
}

void SoundBuffer::addBuffer(double v)
{
    const size_t count = static_cast<size_t>(mChannelNum) * mFrameNB;
    for (size_t i = 0; i < count; ++i)
        mData[i] += v;
}

void SoundBuffer::mulBuffer(double v)
{
    const size_t count = static_cast<size_t>(mChannelNum) * mFrameNB;
    for (size_t i = 0; i < count; ++i)
        mData[i] *= v;
}

void SoundBuffer::normBuffer(double offset, double factor)
{
    const size_t count = static_cast<size_t>(mChannelNum) * mFrameNB;
    for (size_t i = 0; i < count; ++i)
        mData[i] = (mData[i] + offset) * factor;
}
