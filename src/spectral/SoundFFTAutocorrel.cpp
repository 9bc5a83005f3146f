#include "SoundFFTAutocorrel.h"

SoundFFTAutocorrel::SoundFFTAutocorrel() = default;

SoundFFTAutocorrel::~SoundFFTAutocorrel() = default;

SoundTools::Status SoundFFTAutocorrel::process()
{
    if (mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    SoundBuffer& in = *mInBuffers[0];
    SoundBuffer& out = *mOutBuffers[0];
    const unsigned int frames = getOutFrameNb();
    const size_t values = static_cast<size_t>(in.getChannelNum()) * getFFTSampleSize();
    for (unsigned int k = 0; k < frames; ++k) {
        const double* src = in.getFrame(getInOrigin() + static_cast<int>(k));
        double* dst = out.getFrame(getOutOrigin() + static_cast<int>(k));
        if (!src || !dst)
            return SoundTools::StatusError;
        for (size_t b = 0; b < values; ++b) {
            const double re = src[2 * b];
            const double im = src[2 * b + 1];
            dst[2 * b] = re * re + im * im;
            dst[2 * b + 1] = 0.0;
        }
    }
    return SoundTools::StatusOk;
}
