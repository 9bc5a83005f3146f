#include "detail/TruePeak.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VEXA_TRUEPEAK_X86 1
#endif

namespace vexa::detail {

namespace {

using Frame = TruePeak::Frame;

constexpr double kPi = 3.14159265358979323846;

// Phase p (1 .. P) of frame i, one channel:
//
//   y_p[i] = sum over k < T of g[(p - 1) T + k] x[i - k]
//
// which is the interpolated value at (i - T/2 + p/F) input periods. The
// sums run in the same order (k upwards) in every version below; they
// differ only in the rounding of fused multiply-adds.

template <unsigned P, unsigned T>
void runPlain(const double* g, const double*, const Frame* x, unsigned int n, double* peak)
{
    double pl = peak[0];
    double pr = peak[1];
    for (unsigned int i = 0; i < n; ++i) {
        pl = std::max(pl, std::abs(x[i].left));
        pr = std::max(pr, std::abs(x[i].right));
        for (unsigned p = 0; p < P; ++p) {
            double l = 0.0;
            double r = 0.0;
            for (unsigned k = 0; k < T; ++k) {
                const Frame& f = *(x + i - k);
                l += g[p * T + k] * f.left;
                r += g[p * T + k] * f.right;
            }
            pl = std::max(pl, std::abs(l));
            pr = std::max(pr, std::abs(r));
        }
    }
    peak[0] = pl;
    peak[1] = pr;
}

#if VEXA_TRUEPEAK_X86

// One frame, both channels, to a 128-bit vector: lanes [left, right]. The
// phases' sums are independent chains; the taps come from g2 already
// duplicated, so that no shuffle is needed.
template <unsigned P, unsigned T>
void runSse2(const double*, const double* g2, const Frame* x, unsigned int n, double* peak)
{
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d m = _mm_loadu_pd(peak);
    for (unsigned int i = 0; i < n; ++i) {
        const double* base = &x[i].left;
        __m128d acc[P > 0 ? P : 1];
#pragma GCC unroll 4
        for (unsigned p = 0; p < P; ++p)
            acc[p] = _mm_setzero_pd();
#pragma GCC unroll 24
        for (unsigned k = 0; k < T; ++k) {
            const __m128d d = _mm_loadu_pd(base - 2 * k);
#pragma GCC unroll 4
            for (unsigned p = 0; p < P; ++p)
                acc[p] = _mm_add_pd(acc[p], _mm_mul_pd(_mm_load_pd(g2 + 2 * (p * T + k)), d));
        }
        m = _mm_max_pd(m, _mm_andnot_pd(sign, _mm_loadu_pd(base)));
#pragma GCC unroll 4
        for (unsigned p = 0; p < P; ++p)
            m = _mm_max_pd(m, _mm_andnot_pd(sign, acc[p]));
    }
    _mm_storeu_pd(peak, m);
}

// Four frames per step, two to a 256-bit vector: the 32 bytes at frame j
// are [left j, right j, left j+1, right j+1], so one unaligned load gives a
// tap's input for two frames and both channels, and each tap is one
// broadcast and two fused multiply-adds per phase. Lanes 0 and 2 hold the
// left channel, 1 and 3 the right one. The frames left over go to the
// 128-bit loop.
template <unsigned P, unsigned T>
__attribute__((target("avx2,fma"))) void runAvx2(const double* g, const double* g2, const Frame* x, unsigned int n,
                                                 double* peak)
{
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256d m = _mm256_setzero_pd();
    unsigned int i = 0;
    for (; i + 4 <= n; i += 4) {
        const double* base = &x[i].left;
        __m256d a0[P > 0 ? P : 1];
        __m256d a1[P > 0 ? P : 1];
#pragma GCC unroll 4
        for (unsigned p = 0; p < P; ++p) {
            a0[p] = _mm256_setzero_pd();
            a1[p] = _mm256_setzero_pd();
        }
#pragma GCC unroll 24
        for (unsigned k = 0; k < T; ++k) {
            const __m256d d0 = _mm256_loadu_pd(base - 2 * k);
            const __m256d d1 = _mm256_loadu_pd(base - 2 * k + 4);
#pragma GCC unroll 4
            for (unsigned p = 0; p < P; ++p) {
                const __m256d c = _mm256_broadcast_sd(g + p * T + k);
                a0[p] = _mm256_fmadd_pd(c, d0, a0[p]);
                a1[p] = _mm256_fmadd_pd(c, d1, a1[p]);
            }
        }
        m = _mm256_max_pd(m, _mm256_andnot_pd(sign, _mm256_loadu_pd(base)));
        m = _mm256_max_pd(m, _mm256_andnot_pd(sign, _mm256_loadu_pd(base + 4)));
#pragma GCC unroll 4
        for (unsigned p = 0; p < P; ++p) {
            m = _mm256_max_pd(m, _mm256_andnot_pd(sign, a0[p]));
            m = _mm256_max_pd(m, _mm256_andnot_pd(sign, a1[p]));
        }
    }
    const __m128d lr = _mm_max_pd(_mm256_castpd256_pd128(m), _mm256_extractf128_pd(m, 1));
    _mm_storeu_pd(peak, _mm_max_pd(_mm_loadu_pd(peak), lr));
    runSse2<P, T>(g, g2, x + i, n - i, peak);
}

bool hasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

#endif

template <unsigned P, unsigned T>
TruePeak::Kernel kernelFor()
{
#if VEXA_TRUEPEAK_X86
    static const bool avx2 = hasAvx2();
    return avx2 ? &runAvx2<P, T> : &runSse2<P, T>;
#else
    return &runPlain<P, T>;
#endif
}

} // namespace

void TruePeak::reset(unsigned int sampleRate)
{
    if (sampleRate < 96000) {
        mFactor = 4;
        mTaps = 12;
        mKernel = kernelFor<3, 12>();
    } else if (sampleRate < 192000) {
        mFactor = 2;
        mTaps = 24;
        mKernel = kernelFor<1, 24>();
    } else {
        mFactor = 1;
        mTaps = 1;
        mKernel = kernelFor<0, 1>();
    }
    // Hann-windowed sinc over taps j = 0 .. F T, centred on j = F T / 2 and
    // zero at every F-th tap from there: phase p takes taps j = p + F k.
    // Each phase is scaled to a gain of exactly 1 at 0 Hz, so that a steady
    // level reads as itself between the samples too (unscaled, the phases
    // of this window gain up to 0.008 dB).
    const unsigned int span = mFactor * mTaps;
    for (unsigned int p = 1; p < mFactor; ++p) {
        double* g = mG.data() + (p - 1) * mTaps;
        double sum = 0.0;
        for (unsigned int k = 0; k < mTaps; ++k) {
            const unsigned int j = p + mFactor * k;
            const double t = kPi * (static_cast<double>(j) - span / 2.0) / mFactor;
            const double window = 0.5 - 0.5 * std::cos(2.0 * kPi * j / span);
            g[k] = std::sin(t) / t * window;
            sum += g[k];
        }
        for (unsigned int k = 0; k < mTaps; ++k) {
            g[k] /= sum;
            mG2[2 * ((p - 1) * mTaps + k)] = g[k];
            mG2[2 * ((p - 1) * mTaps + k) + 1] = g[k];
        }
    }
    mStage.fill(Frame{0.0, 0.0});
    mPeak[0] = 0.0;
    mPeak[1] = 0.0;
}

void TruePeak::process(const Frame* in, unsigned int n)
{
    if (n == 0)
        return;
    const unsigned int h = mTaps - 1;
    // The first frames reach back into the previous call's: run them from
    // the stage, behind the history kept there; the rest straight from in.
    const unsigned int head = std::min(n, h);
    std::copy(in, in + head, mStage.begin() + h);
    mKernel(mG.data(), mG2.data(), mStage.data() + h, head, mPeak);
    if (n > h)
        mKernel(mG.data(), mG2.data(), in + h, n - h, mPeak);
    // Keep the last h frames for the next call.
    if (n >= h)
        std::copy(in + n - h, in + n, mStage.begin());
    else
        std::copy(mStage.begin() + n, mStage.begin() + n + h, mStage.begin());
}

} // namespace vexa::detail
