#include "SoundAlgoAddSqr.h"

#include "detail/MultiFrameAccess.h"

#include <cmath>

SoundAlgoAddSqr::SoundAlgoAddSqr(int inputs, bool singleOutput, const double* weights)
    : SoundAlgoAdd(inputs, singleOutput, weights)
{
}

SoundAlgoAddSqr::~SoundAlgoAddSqr() = default;

SoundTools::Status SoundAlgoAddSqr::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    vexa::detail::MultiFrameAccess io(mInBuffers, mOutBuffers, getInOrigin(), getOutOrigin());
    const size_t nIn = io.in.size();
    const size_t nOut = io.out.size();
    const double* w = mWeights.data();
    for (size_t j = 0; j < 2 * static_cast<size_t>(n); ++j) {
        const double v0 = w[0] * io.in[0][j];
        double sum = v0 * v0;
        for (size_t i = 1; i < nIn; ++i) {
            const double v = w[i] * io.in[i][j];
            sum += v * v;
            if (i < nOut)
                io.out[i][j] = io.in[i][j];
        }
        io.out[0][j] = std::sqrt(sum);
    }
    return SoundTools::StatusOk;
}
