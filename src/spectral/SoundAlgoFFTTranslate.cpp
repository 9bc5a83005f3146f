#include "SoundAlgoFFTTranslate.h"

#include <cstring>

SoundAlgoFFTTranslate::SoundAlgoFFTTranslate(int shift)
    : mShift(shift)
{
}

SoundAlgoFFTTranslate::~SoundAlgoFFTTranslate() = default;

SoundTools::Status SoundAlgoFFTTranslate::initInputBuffer(const LoopContext& ctx)
{
    if (mSize == 0)
        return SoundAlgoFFT::initInputBuffer(ctx);
    return SoundAlgo::initInputBuffer(ctx);
}

void SoundAlgoFFTTranslate::endProcess(int status, unsigned int frameNbProcessed)
{
    mSize = 0;
    SoundAlgo::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundAlgoFFTTranslate::process()
{
    if (mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    SoundBuffer& in = *mInBuffers[0];
    SoundBuffer& out = *mOutBuffers[0];
    const unsigned int frames = getOutFrameNb();
    const unsigned int channels = in.getChannelNum();
    const int bins = static_cast<int>(getFFTSampleSize());
    for (unsigned int k = 0; k < frames; ++k) {
        const double* src = in.getFrame(getInOrigin() + static_cast<int>(k));
        double* dst = out.getFrame(getOutOrigin() + static_cast<int>(k));
        if (!src || !dst)
            return SoundTools::StatusError;
        for (unsigned int c = 0; c < channels; ++c) {
            const double* x = src + 2 * static_cast<size_t>(c) * bins;
            double* y = dst + 2 * static_cast<size_t>(c) * bins;
            // Output bin j takes input bin j - shift when that is an inner bin.
            for (int j = 0; j < bins; ++j) {
                long long from = j;
                if (j > 0 && j < bins - 1) {
                    from = static_cast<long long>(j) - mShift;
                    if (from < 1 || from > bins - 2)
                        from = -1;
                }
                y[2 * j] = from >= 0 ? x[2 * from] : 0.0;
                y[2 * j + 1] = from >= 0 ? x[2 * from + 1] : 0.0;
            }
        }
    }
    return SoundTools::StatusOk;
}
