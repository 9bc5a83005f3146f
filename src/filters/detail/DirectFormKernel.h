// Unrolled direct form I loop for a fixed number of coefficients, with both
// channels of a frame held in one two-lane vector.
//
// The coefficients are normalised beforehand (divided by a0), and the sum is
// ordered so that the term in y[i-1] comes last:
//
//   t    = b0 x[i] + b1 x[i-1] + ... - a(N-1) y[i-N+1] - ... - a2 y[i-2]
//   y[i] = t - a1 y[i-1]
//
// Everything but the last multiply-subtract is independent of y[i-1], so the
// loop-carried dependency per frame is one multiply and one subtract (or one
// fused multiply-add where the processor has it). The result differs from the
// divide-at-the-end order only by rounding.
#ifndef VEXA_FILTERS_DETAIL_DIRECTFORMKERNEL_H
#define VEXA_FILTERS_DETAIL_DIRECTFORMKERNEL_H

#include "SoundTools.h"

#include <cstring>

namespace SoundTools {
namespace detail {

typedef double Lanes2 __attribute__((vector_size(16)));

__attribute__((always_inline)) inline Lanes2 loadFrame(const StereoFrame<double>* p)
{
    Lanes2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

__attribute__((always_inline)) inline void storeFrame(StereoFrame<double>* p, Lanes2 v)
{
    std::memcpy(p, &v, sizeof v);
}

// b and a hold N normalised coefficients (a[0] is not read); xh and yh hold
// the N-1 history frames that take part, [0] the most recent. Both are read
// at the start and written back at the end. in and out may be the same array.
template <unsigned N>
__attribute__((always_inline)) inline void directFormLoop(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh,
                                                          const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain)
{
    static_assert(N >= 2, "at least one history frame");
    Lanes2 cb[N];
    Lanes2 ca[N];
    Lanes2 x[N - 1];
    Lanes2 y[N - 1];
    for (unsigned k = 0; k < N; ++k) {
        cb[k] = Lanes2{b[k], b[k]};
        ca[k] = Lanes2{a[k], a[k]};
    }
    for (unsigned k = 0; k + 1 < N; ++k) {
        x[k] = loadFrame(xh + k);
        y[k] = loadFrame(yh + k);
    }
    const Lanes2 g = Lanes2{gain, gain};

    for (unsigned int i = 0; i < n; ++i) {
        const Lanes2 xi = loadFrame(in + i);
        Lanes2 t = cb[0] * xi;
#pragma GCC unroll 8
        for (unsigned k = 1; k < N; ++k)
            t = t + cb[k] * x[k - 1];
#pragma GCC unroll 8
        for (unsigned k = N - 1; k >= 2; --k)
            t = t - ca[k] * y[k - 1];
        const Lanes2 yi = t - ca[1] * y[0];
#pragma GCC unroll 8
        for (unsigned k = N - 2; k >= 1; --k) {
            x[k] = x[k - 1];
            y[k] = y[k - 1];
        }
        x[0] = xi;
        y[0] = yi;
        storeFrame(out + i, yi * g);
    }

    for (unsigned k = 0; k + 1 < N; ++k) {
        storeFrame(xh + k, x[k]);
        storeFrame(yh + k, y[k]);
    }
}

// Entry points of the library, compiled for the running processor: fused
// multiply-add where it exists, plain SSE2 (or portable) arithmetic otherwise.
// Arguments as for directFormLoop.
void runOrder1(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain);
void runBiquad(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain);
void runOrder6(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain);

// True when the fused multiply-add versions are in use.
bool usesFusedMultiplyAdd();

} // namespace detail
} // namespace SoundTools

#endif
