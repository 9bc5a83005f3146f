// The FFT engine's AVX2/FMA kernels: two complex values per 256-bit vector.
// Compiled for those instructions function by function, so the library
// runs on any x86-64; FFTARadix2 calls them only when the processor has them.
#include "FFTAKernelsAvx.h"

#include <immintrin.h>

#include <cstddef>

namespace vexa::detail {

#define VEXA_AVX2 __attribute__((target("avx2,fma")))

namespace {



VEXA_AVX2 inline __m256d twiddled(__m256d v, __m256d c, __m256d s)
{
    return _mm256_fmadd_pd(v, c, _mm256_mul_pd(_mm256_permute_pd(v, 0x5), s));
}

VEXA_AVX2 inline __m256d timesMinusI(__m256d x)
{
    return _mm256_xor_pd(_mm256_permute_pd(x, 0x5), _mm256_set_pd(-0.0, 0.0, -0.0, 0.0));
}

} // namespace

template <bool kSwapScale, bool kCompact>
VEXA_AVX2 void stageAvx(double* w, int count, int m, const double* tw, double scale)
{
    const __m256d sc = _mm256_set1_pd(scale);
    for (int g = 0; g < count; g += 4 * m) {
        double* p0 = w + 2 * static_cast<size_t>(g);
        double* p1 = p0 + 2 * static_cast<size_t>(m);
        double* p2 = p1 + 2 * static_cast<size_t>(m);
        double* p3 = p2 + 2 * static_cast<size_t>(m);
        const double* t = tw;
        for (int j = 0; j < m; j += 2, p0 += 4, p1 += 4, p2 += 4, p3 += 4, t += kCompact ? 8 : 24) {
            __m256d c1, s1, c2, s2, c3, s3;
            if (kCompact) {
                // w^2 and w^3 from w: the tables of the large stages stay small.
                c1 = _mm256_loadu_pd(t);
                s1 = _mm256_loadu_pd(t + 4);
                c2 = _mm256_fmsub_pd(c1, c1, _mm256_mul_pd(s1, s1));
                s2 = _mm256_mul_pd(_mm256_add_pd(c1, c1), s1);
                c3 = _mm256_fmsub_pd(c1, c2, _mm256_mul_pd(s1, s2));
                s3 = _mm256_fmadd_pd(c1, s2, _mm256_mul_pd(s1, c2));
            } else {
                c2 = _mm256_loadu_pd(t);
                s2 = _mm256_loadu_pd(t + 4);
                c1 = _mm256_loadu_pd(t + 8);
                s1 = _mm256_loadu_pd(t + 12);
                c3 = _mm256_loadu_pd(t + 16);
                s3 = _mm256_loadu_pd(t + 20);
            }
            const __m256d a = _mm256_loadu_pd(p0);
            const __m256d b = twiddled(_mm256_loadu_pd(p1), c2, s2);
            const __m256d c = twiddled(_mm256_loadu_pd(p2), c1, s1);
            const __m256d d = twiddled(_mm256_loadu_pd(p3), c3, s3);
            const __m256d t0 = _mm256_add_pd(a, b);
            const __m256d t1 = _mm256_sub_pd(a, b);
            const __m256d t2 = _mm256_add_pd(c, d);
            const __m256d t3 = timesMinusI(_mm256_sub_pd(c, d));
            __m256d y0 = _mm256_add_pd(t0, t2);
            __m256d y1 = _mm256_add_pd(t1, t3);
            __m256d y2 = _mm256_sub_pd(t0, t2);
            __m256d y3 = _mm256_sub_pd(t1, t3);
            if (kSwapScale) {
                y0 = _mm256_mul_pd(_mm256_permute_pd(y0, 0x5), sc);
                y1 = _mm256_mul_pd(_mm256_permute_pd(y1, 0x5), sc);
                y2 = _mm256_mul_pd(_mm256_permute_pd(y2, 0x5), sc);
                y3 = _mm256_mul_pd(_mm256_permute_pd(y3, 0x5), sc);
            }
            _mm256_storeu_pd(p0, y0);
            _mm256_storeu_pd(p1, y1);
            _mm256_storeu_pd(p2, y2);
            _mm256_storeu_pd(p3, y3);
        }
    }
}

namespace {

// The first passes on two consecutive o at a time, one per 128-bit lane
// (N/r >= 2). Lane 0 is group rev(o), lane 1 group rev(o + 1).
VEXA_AVX2 inline void storeGroups(double* dst, size_t g0, size_t g1, __m256d a, __m256d b, size_t at)
{
    _mm256_storeu_pd(dst + g0 + at, _mm256_permute2f128_pd(a, b, 0x20));
    _mm256_storeu_pd(dst + g1 + at, _mm256_permute2f128_pd(a, b, 0x31));
}

} // namespace

// Radix 4 in the order of the groups (rev(g), rev(g + 1) per vector):
// scattered reads, stores in sequence. With large transforms this is faster
// than scattered stores.
VEXA_AVX2 void firstPass4AvxGather(const double* src, double* dst, const uint32_t* rev, int n)
{
    const size_t q = 2 * static_cast<size_t>(n / 4);
    for (int g = 0; g < n / 4; g += 2) {
        const double* s0 = src + 2 * static_cast<size_t>(rev[g]);
        const double* s1 = src + 2 * static_cast<size_t>(rev[g + 1]);
        const __m256d x0 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(s0)), _mm_loadu_pd(s1), 1);
        const __m256d x1 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(s0 + q)), _mm_loadu_pd(s1 + q), 1);
        const __m256d x2 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(s0 + 2 * q)), _mm_loadu_pd(s1 + 2 * q), 1);
        const __m256d x3 = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(s0 + 3 * q)), _mm_loadu_pd(s1 + 3 * q), 1);
        const __m256d a = _mm256_add_pd(x0, x2);
        const __m256d b = _mm256_sub_pd(x0, x2);
        const __m256d c = _mm256_add_pd(x1, x3);
        const __m256d d = timesMinusI(_mm256_sub_pd(x1, x3));
        const size_t g0 = 8 * static_cast<size_t>(g);
        storeGroups(dst, g0, g0 + 8, _mm256_add_pd(a, c), _mm256_add_pd(b, d), 0);
        storeGroups(dst, g0, g0 + 8, _mm256_sub_pd(a, c), _mm256_sub_pd(b, d), 4);
    }
}

VEXA_AVX2 void firstPass8Avx(const double* src, double* dst, const uint32_t* rev, int n)
{
    const size_t q = 2 * static_cast<size_t>(n / 8);
    const __m256d half = _mm256_set1_pd(0.70710678118654752440);
    for (int o = 0; o < n / 8; o += 2) {
        const double* s = src + 2 * static_cast<size_t>(o);
        const __m256d x0 = _mm256_loadu_pd(s);
        const __m256d x4 = _mm256_loadu_pd(s + 4 * q);
        const __m256d x2 = _mm256_loadu_pd(s + 2 * q);
        const __m256d x6 = _mm256_loadu_pd(s + 6 * q);
        const __m256d ea = _mm256_add_pd(x0, x4);
        const __m256d eb = _mm256_sub_pd(x0, x4);
        const __m256d ec = _mm256_add_pd(x2, x6);
        const __m256d ed = timesMinusI(_mm256_sub_pd(x2, x6));
        const __m256d e0 = _mm256_add_pd(ea, ec);
        const __m256d e1 = _mm256_add_pd(eb, ed);
        const __m256d e2 = _mm256_sub_pd(ea, ec);
        const __m256d e3 = _mm256_sub_pd(eb, ed);
        const __m256d x1 = _mm256_loadu_pd(s + q);
        const __m256d x5 = _mm256_loadu_pd(s + 5 * q);
        const __m256d x3 = _mm256_loadu_pd(s + 3 * q);
        const __m256d x7 = _mm256_loadu_pd(s + 7 * q);
        const __m256d oa = _mm256_add_pd(x1, x5);
        const __m256d ob = _mm256_sub_pd(x1, x5);
        const __m256d oc = _mm256_add_pd(x3, x7);
        const __m256d od = timesMinusI(_mm256_sub_pd(x3, x7));
        const __m256d o0 = _mm256_add_pd(oa, oc);
        const __m256d o1r = _mm256_add_pd(ob, od);
        const __m256d o2 = timesMinusI(_mm256_sub_pd(oa, oc));
        const __m256d o3r = _mm256_sub_pd(ob, od);
        const __m256d o1 = _mm256_mul_pd(_mm256_add_pd(o1r, timesMinusI(o1r)), half);
        const __m256d o3 = _mm256_mul_pd(_mm256_sub_pd(timesMinusI(o3r), o3r), half);
        const size_t g0 = 16 * static_cast<size_t>(rev[o]);
        const size_t g1 = 16 * static_cast<size_t>(rev[o + 1]);
        storeGroups(dst, g0, g1, _mm256_add_pd(e0, o0), _mm256_add_pd(e1, o1), 0);
        storeGroups(dst, g0, g1, _mm256_add_pd(e2, o2), _mm256_add_pd(e3, o3), 4);
        storeGroups(dst, g0, g1, _mm256_sub_pd(e0, o0), _mm256_sub_pd(e1, o1), 8);
        storeGroups(dst, g0, g1, _mm256_sub_pd(e2, o2), _mm256_sub_pd(e3, o3), 12);
    }
}

// Bins 1 .. N/2 - 1 of the two channels of z = DFT(left + i right):
// X[k] = (z[k] + conj z[N-k]) / 2, Y[k] = (z[k] - conj z[N-k]) / 2i.
VEXA_AVX2 int separateAvx(const double* z, double* x, double* y, int n)
{
    const int half = n / 2;
    const __m256d negIm = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const __m256d h = _mm256_set1_pd(0.5);
    int k = 1;
    for (; k + 1 < half; k += 2) {
        const __m256d a = _mm256_loadu_pd(z + 2 * k);
        const __m256d r = _mm256_loadu_pd(z + 2 * (n - k - 1));
        const __m256d cb = _mm256_xor_pd(_mm256_permute2f128_pd(r, r, 1), negIm); // conj z[N-k], conj z[N-k-1]
        const __m256d d = _mm256_sub_pd(a, cb);
        _mm256_storeu_pd(x + 2 * k, _mm256_mul_pd(_mm256_add_pd(a, cb), h));
        _mm256_storeu_pd(y + 2 * k, _mm256_mul_pd(_mm256_xor_pd(_mm256_permute_pd(d, 0x5), negIm), h));
    }
    return k;
}

// The inverse of separateAvx, into the swapped-component form of
// z = X + iY: z[k] = (Yr + Xi, Xr - Yi), z[N-k] = (Yr - Xi, Xr + Yi).
VEXA_AVX2 int combineAvx(const double* x, const double* y, double* z, int n)
{
    const int half = n / 2;
    const __m256d negIm = _mm256_set_pd(-0.0, 0.0, -0.0, 0.0);
    const __m256d negRe = _mm256_set_pd(0.0, -0.0, 0.0, -0.0);
    int k = 1;
    for (; k + 1 < half; k += 2) {
        const __m256d xv = _mm256_loadu_pd(x + 2 * k);
        const __m256d yv = _mm256_loadu_pd(y + 2 * k);
        const __m256d a = _mm256_permute_pd(xv, 0x5);
        _mm256_storeu_pd(z + 2 * k, _mm256_add_pd(a, _mm256_xor_pd(yv, negIm)));
        const __m256d r = _mm256_add_pd(yv, _mm256_xor_pd(a, negRe));
        _mm256_storeu_pd(z + 2 * (n - k - 1), _mm256_permute2f128_pd(r, r, 1));
    }
    return k;
}

template void stageAvx<false, false>(double*, int, int, const double*, double);
template void stageAvx<true, false>(double*, int, int, const double*, double);
template void stageAvx<false, true>(double*, int, int, const double*, double);
template void stageAvx<true, true>(double*, int, int, const double*, double);

#undef VEXA_AVX2

} // namespace vexa::detail
