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
    const long long bins = getFFTSampleSize();
    const long long shift = mShift;
    return forEachSpectrum([bins, shift](const double* x, double* y) {
        // Output bin j takes input bin j - shift when that is an inner bin.
        for (long long j = 0; j < bins; ++j) {
            long long from = j;
            if (j > 0 && j < bins - 1) {
                from = j - shift;
                if (from < 1 || from > bins - 2)
                    from = -1;
            }
            y[2 * j] = from >= 0 ? x[2 * from] : 0.0;
            y[2 * j + 1] = from >= 0 ? x[2 * from + 1] : 0.0;
        }
    });
}
