#include "FFTARadix2.h"

#include <cmath>
#include <cstring>
#include <immintrin.h>

FFTARadix2::FFTARadix2() = default;

FFTARadix2::FFTARadix2(int n)
{
    setSize(n);
}

FFTARadix2::~FFTARadix2()
{
    delete[] mWork;
    delete[] mScratch;
}

void FFTARadix2::setSize(int n)
{
    if (n == mSize)
        return;
    mSize = n;
    if (n != mCapacity) {
        delete[] mWork;
        delete[] mScratch;
        mWork = n > 0 ? new double[2 * static_cast<size_t>(n)]() : nullptr;
        mScratch = n > 0 ? new double[2 * static_cast<size_t>(n)]() : nullptr;
        mCapacity = n;
    }
    mBitCount = 0;
    for (int m = n; m > 1; m >>= 1)
        ++mBitCount;

    const int half = n / 2;
    mCos.assign(static_cast<size_t>(half > 0 ? half : 0), 0.0);
    mSin.assign(mCos.size(), 0.0);
    for (int k = 0; k < half; ++k) {
        const double angle = k * 6.283185307179586 / n;
        mCos[static_cast<size_t>(k)] = std::cos(angle);
        mSin[static_cast<size_t>(k)] = std::sin(angle);
    }

    mBitReverse.assign(static_cast<size_t>(n > 0 ? n : 0), 0);
    for (int i = 0; i < n; ++i) {
        uint32_t r = 0;
        for (int b = 0; b < mBitCount; ++b)
            r |= ((static_cast<uint32_t>(i) >> b) & 1u) << (mBitCount - 1 - b);
        mBitReverse[static_cast<size_t>(i)] = r;
    }

    // Stages of half size h >= 4 read twiddle j = e^(-2 pi i j / 2h), which
    // is entry j * (N / 2h) of the tables. They are stored two by two as the
    // vectors the butterflies multiply by: (c0, c0, c1, c1), (s0, -s0, s1, -s1).
    mStageTwiddles.clear();
    for (int h = 4; h < n; h *= 2) {
        const int step = n / (2 * h);
        for (int j = 0; j < h; j += 2) {
            const double c0 = mCos[static_cast<size_t>(j * step)];
            const double s0 = mSin[static_cast<size_t>(j * step)];
            const double c1 = mCos[static_cast<size_t>((j + 1) * step)];
            const double s1 = mSin[static_cast<size_t>((j + 1) * step)];
            mStageTwiddles.insert(mStageTwiddles.end(), {c0, c0, c1, c1, s0, -s0, s1, -s1});
        }
    }
    setWideVectors(true);
}

void FFTARadix2::setWideVectors(bool on)
{
    mUseAvx = on && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

void FFTARadix2::transform(const double* src)
{
    const int n = mSize;
    const uint32_t* rev = mBitReverse.data();
    double* w = mWork;
    if (n < 4) {
        for (int i = 0; i < n; ++i) {
            w[2 * i] = src[2 * rev[i]];
            w[2 * i + 1] = src[2 * rev[i] + 1];
        }
        if (n == 2) {
            const __m128d a = _mm_loadu_pd(w);
            const __m128d b = _mm_loadu_pd(w + 2);
            _mm_storeu_pd(w, _mm_add_pd(a, b));
            _mm_storeu_pd(w + 2, _mm_sub_pd(a, b));
        }
        return;
    }

    const __m128d negIm = _mm_set_pd(-0.0, 0.0); // flips the sign of the imaginary part
    // x * (-i) = (im, -re)
    const auto timesMinusI = [negIm](__m128d x) { return _mm_xor_pd(_mm_shuffle_pd(x, x, 1), negIm); };
    const double* tw = mStageTwiddles.data();
    int firstLater = 4;
    if (n == 4) {
        // Sizes 2 and 4 (twiddles 1, then 1 and -i) on the gathered inputs.
        const __m128d x0 = _mm_loadu_pd(src + 2 * rev[0]);
        const __m128d x1 = _mm_loadu_pd(src + 2 * rev[1]);
        const __m128d x2 = _mm_loadu_pd(src + 2 * rev[2]);
        const __m128d x3 = _mm_loadu_pd(src + 2 * rev[3]);
        const __m128d y0 = _mm_add_pd(x0, x1);
        const __m128d y1 = _mm_sub_pd(x0, x1);
        const __m128d y2 = _mm_add_pd(x2, x3);
        const __m128d t3 = timesMinusI(_mm_sub_pd(x2, x3));
        _mm_storeu_pd(w, _mm_add_pd(y0, y2));
        _mm_storeu_pd(w + 4, _mm_sub_pd(y0, y2));
        _mm_storeu_pd(w + 2, _mm_add_pd(y1, t3));
        _mm_storeu_pd(w + 6, _mm_sub_pd(y1, t3));
        return;
    }

    // The bit-reversal permutation is a gather done while the first three
    // stages (sizes 2, 4 and 8) are computed in registers: the eight inputs
    // of group s are src[rev(s) + rev3(m) N/8] for m = 0..7.
    const size_t eighth = 2 * static_cast<size_t>(n / 8); // in doubles
    const size_t offsets[8] = {0, 4 * eighth, 2 * eighth, 6 * eighth, eighth, 5 * eighth, 3 * eighth, 7 * eighth};
    const __m128d c1 = _mm_set1_pd(mCos[static_cast<size_t>(n / 8)]);
    const __m128d s1 = _mm_set_pd(-mSin[static_cast<size_t>(n / 8)], mSin[static_cast<size_t>(n / 8)]);
    const __m128d c3 = _mm_set1_pd(mCos[static_cast<size_t>(3 * n / 8)]);
    const __m128d s3 = _mm_set_pd(-mSin[static_cast<size_t>(3 * n / 8)], mSin[static_cast<size_t>(3 * n / 8)]);
    // t = b * e^(-i theta) = (re c + im s, im c - re s)
    const auto twiddle = [](__m128d b, __m128d c, __m128d sn) {
        return _mm_add_pd(_mm_mul_pd(b, c), _mm_mul_pd(_mm_shuffle_pd(b, b, 1), sn));
    };
    for (int s = 0; s < n; s += 8) {
        const double* q = src + 2 * static_cast<size_t>(rev[s]);
        __m128d x[8];
        for (int m = 0; m < 8; ++m)
            x[m] = _mm_loadu_pd(q + offsets[m]);
        // Size 2.
        __m128d y[8];
        for (int m = 0; m < 8; m += 2) {
            y[m] = _mm_add_pd(x[m], x[m + 1]);
            y[m + 1] = _mm_sub_pd(x[m], x[m + 1]);
        }
        // Size 4: twiddles 1 and -i.
        __m128d z[8];
        for (int g = 0; g < 8; g += 4) {
            const __m128d t3 = timesMinusI(y[g + 3]);
            z[g] = _mm_add_pd(y[g], y[g + 2]);
            z[g + 2] = _mm_sub_pd(y[g], y[g + 2]);
            z[g + 1] = _mm_add_pd(y[g + 1], t3);
            z[g + 3] = _mm_sub_pd(y[g + 1], t3);
        }
        // Size 8: twiddles 1, e^(-i pi/4), -i, e^(-i 3pi/4).
        const __m128d t4 = z[4];
        const __m128d t5 = twiddle(z[5], c1, s1);
        const __m128d t6 = timesMinusI(z[6]);
        const __m128d t7 = twiddle(z[7], c3, s3);
        double* p = w + 2 * s;
        _mm_storeu_pd(p, _mm_add_pd(z[0], t4));
        _mm_storeu_pd(p + 8, _mm_sub_pd(z[0], t4));
        _mm_storeu_pd(p + 2, _mm_add_pd(z[1], t5));
        _mm_storeu_pd(p + 10, _mm_sub_pd(z[1], t5));
        _mm_storeu_pd(p + 4, _mm_add_pd(z[2], t6));
        _mm_storeu_pd(p + 12, _mm_sub_pd(z[2], t6));
        _mm_storeu_pd(p + 6, _mm_add_pd(z[3], t7));
        _mm_storeu_pd(p + 14, _mm_sub_pd(z[3], t7));
    }
    // The stage of half size 4 is done: skip its twiddles.
    tw += 4 * 4;
    firstLater = 8;

    if (mUseAvx) {
        laterStagesAvx(w, n, firstLater, tw);
        return;
    }
    // Later stages: t = b * e^(-i theta) = (re c + im s, im c - re s).
    for (int h = firstLater; h < n; h *= 2) {
        for (int s = 0; s < n; s += 2 * h) {
            double* a = w + 2 * s;
            double* b = a + 2 * h;
            const double* t = tw;
            for (int j = 0; j < h; j += 2, a += 4, b += 4, t += 8) {
                const __m128d b0 = _mm_loadu_pd(b);
                const __m128d b1 = _mm_loadu_pd(b + 2);
                const __m128d p0 = _mm_add_pd(_mm_mul_pd(b0, _mm_loadu_pd(t)),
                                              _mm_mul_pd(_mm_shuffle_pd(b0, b0, 1), _mm_loadu_pd(t + 4)));
                const __m128d p1 = _mm_add_pd(_mm_mul_pd(b1, _mm_loadu_pd(t + 2)),
                                              _mm_mul_pd(_mm_shuffle_pd(b1, b1, 1), _mm_loadu_pd(t + 6)));
                const __m128d a0 = _mm_loadu_pd(a);
                const __m128d a1 = _mm_loadu_pd(a + 2);
                _mm_storeu_pd(a, _mm_add_pd(a0, p0));
                _mm_storeu_pd(a + 2, _mm_add_pd(a1, p1));
                _mm_storeu_pd(b, _mm_sub_pd(a0, p0));
                _mm_storeu_pd(b + 2, _mm_sub_pd(a1, p1));
            }
        }
        tw += 4 * static_cast<size_t>(h);
    }
}

// The same stages with two butterflies per vector and fused multiply-adds,
// on processors that have them. Stages go two at a time: the butterflies of
// stage h and of stage 2h touch the same four elements, so one pass over the
// buffer does both (the arithmetic is that of the two radix-2 stages).
namespace {

__attribute__((target("avx2,fma"))) inline __m256d twiddled(__m256d b, const double* t)
{
    return _mm256_fmadd_pd(b, _mm256_loadu_pd(t), _mm256_mul_pd(_mm256_permute_pd(b, 0x5), _mm256_loadu_pd(t + 4)));
}

} // namespace

__attribute__((target("avx2,fma"))) void FFTARadix2::laterStagesAvx(double* w, int n, int firstHalf, const double* tw)
{
    int h = firstHalf;
    for (; 4 * h <= n; h *= 4) {
        const double* t1 = tw;                               // stage h
        const double* t2 = tw + 4 * static_cast<size_t>(h);  // stage 2h
        for (int s = 0; s < n; s += 4 * h) {
            double* p0 = w + 2 * s;
            double* p1 = p0 + 2 * h;
            double* p2 = p1 + 2 * h;
            double* p3 = p2 + 2 * h;
            const double* ta = t1;
            const double* tb = t2;
            const double* tc = t2 + 4 * static_cast<size_t>(h);
            for (int j = 0; j < h; j += 2, p0 += 4, p1 += 4, p2 += 4, p3 += 4, ta += 8, tb += 8, tc += 8) {
                const __m256d x0 = _mm256_loadu_pd(p0);
                const __m256d x1 = twiddled(_mm256_loadu_pd(p1), ta);
                const __m256d x2 = _mm256_loadu_pd(p2);
                const __m256d x3 = twiddled(_mm256_loadu_pd(p3), ta);
                const __m256d y0 = _mm256_add_pd(x0, x1);
                const __m256d y1 = _mm256_sub_pd(x0, x1);
                const __m256d y2 = twiddled(_mm256_add_pd(x2, x3), tb);
                const __m256d y3 = twiddled(_mm256_sub_pd(x2, x3), tc);
                _mm256_storeu_pd(p0, _mm256_add_pd(y0, y2));
                _mm256_storeu_pd(p2, _mm256_sub_pd(y0, y2));
                _mm256_storeu_pd(p1, _mm256_add_pd(y1, y3));
                _mm256_storeu_pd(p3, _mm256_sub_pd(y1, y3));
            }
        }
        tw += 4 * static_cast<size_t>(h) + 8 * static_cast<size_t>(h);
    }
    // An odd number of stages leaves the last one alone.
    for (; h < n; h *= 2) {
        for (int s = 0; s < n; s += 2 * h) {
            double* a = w + 2 * s;
            double* b = a + 2 * h;
            const double* t = tw;
            for (int j = 0; j < h; j += 2, a += 4, b += 4, t += 8) {
                const __m256d prod = twiddled(_mm256_loadu_pd(b), t);
                const __m256d av = _mm256_loadu_pd(a);
                _mm256_storeu_pd(a, _mm256_add_pd(av, prod));
                _mm256_storeu_pd(b, _mm256_sub_pd(av, prod));
            }
        }
        tw += 4 * static_cast<size_t>(h);
    }
}

void FFTARadix2::stereoForward(const double* frames, double* spectra)
{
    const int n = mSize;
    transform(frames);

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
    for (int k = 1; k < half; ++k) {
        const double zr = z[2 * k];
        const double zi = z[2 * k + 1];
        const double wr = z[2 * (n - k)];
        const double wi = z[2 * (n - k) + 1];
        x[2 * k] = (zr + wr) * 0.5;
        x[2 * k + 1] = (zi - wi) * 0.5;
        y[2 * k] = (zi + wi) * 0.5;
        y[2 * k + 1] = (wr - zr) * 0.5;
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
    for (int k = 1; k < half; ++k) {
        const double xr = x[2 * k];
        const double xi = x[2 * k + 1];
        const double yr = y[2 * k];
        const double yi = y[2 * k + 1];
        z[2 * k] = yr + xi;
        z[2 * k + 1] = xr - yi;
        z[2 * (n - k)] = yr - xi;
        z[2 * (n - k) + 1] = xr + yi;
    }
    transform(z);

    const double scale = 1.0 / n;
    const __m128d s = _mm_set1_pd(scale);
    const double* w = mWork;
    for (int i = 0; i < n; ++i) {
        const __m128d v = _mm_loadu_pd(w + 2 * i);
        _mm_storeu_pd(frames + 2 * i, _mm_mul_pd(_mm_shuffle_pd(v, v, 1), s));
    }
}

void FFTARadix2::realForward(const double* samples, double* spectrum)
{
    const int n = mSize;
    for (int i = 0; i < n; ++i) {
        mScratch[2 * i] = samples[i];
        mScratch[2 * i + 1] = 0.0;
    }
    transform(mScratch);
    std::memcpy(spectrum, mWork, (static_cast<size_t>(n / 2) + 1) * 2 * sizeof(double));
}
