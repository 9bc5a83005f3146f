#include "SoundAlgoAdd.h"

#include "detail/MultiFrameAccess.h"

SoundAlgoAdd::SoundAlgoAdd(int inputs, bool singleOutput, const double* weights)
    : SoundAlgoMulti(inputs, singleOutput)
    , mWeights(static_cast<size_t>(inputs > 0 ? inputs : 0), 1.0)
{
    if (weights)
        mWeights.assign(weights, weights + mWeights.size());
}

SoundAlgoAdd::~SoundAlgoAdd() = default;

SoundTools::Status SoundAlgoAdd::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    vexa::detail::MultiFrameAccess io(mInBuffers, mOutBuffers, getInOrigin(), getOutOrigin());
    const size_t nIn = io.in.size();
    const size_t nOut = io.out.size();

    if (nIn == 2 && nOut == 1 && mWeights[0] == 1.0 && mWeights[1] == 1.0) {
        const double* a = io.in[0];
        const double* b = io.in[1];
        double* o = io.out[0];
        for (size_t k = 0; k < 2 * static_cast<size_t>(n); ++k)
            o[k] = a[k] + b[k];
        return SoundTools::StatusOk;
    }

    const double* w = mWeights.data();
    const double* const* in = io.in.data();
    double* const* out = io.out.data();
    // A weighted sum streams through memory: one thread keeps up with it,
    // and a team would cost more than it saves (far more on a busy machine).
    for (int k = 0; k < n; ++k) {
        const size_t j = 2 * static_cast<size_t>(k);
        double l = w[0] * in[0][j];
        double r = w[0] * in[0][j + 1];
        for (size_t i = 1; i < nIn; ++i) {
            l += w[i] * in[i][j];
            r += w[i] * in[i][j + 1];
            if (i < nOut) {
                out[i][j] = in[i][j];
                out[i][j + 1] = in[i][j + 1];
            }
        }
        out[0][j] = l;
        out[0][j + 1] = r;
    }
    return SoundTools::StatusOk;
}
