#include "SoundAlgoSub.h"

#include "detail/MultiFrameAccess.h"

SoundAlgoSub::SoundAlgoSub(int inputs, bool singleOutput)
    : SoundAlgoMulti(inputs, singleOutput)
{
}

SoundAlgoSub::~SoundAlgoSub() = default;

SoundTools::Status SoundAlgoSub::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    vexa::detail::MultiFrameAccess io(mInBuffers, mOutBuffers, getInOrigin(), getOutOrigin());
    const size_t nIn = io.in.size();
    const size_t nOut = io.out.size();
    const size_t values = 2 * static_cast<size_t>(n);

    if (nIn == 2 && nOut == 1) {
        const double* a = io.in[0];
        const double* b = io.in[1];
        double* o = io.out[0];
        for (size_t k = 0; k < values; ++k)
            o[k] = a[k] - b[k];
        return SoundTools::StatusOk;
    }
    for (size_t j = 0; j < values; ++j) {
        double v = io.in[0][j];
        for (size_t i = 1; i < nIn; ++i) {
            v -= io.in[i][j];
            if (i < nOut)
                io.out[i][j] = io.in[i][j];
        }
        io.out[0][j] = v;
    }
    return SoundTools::StatusOk;
}
