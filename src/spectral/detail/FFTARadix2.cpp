#include "FFTARadix2.h"

#include <cmath>
#include <cstring>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include "FFTAKernelsAvx.h"
#define VEXA_FFT_X86 1
#else
#define VEXA_FFT_X86 0
#endif

namespace vexa::detail {

namespace {

#if VEXA_FFT_X86
using V2 = __m128d;
#else
// Other processors: the 128-bit kernels on the compiler's generic vectors,
// the same arithmetic in portable C++ (the operations the kernels use,
// under the names they use).
typedef double V2 __attribute__((vector_size(16)));
typedef long long V2Bits __attribute__((vector_size(16)));
inline V2 _mm_add_pd(V2 a, V2 b) { return a + b; }
inline V2 _mm_sub_pd(V2 a, V2 b) { return a - b; }
inline V2 _mm_mul_pd(V2 a, V2 b) { return a * b; }
inline V2 _mm_set1_pd(double v) { return V2{v, v}; }
inline V2 _mm_set_pd(double hi, double lo) { return V2{lo, hi}; }
inline V2 _mm_loadu_pd(const double* p) { V2 v; std::memcpy(&v, p, sizeof v); return v; }
inline void _mm_storeu_pd(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }
inline V2 _mm_xor_pd(V2 a, V2 b) { return reinterpret_cast<V2>(reinterpret_cast<V2Bits>(a) ^ reinterpret_cast<V2Bits>(b)); }
// Lane 0 from a (bit 0 of the mask), lane 1 from b (bit 1).
inline V2 _mm_shuffle_pd(V2 a, V2 b, int mask) { return V2{a[mask & 1], b[(mask >> 1) & 1]}; }
#endif

// Transforms up to this many complex values (64 KiB) are done block by block
// through every stage that stays inside a block, while the block is in cache.
constexpr int kBlockLimit = 4096;
// Stages of quarter span m from this on store only w^j and compute w^2j and
// w^3j: the full tables (12 doubles a point) would take more memory traffic
// than the data.
constexpr int kCompactFrom = 1024;

double* allocate(int n)
{
    if (n <= 0)
        return nullptr;
    const size_t bytes = 2 * static_cast<size_t>(n) * sizeof(double);
    auto* p = static_cast<double*>(::operator new[](bytes, std::align_val_t(64)));
    std::memset(p, 0, bytes);
    return p;
}

void release(double* p)
{
    if (p)
        ::operator delete[](p, std::align_val_t(64));
}

int log2Of(int n)
{
    int b = 0;
    while ((1 << (b + 1)) <= n)
        ++b;
    return b;
}

uint32_t reverseBits(uint32_t v, int bits)
{
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b)
        r |= ((v >> b) & 1u) << (bits - 1 - b);
    return r;
}

// ---- SSE2: one complex value per vector --------------------------------

// x * (-i) = (im, -re)
inline V2 timesMinusI(V2 x)
{
    return _mm_xor_pd(_mm_shuffle_pd(x, x, 1), _mm_set_pd(-0.0, 0.0));
}

// v * (c - i s), with c = (c, c) and s = (s, -s) as stored in the tables.
inline V2 twiddled(V2 v, V2 c, V2 s)
{
    return _mm_add_pd(_mm_mul_pd(v, c), _mm_mul_pd(_mm_shuffle_pd(v, v, 1), s));
}

// First pass, radix 4: the DFT of src[o + q N/4], q = 0..3, is stored as
// group rev(o), at dst[4 rev(o) .. 4 rev(o) + 3]; this puts the inputs in
// bit-reversed order. Going through o in order reads src in sequence and
// writes whole groups.
inline void firstPass4(const double* src, double* dst, const uint32_t* rev, int n)
{
    const size_t q = 2 * static_cast<size_t>(n / 4);
    for (int o = 0; o < n / 4; ++o) {
        const double* s = src + 2 * static_cast<size_t>(o);
        const V2 x0 = _mm_loadu_pd(s);
        const V2 x1 = _mm_loadu_pd(s + q);
        const V2 x2 = _mm_loadu_pd(s + 2 * q);
        const V2 x3 = _mm_loadu_pd(s + 3 * q);
        const V2 a = _mm_add_pd(x0, x2);
        const V2 b = _mm_sub_pd(x0, x2);
        const V2 c = _mm_add_pd(x1, x3);
        const V2 d = timesMinusI(_mm_sub_pd(x1, x3));
        double* out = dst + 8 * static_cast<size_t>(rev[o]);
        _mm_storeu_pd(out, _mm_add_pd(a, c));
        _mm_storeu_pd(out + 2, _mm_add_pd(b, d));
        _mm_storeu_pd(out + 4, _mm_sub_pd(a, c));
        _mm_storeu_pd(out + 6, _mm_sub_pd(b, d));
    }
}

// First pass, radix 8: the DFT of src[o + q N/8], q = 0..7, as two DFTs of
// 4 (even and odd q) joined by e^(-i pi k / 4), stored as group rev(o).
inline void firstPass8(const double* src, double* dst, const uint32_t* rev, int n)
{
    const size_t q = 2 * static_cast<size_t>(n / 8);
    const V2 half = _mm_set1_pd(0.70710678118654752440);
    for (int o = 0; o < n / 8; ++o) {
        const double* s = src + 2 * static_cast<size_t>(o);
        // Even inputs.
        const V2 ea = _mm_add_pd(_mm_loadu_pd(s), _mm_loadu_pd(s + 4 * q));
        const V2 eb = _mm_sub_pd(_mm_loadu_pd(s), _mm_loadu_pd(s + 4 * q));
        const V2 ec = _mm_add_pd(_mm_loadu_pd(s + 2 * q), _mm_loadu_pd(s + 6 * q));
        const V2 ed = timesMinusI(_mm_sub_pd(_mm_loadu_pd(s + 2 * q), _mm_loadu_pd(s + 6 * q)));
        const V2 e0 = _mm_add_pd(ea, ec);
        const V2 e1 = _mm_add_pd(eb, ed);
        const V2 e2 = _mm_sub_pd(ea, ec);
        const V2 e3 = _mm_sub_pd(eb, ed);
        // Odd inputs.
        const V2 oa = _mm_add_pd(_mm_loadu_pd(s + q), _mm_loadu_pd(s + 5 * q));
        const V2 ob = _mm_sub_pd(_mm_loadu_pd(s + q), _mm_loadu_pd(s + 5 * q));
        const V2 oc = _mm_add_pd(_mm_loadu_pd(s + 3 * q), _mm_loadu_pd(s + 7 * q));
        const V2 od = timesMinusI(_mm_sub_pd(_mm_loadu_pd(s + 3 * q), _mm_loadu_pd(s + 7 * q)));
        const V2 o0 = _mm_add_pd(oa, oc);
        const V2 o1r = _mm_add_pd(ob, od);
        const V2 o2 = timesMinusI(_mm_sub_pd(oa, oc));
        const V2 o3r = _mm_sub_pd(ob, od);
        // e^(-i pi/4) v = (v - i v) / sqrt 2, e^(-3i pi/4) v = (-i v - v) / sqrt 2.
        const V2 o1 = _mm_mul_pd(_mm_add_pd(o1r, timesMinusI(o1r)), half);
        const V2 o3 = _mm_mul_pd(_mm_sub_pd(timesMinusI(o3r), o3r), half);
        double* out = dst + 16 * static_cast<size_t>(rev[o]);
        _mm_storeu_pd(out, _mm_add_pd(e0, o0));
        _mm_storeu_pd(out + 2, _mm_add_pd(e1, o1));
        _mm_storeu_pd(out + 4, _mm_add_pd(e2, o2));
        _mm_storeu_pd(out + 6, _mm_add_pd(e3, o3));
        _mm_storeu_pd(out + 8, _mm_sub_pd(e0, o0));
        _mm_storeu_pd(out + 10, _mm_sub_pd(e1, o1));
        _mm_storeu_pd(out + 12, _mm_sub_pd(e2, o2));
        _mm_storeu_pd(out + 14, _mm_sub_pd(e3, o3));
    }
}

// One radix-4 stage over count values: groups of 4m, each made of four DFTs
// of size m stored one after the other (those of the inputs 0, 2, 1, 3 mod 4
// of the group, as bit reversal leaves them). With kSwapScale the results
// are stored with real and imaginary parts swapped, times scale.
template <bool kSwapScale, bool kCompact>
void stageSse(double* w, int count, int m, const double* tw, double scale)
{
    const V2 sc = _mm_set1_pd(scale);
    for (int g = 0; g < count; g += 4 * m) {
        double* p0 = w + 2 * static_cast<size_t>(g);
        double* p1 = p0 + 2 * static_cast<size_t>(m);
        double* p2 = p1 + 2 * static_cast<size_t>(m);
        double* p3 = p2 + 2 * static_cast<size_t>(m);
        const double* t = tw;
        for (int j = 0; j < m; j += 2, t += kCompact ? 8 : 24) {
            for (int h = 0; h < 2; ++h) {
                const size_t o = 2 * static_cast<size_t>(j + h);
                const double* th = t + 2 * h;
                V2 c1, s1, c2, s2, c3, s3;
                if (kCompact) {
                    c1 = _mm_loadu_pd(th);
                    s1 = _mm_loadu_pd(th + 4);
                    c2 = _mm_sub_pd(_mm_mul_pd(c1, c1), _mm_mul_pd(s1, s1));
                    s2 = _mm_mul_pd(_mm_add_pd(c1, c1), s1);
                    c3 = _mm_sub_pd(_mm_mul_pd(c1, c2), _mm_mul_pd(s1, s2));
                    s3 = _mm_add_pd(_mm_mul_pd(c1, s2), _mm_mul_pd(s1, c2));
                } else {
                    c2 = _mm_loadu_pd(th);
                    s2 = _mm_loadu_pd(th + 4);
                    c1 = _mm_loadu_pd(th + 8);
                    s1 = _mm_loadu_pd(th + 12);
                    c3 = _mm_loadu_pd(th + 16);
                    s3 = _mm_loadu_pd(th + 20);
                }
                const V2 a = _mm_loadu_pd(p0 + o);
                const V2 b = twiddled(_mm_loadu_pd(p1 + o), c2, s2);
                const V2 c = twiddled(_mm_loadu_pd(p2 + o), c1, s1);
                const V2 d = twiddled(_mm_loadu_pd(p3 + o), c3, s3);
                const V2 t0 = _mm_add_pd(a, b);
                const V2 t1 = _mm_sub_pd(a, b);
                const V2 t2 = _mm_add_pd(c, d);
                const V2 t3 = timesMinusI(_mm_sub_pd(c, d));
                V2 y0 = _mm_add_pd(t0, t2);
                V2 y1 = _mm_add_pd(t1, t3);
                V2 y2 = _mm_sub_pd(t0, t2);
                V2 y3 = _mm_sub_pd(t1, t3);
                if (kSwapScale) {
                    y0 = _mm_mul_pd(_mm_shuffle_pd(y0, y0, 1), sc);
                    y1 = _mm_mul_pd(_mm_shuffle_pd(y1, y1, 1), sc);
                    y2 = _mm_mul_pd(_mm_shuffle_pd(y2, y2, 1), sc);
                    y3 = _mm_mul_pd(_mm_shuffle_pd(y3, y3, 1), sc);
                }
                _mm_storeu_pd(p0 + o, y0);
                _mm_storeu_pd(p1 + o, y1);
                _mm_storeu_pd(p2 + o, y2);
                _mm_storeu_pd(p3 + o, y3);
            }
        }
    }
}

// The AVX2/FMA kernels (FFTAKernelsAvx.cpp) on x86; elsewhere the wide
// names lead to the 128-bit kernels.
#if !VEXA_FFT_X86
// Without AVX2 the wide kernels are the 128-bit ones (never chosen: the
// processor check below is x86 only).
template <bool kSwapScale, bool kCompact>
void stageAvx(double* w, int count, int m, const double* tw, double scale)
{
    stageSse<kSwapScale, kCompact>(w, count, m, tw, scale);
}
void firstPass4AvxGather(const double* src, double* dst, const uint32_t* rev, int n) { firstPass4(src, dst, rev, n); }
void firstPass8Avx(const double* src, double* dst, const uint32_t* rev, int n) { firstPass8(src, dst, rev, n); }
int separateAvx(const double*, double*, double*, int) { return 1; }
int combineAvx(const double*, const double*, double*, int) { return 1; }
#endif

using FirstPass = void (*)(const double*, double*, const uint32_t*, int);
using Stage = void (*)(double*, int, int, const double*, double);

} // namespace

FFTARadix2::FFTARadix2() = default;

FFTARadix2::FFTARadix2(int n)
{
    setSize(n);
}

FFTARadix2::~FFTARadix2()
{
    release(mWork);
    release(mScratch);
}

void FFTARadix2::makePlan(Plan& plan, int n)
{
    plan.n = n;
    plan.groupReverse.clear();
    if (n < 4) {
        plan.radix = n;
        return;
    }
    const int bits = log2Of(n);
    plan.radix = bits % 2 ? 8 : 4;
    const int groupBits = bits - (bits % 2 ? 3 : 2);
    plan.groupReverse.resize(static_cast<size_t>(n / plan.radix));
    for (size_t g = 0; g < plan.groupReverse.size(); ++g)
        plan.groupReverse[g] = reverseBits(static_cast<uint32_t>(g), groupBits);
}

void FFTARadix2::setSize(int n)
{
    if (n == mSize)
        return;
    mSize = n;
    if (n != mCapacity) {
        release(mWork);
        release(mScratch);
        mWork = allocate(n);
        mScratch = allocate(n);
        mCapacity = n;
    }
    mBitCount = n > 1 ? log2Of(n) : 0;

    const int half = n / 2;
    mCos.assign(static_cast<size_t>(half > 0 ? half : 0), 0.0);
    mSin.assign(mCos.size(), 0.0);
    const long double twoPi = 6.283185307179586476925286766559L;
    for (int k = 0; k < half; ++k) {
        const long double angle = twoPi * k / n;
        mCos[static_cast<size_t>(k)] = static_cast<double>(std::cos(angle));
        mSin[static_cast<size_t>(k)] = static_cast<double>(std::sin(angle));
    }

    makePlan(mFull, n > 0 ? n : 0);
    makePlan(mHalf, n / 2);

    mStageTwiddles.clear();
    mStageOffset.assign(static_cast<size_t>(mBitCount + 1), 0);
    for (int bits = 2; (4 << bits) <= n; ++bits) {
        const int m = 1 << bits;
        mStageOffset[static_cast<size_t>(bits)] = mStageTwiddles.size();
        const int powerCount = m >= kCompactFrom ? 1 : 3;
        for (int j = 0; j < m; j += 2) {
            const int powers[3] = {2, 1, 3};
            const int compactPower[1] = {1};
            for (int i = 0; i < powerCount; ++i) {
                const int p = powerCount == 1 ? compactPower[0] : powers[i];
                double c[2], s[2];
                for (int h = 0; h < 2; ++h) {
                    const long double angle = twoPi * (p * (j + h)) / (4 * m);
                    c[h] = static_cast<double>(std::cos(angle));
                    s[h] = static_cast<double>(std::sin(angle));
                }
                mStageTwiddles.insert(mStageTwiddles.end(), {c[0], c[0], c[1], c[1], s[0], -s[0], s[1], -s[1]});
            }
        }
    }
    setWideVectors(true);
}

const double* FFTARadix2::stageTwiddles(int m) const
{
    return mStageTwiddles.data() + mStageOffset[static_cast<size_t>(log2Of(m))];
}

void FFTARadix2::setWideVectors(bool on)
{
#if VEXA_FFT_X86
    mUseAvx = on && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    (void)on;
    mUseAvx = false;
#endif
}

void FFTARadix2::transform(const Plan& plan, const double* src, double* dst, bool swapScale)
{
    const int n = plan.n;
    const double scale = swapScale ? 1.0 / n : 1.0;
    if (n < 4) {
        if (n == 1) {
            dst[0] = src[0];
            dst[1] = src[1];
        } else if (n == 2) {
            dst[0] = src[0] + src[2];
            dst[1] = src[1] + src[3];
            dst[2] = src[0] - src[2];
            dst[3] = src[1] - src[3];
        }
        if (swapScale) {
            for (int i = 0; i < n; ++i) {
                const double re = dst[2 * i];
                dst[2 * i] = dst[2 * i + 1] * scale;
                dst[2 * i + 1] = re * scale;
            }
        }
        return;
    }

    const int r = plan.radix;
    const bool wide = mUseAvx && n / r >= 2;
    const FirstPass first = r == 8 ? (wide ? firstPass8Avx : firstPass8) : (wide ? firstPass4AvxGather : firstPass4);
    int lastM = 0;
    for (int m = r; 4 * m <= n; m *= 4)
        lastM = m;
    // By [compact table][last stage of an inverse].
    const Stage stages[2][2] = {
        {mUseAvx ? stageAvx<false, false> : stageSse<false, false>, mUseAvx ? stageAvx<true, false> : stageSse<true, false>},
        {mUseAvx ? stageAvx<false, true> : stageSse<false, true>, mUseAvx ? stageAvx<true, true> : stageSse<true, true>}};
    const auto stageFor = [&](int m) { return stages[m >= kCompactFrom][swapScale && m == lastM]; };
    int block = r;
    while (4 * block <= n && 4 * block <= kBlockLimit)
        block *= 4;

    first(src, dst, plan.groupReverse.data(), n);
    for (int b = 0; b < n; b += block) {
        for (int m = r; 4 * m <= block; m *= 4)
            stageFor(m)(dst + 2 * static_cast<size_t>(b), block, m, stageTwiddles(m), scale);
    }
    for (int m = block; 4 * m <= n; m *= 4)
        stageFor(m)(dst, n, m, stageTwiddles(m), scale);

    if (swapScale && lastM == 0) {
        for (int i = 0; i < n; ++i) {
            const double re = dst[2 * i];
            dst[2 * i] = dst[2 * i + 1] * scale;
            dst[2 * i + 1] = re * scale;
        }
    }
}

void FFTARadix2::stereoForward(const double* frames, double* spectra)
{
    const int n = mSize;
    transform(mFull, frames, mWork, false);

    const double* z = mWork;
    double* x = spectra;          // left bins 0 .. N/2
    double* y = spectra + n + 2;  // right bins 0 .. N/2
    const int half = n / 2;
    x[0] = z[0];
    x[1] = 0.0;
    y[0] = z[1];
    y[1] = 0.0;
    x[2 * half] = z[2 * half];
    x[2 * half + 1] = 0.0;
    y[2 * half] = z[2 * half + 1];
    y[2 * half + 1] = 0.0;
    int k = mUseAvx ? separateAvx(z, x, y, n) : 1;
    const V2 negIm = _mm_set_pd(-0.0, 0.0);
    const V2 h = _mm_set1_pd(0.5);
    for (; k < half; ++k) {
        const V2 a = _mm_loadu_pd(z + 2 * k);
        const V2 cb = _mm_xor_pd(_mm_loadu_pd(z + 2 * (n - k)), negIm);
        const V2 d = _mm_sub_pd(a, cb);
        _mm_storeu_pd(x + 2 * k, _mm_mul_pd(_mm_add_pd(a, cb), h));
        _mm_storeu_pd(y + 2 * k, _mm_mul_pd(_mm_xor_pd(_mm_shuffle_pd(d, d, 1), negIm), h));
    }
}

void FFTARadix2::stereoInverse(const double* spectra, double* frames)
{
    const int n = mSize;
    const int half = n / 2;
    const double* x = spectra;
    const double* y = spectra + n + 2;
    double* z = mScratch;

    // The swapped-component form of Z = X + iY; a forward transform of it,
    // swapped back and scaled by 1/N, is the inverse transform.
    z[0] = y[0];
    z[1] = x[0];
    z[2 * half] = y[2 * half];
    z[2 * half + 1] = x[2 * half];
    int k = mUseAvx ? combineAvx(x, y, z, n) : 1;
    const V2 negIm = _mm_set_pd(-0.0, 0.0);
    const V2 negRe = _mm_set_pd(0.0, -0.0);
    for (; k < half; ++k) {
        const V2 xv = _mm_loadu_pd(x + 2 * k);
        const V2 yv = _mm_loadu_pd(y + 2 * k);
        const V2 a = _mm_shuffle_pd(xv, xv, 1);
        _mm_storeu_pd(z + 2 * k, _mm_add_pd(a, _mm_xor_pd(yv, negIm)));
        _mm_storeu_pd(z + 2 * (n - k), _mm_add_pd(yv, _mm_xor_pd(a, negRe)));
    }
    transform(mFull, z, frames, true);
}

void FFTARadix2::realForward(const double* samples, double* spectrum)
{
    const int n = mSize;
    if (n < 2) {
        spectrum[0] = n == 1 ? samples[0] : 0.0;
        spectrum[1] = 0.0;
        return;
    }
    // z[t] = x[2t] + i x[2t+1] is the samples array itself. With
    // E = (Z[k] + conj Z[M-k]) / 2 and O = (Z[k] - conj Z[M-k]) / 2i,
    // X[k] = E + e^(-2 pi i k / N) O.
    const int m = n / 2;
    transform(mHalf, samples, mWork, false);
    const double* z = mWork;
    spectrum[0] = z[0] + z[1];
    spectrum[1] = 0.0;
    spectrum[2 * m] = z[0] - z[1];
    spectrum[2 * m + 1] = 0.0;
    for (int k = 1; k < m; ++k) {
        const double ar = z[2 * k];
        const double ai = z[2 * k + 1];
        const double br = z[2 * (m - k)];
        const double bi = -z[2 * (m - k) + 1];
        const double er = 0.5 * (ar + br);
        const double ei = 0.5 * (ai + bi);
        const double orr = 0.5 * (ai - bi);
        const double oi = -0.5 * (ar - br);
        const double c = mCos[static_cast<size_t>(k)];
        const double s = mSin[static_cast<size_t>(k)];
        spectrum[2 * k] = er + c * orr + s * oi;
        spectrum[2 * k + 1] = ei + c * oi - s * orr;
    }
}

} // namespace vexa::detail
