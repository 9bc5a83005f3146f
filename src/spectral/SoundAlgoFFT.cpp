#include "SoundAlgoFFT.h"

#include <QJsonValue>

#include <algorithm>

SoundAlgoFFT::SoundAlgoFFT() = default;

SoundAlgoFFT::SoundAlgoFFT(unsigned int size, bool overlap)
    : mSize(size)
    , mOverlap(overlap)
{
}

SoundAlgoFFT::~SoundAlgoFFT() = default;

unsigned int SoundAlgoFFT::frame2FFTFrame(unsigned int n) const
{
    if (mSize == 0)
        return 0;
    if (mOverlap) {
        const unsigned int k = 2 * n / mSize;
        return k > 0 ? k - 1 : 0;
    }
    return n / mSize;
}

unsigned int SoundAlgoFFT::FFTFrame2frame(unsigned int k) const
{
    return mOverlap ? k * (mSize / 2) : k * mSize;
}

void SoundAlgoFFT::writeToJSon(QJsonObject& object) const
{
    object.insert(QStringLiteral("Size"), static_cast<int>(mSize));
    object.insert(QStringLiteral("Overlap"), mOverlap);
    object.insert(QStringLiteral("SampleRate"), static_cast<int>(mSampleRate));
}

bool SoundAlgoFFT::readFromJSon(QJsonObject& object)
{
    const QJsonValue size = object.value(QStringLiteral("Size"));
    if (size.isDouble())
        mSize = static_cast<unsigned int>(std::max(size.toInt(), 0));
    const QJsonValue overlap = object.value(QStringLiteral("Overlap"));
    if (overlap.isBool())
        mOverlap = overlap.toBool();
    const QJsonValue rate = object.value(QStringLiteral("SampleRate"));
    if (rate.isDouble())
        mSampleRate = static_cast<unsigned int>(std::max(rate.toInt(), 0));
    return mSize > 0 && mSampleRate > 0;
}

SoundTools::Status SoundAlgoFFT::initInputBuffer(const LoopContext& ctx)
{
    if (!mPrevAlgo)
        return SoundTools::StatusError;
    const unsigned int bins = mPrevAlgo->getOutFrameSize();
    if (bins < 2)
        return SoundTools::StatusError;
    mSize = 2 * bins - 2;
    if (const auto* fft = dynamic_cast<const SoundAlgoFFT*>(mPrevAlgo))
        mOverlap = fft->isOverlap();
    const SoundTools::Status status = SoundAlgo::initInputBuffer(ctx);
    if (status != SoundTools::StatusOk)
        return status;
    return onInitInputBuffer();
}

void SoundAlgoFFT::setOutOrigin()
{
    SoundAlgo::setOutOrigin();
    mOrigin = getInOrigin();
    mFrameStart = mOrigin;
    mTimeFrames = 0;
}

void SoundAlgoFFT::clearFFTOutput(SoundBuffer& buffer, unsigned int consumed) const
{
    // An FFT-domain output keeps nothing from one block to the next (no
    // FFT-domain node looks back), so everything of the last block goes.
    const unsigned int drop = std::min(frame2FFTFrame(consumed), buffer.getFrameNB());
    if (drop > 0)
        buffer.rotate(drop);
}

void SoundAlgoFFT::followUpstream(unsigned int fftFrames)
{
    mOrigin = getInOrigin();
    if (const auto* fft = dynamic_cast<const SoundAlgoFFT*>(mPrevAlgo)) {
        mFrameStart = fft->mFrameStart;
        mTimeFrames = fft->mTimeFrames;
        return;
    }
    // Fed by a node that does not tell (a bypass): whole hops from the origin.
    mFrameStart = mOrigin;
    mTimeFrames = FFTFrame2frame(fftFrames);
}

void SoundAlgoFFT::updateOutput(unsigned int consumed)
{
    const unsigned int frames = getInFrameNb();
    followUpstream(frames);
    const unsigned int keep = getOutBufferOverlap(mSampleRate);
    for (auto& out : mOutBuffers) {
        clearFFTOutput(*out, consumed);
        out->setFrameNB(keep + frames);
        out->setOrigin(mOrigin);
    }
}
