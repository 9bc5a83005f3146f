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

namespace vexa::detail {

using SoundTools::StereoFrame;

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

// A cascade of S biquads run frame by frame: each frame goes through every
// stage before the next frame comes in, so the stages' recurrences overlap
// in the processor instead of each pass streaming the block again. A stage's
// input history is the previous stage's output history, so the cascade keeps
// S + 1 histories of two frames: h[0] the input's, h[s + 1] stage s's output.
// b and a hold three normalised coefficients per stage; the gain multiplies
// the last stage's output. Within a stage, everything but the term in the
// stage's input is summed first, so that a frame passes from one stage to
// the next through a single multiply-add: the chain through ten stages is
// ten of them, and the processor overlaps successive frames. (The order of
// the sum differs from directFormLoop's: the results differ by rounding.)
template <unsigned S>
__attribute__((always_inline)) inline void biquadCascadeLoop(const double* b, const double* a, StereoFrame<double>* const* h,
                                                             const StereoFrame<double>* in, StereoFrame<double>* out,
                                                             unsigned int n, double gain)
{
    // The coefficients in both lanes once, so that the loop reads them as
    // operands of its multiply-adds.
    Lanes2 c[S][5];
    for (unsigned s = 0; s < S; ++s) {
        const double* cb = b + 3 * s;
        const double* ca = a + 3 * s;
        c[s][0] = Lanes2{cb[0], cb[0]};
        c[s][1] = Lanes2{cb[1], cb[1]};
        c[s][2] = Lanes2{cb[2], cb[2]};
        c[s][3] = Lanes2{ca[1], ca[1]};
        c[s][4] = Lanes2{ca[2], ca[2]};
    }
    Lanes2 v0[S + 1];
    Lanes2 v1[S + 1];
    for (unsigned s = 0; s <= S; ++s) {
        v0[s] = loadFrame(h[s]);
        v1[s] = loadFrame(h[s] + 1);
    }
    const Lanes2 g = Lanes2{gain, gain};
    for (unsigned int i = 0; i < n; ++i) {
        Lanes2 x = loadFrame(in + i);
#pragma GCC unroll 16
        for (unsigned s = 0; s < S; ++s) {
            Lanes2 t = c[s][1] * v0[s];
            t = t + c[s][2] * v1[s];
            t = t - c[s][4] * v1[s + 1];
            t = t - c[s][3] * v0[s + 1];
            const Lanes2 y = t + c[s][0] * x;
            v1[s] = v0[s];
            v0[s] = x;
            x = y;
        }
        v1[S] = v0[S];
        v0[S] = x;
        storeFrame(out + i, x * g);
    }
    for (unsigned s = 0; s <= S; ++s) {
        storeFrame(h[s], v0[s]);
        storeFrame(h[s] + 1, v1[s]);
    }
}

// Stages per call of runBiquadCascade. With AVX2 and FMA the ten bands of an
// equalizer run in one pass, two stages to a 256-bit vector (see
// DirectFormKernel.cpp); otherwise the call runs groups of at most
// kPlainCascade stages, whose histories stay in the registers, one after the
// other over the block (ten stages: 110 M frames/s in two passes, 80 M in one).
constexpr unsigned kMaxCascade = 10;
constexpr unsigned kPlainCascade = 5;

// Entry points of the library, compiled for the running processor: fused
// multiply-add where it exists, plain SSE2 (or portable) arithmetic otherwise.
// Arguments as for directFormLoop.
void runOrder1(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain);
void runBiquad(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain);
void runOrder6(const double* b, const double* a, StereoFrame<double>* xh, StereoFrame<double>* yh, const StereoFrame<double>* in,
               StereoFrame<double>* out, unsigned int n, double gain);

// `stages` biquads (at most kMaxCascade) frame by frame; h holds stages + 1
// pointers to two-frame histories, as for biquadCascadeLoop. in and out may be
// the same array.
void runBiquadCascade(unsigned int stages, const double* b, const double* a, StereoFrame<double>* const* h,
                      const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain);
// True when the fused multiply-add versions are in use.
bool usesFusedMultiplyAdd();

} // namespace vexa::detail

#endif
