#include "FFTARadix2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <tuple>
#include <vector>

using vexa::detail::FFTARadix2;

using cd = std::complex<double>;

namespace {

// The textbook O(N^2) DFT, in long double, of one real channel.
std::vector<cd> naiveDft(const std::vector<double>& x)
{
    const size_t n = x.size();
    std::vector<cd> out(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; ++k) {
        long double re = 0, im = 0;
        for (size_t t = 0; t < n; ++t) {
            const long double a = -2.0L * 3.14159265358979323846264338327950288L * static_cast<long double>((k * t) % n) / n;
            re += x[t] * std::cos(a);
            im += x[t] * std::sin(a);
        }
        out[k] = cd(static_cast<double>(re), static_cast<double>(im));
    }
    return out;
}

std::vector<double> randomSignal(size_t n, std::mt19937& rng)
{
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> v(n);
    for (auto& x : v)
        x = d(rng);
    return v;
}

// Interleaves two channels into stereo frames.
std::vector<double> stereo(const std::vector<double>& l, const std::vector<double>& r)
{
    std::vector<double> f(2 * l.size());
    for (size_t i = 0; i < l.size(); ++i) {
        f[2 * i] = l[i];
        f[2 * i + 1] = r[i];
    }
    return f;
}

cd bin(const std::vector<double>& spectra, size_t channelOffset, size_t k)
{
    return cd(spectra[2 * (channelOffset + k)], spectra[2 * (channelOffset + k) + 1]);
}

} // namespace

// Both channels of one complex transform against two independent DFTs, for
// every size from 2 to 1024, with the wide and the portable butterflies.
class FFTARadix2Paths : public ::testing::TestWithParam<bool> {};

TEST_P(FFTARadix2Paths, MatchesNaiveDft)
{
    std::mt19937 rng(12345);
    for (int n = 2; n <= 1024; n *= 2) {
        SCOPED_TRACE(n);
        const auto l = randomSignal(static_cast<size_t>(n), rng);
        const auto r = randomSignal(static_cast<size_t>(n), rng);
        FFTARadix2 fft(n);
        fft.setWideVectors(GetParam());
        std::vector<double> spectra(2 * static_cast<size_t>(n) + 4, 99.0);
        fft.stereoForward(stereo(l, r).data(), spectra.data());
        const auto dl = naiveDft(l);
        const auto dr = naiveDft(r);
        double scale = 0;
        for (size_t k = 0; k < dl.size(); ++k)
            scale = std::max({scale, std::abs(dl[k]), std::abs(dr[k])});
        for (size_t k = 0; k <= static_cast<size_t>(n / 2); ++k) {
            ASSERT_LT(std::abs(bin(spectra, 0, k) - dl[k]) / scale, 1e-12) << "left bin " << k;
            ASSERT_LT(std::abs(bin(spectra, static_cast<size_t>(n / 2) + 1, k) - dr[k]) / scale, 1e-12) << "right bin " << k;
        }

        std::vector<double> half(static_cast<size_t>(n) + 2);
        fft.realForward(l.data(), half.data());
        for (size_t k = 0; k <= static_cast<size_t>(n / 2); ++k)
            ASSERT_LT(std::abs(bin(half, 0, k) - dl[k]) / scale, 1e-12) << "real bin " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Butterflies, FFTARadix2Paths, ::testing::Values(true, false));

// Sizes past the naive test's reach (blocked passes, both first-pass radices,
// stages whose twiddles are computed from w^j): sampled bins of both channels
// and of the real transform against the long-double DFT of those bins.
class FFTARadix2Large : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(FFTARadix2Large, SampledBinsMatchNaiveDft)
{
    const int n = std::get<0>(GetParam());
    std::mt19937 rng(static_cast<unsigned>(n));
    const auto l = randomSignal(static_cast<size_t>(n), rng);
    const auto r = randomSignal(static_cast<size_t>(n), rng);
    FFTARadix2 fft(n);
    fft.setWideVectors(std::get<1>(GetParam()));
    std::vector<double> spectra(2 * static_cast<size_t>(n) + 4);
    fft.stereoForward(stereo(l, r).data(), spectra.data());
    std::vector<double> half(static_cast<size_t>(n) + 2);
    fft.realForward(l.data(), half.data());

    // Parseval: the rms bin magnitude is the input's norm.
    long double energy = 0;
    for (size_t t = 0; t < l.size(); ++t)
        energy += static_cast<long double>(l[t]) * l[t] + static_cast<long double>(r[t]) * r[t];
    const double tolerance = 1e-15 * std::log2(n) * std::sqrt(static_cast<double>(energy));
    const size_t nh = static_cast<size_t>(n / 2);
    for (size_t k : {size_t(0), size_t(1), size_t(2), size_t(3), nh / 3, nh / 2 + 1, nh - 2, nh - 1, nh, size_t(1234) % nh}) {
        const long double pi = 3.14159265358979323846264338327950288L;
        std::complex<long double> dl = 0, dr = 0;
        for (size_t t = 0; t < l.size(); ++t) {
            const long double a = -2.0L * pi * static_cast<long double>((k * t) % l.size()) / n;
            const std::complex<long double> e(std::cos(a), std::sin(a));
            dl += static_cast<long double>(l[t]) * e;
            dr += static_cast<long double>(r[t]) * e;
        }
        const cd wantL(static_cast<double>(dl.real()), static_cast<double>(dl.imag()));
        const cd wantR(static_cast<double>(dr.real()), static_cast<double>(dr.imag()));
        EXPECT_LT(std::abs(bin(spectra, 0, k) - wantL), tolerance) << "left bin " << k;
        EXPECT_LT(std::abs(bin(spectra, nh + 1, k) - wantR), tolerance) << "right bin " << k;
        EXPECT_LT(std::abs(bin(half, 0, k) - wantL), tolerance) << "real bin " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FFTARadix2Large,
                         ::testing::Combine(::testing::Values(2048, 4096, 8192, 16384, 32768, 65536),
                                            ::testing::Values(true, false)));

TEST_P(FFTARadix2Paths, InverseRestoresTheInput)
{
    std::mt19937 rng(7);
    for (int n = 2; n <= 65536; n *= 2) {
        SCOPED_TRACE(n);
        const auto frames = stereo(randomSignal(static_cast<size_t>(n), rng), randomSignal(static_cast<size_t>(n), rng));
        FFTARadix2 fft(n);
        fft.setWideVectors(GetParam());
        std::vector<double> spectra(2 * static_cast<size_t>(n) + 4);
        fft.stereoForward(frames.data(), spectra.data());
        // The imaginary parts of DC and Nyquist carry nothing.
        spectra[1] = 3.0;
        spectra[static_cast<size_t>(n) + 1] = -2.0;
        spectra[static_cast<size_t>(n) + 3] = 5.0;
        spectra.back() = 7.0;
        std::vector<double> back(frames.size());
        fft.stereoInverse(spectra.data(), back.data());
        double worst = 0;
        for (size_t i = 0; i < frames.size(); ++i)
            worst = std::max(worst, std::abs(back[i] - frames[i]));
        EXPECT_LT(worst, 1e-13 * std::log2(n) + 1e-15);
    }
}

TEST(FFTARadix2, KnownBins)
{
    const int n = 64;
    FFTARadix2 fft(n);
    std::vector<double> spectra(2 * n + 4);
    const size_t right = n / 2 + 1;

    // Constants: only DC.
    std::vector<double> frames(2 * n);
    for (int i = 0; i < n; ++i) {
        frames[2 * i] = 0.25;
        frames[2 * i + 1] = -2.0;
    }
    fft.stereoForward(frames.data(), spectra.data());
    EXPECT_NEAR(bin(spectra, 0, 0).real(), n * 0.25, 1e-12);
    EXPECT_NEAR(bin(spectra, right, 0).real(), -2.0 * n, 1e-12);
    for (size_t k = 1; k <= n / 2; ++k) {
        EXPECT_NEAR(std::abs(bin(spectra, 0, k)), 0.0, 1e-12);
        EXPECT_NEAR(std::abs(bin(spectra, right, k)), 0.0, 1e-12);
    }

    // A left impulse is flat on the left and absent on the right, and the
    // other way round.
    std::fill(frames.begin(), frames.end(), 0.0);
    frames[0] = 1.0;
    fft.stereoForward(frames.data(), spectra.data());
    for (size_t k = 0; k <= n / 2; ++k) {
        EXPECT_NEAR(std::abs(bin(spectra, 0, k) - cd(1, 0)), 0.0, 1e-15);
        EXPECT_EQ(std::abs(bin(spectra, right, k)), 0.0);
    }
    std::fill(frames.begin(), frames.end(), 0.0);
    frames[1] = 1.0;
    fft.stereoForward(frames.data(), spectra.data());
    for (size_t k = 0; k <= n / 2; ++k) {
        EXPECT_EQ(std::abs(bin(spectra, 0, k)), 0.0);
        EXPECT_NEAR(std::abs(bin(spectra, right, k) - cd(1, 0)), 0.0, 1e-15);
    }

    // A left cosine of period N/4: bin 4 only, no leakage into the right.
    for (int i = 0; i < n; ++i) {
        frames[2 * i] = std::cos(2 * M_PI * 4 * i / n);
        frames[2 * i + 1] = 0.0;
    }
    fft.stereoForward(frames.data(), spectra.data());
    for (size_t k = 0; k <= n / 2; ++k) {
        const cd want = k == 4 ? cd(n / 2.0, 0) : cd(0, 0);
        EXPECT_NEAR(std::abs(bin(spectra, 0, k) - want), 0.0, 1e-12) << k;
        EXPECT_NEAR(std::abs(bin(spectra, right, k)), 0.0, 1e-12) << k;
    }
}

TEST(FFTARadix2, Resizing)
{
    FFTARadix2 fft;
    EXPECT_EQ(fft.getSize(), 0);
    EXPECT_EQ(fft.getWorkBuffer(), nullptr);
    fft.setSize(8);
    EXPECT_EQ(fft.getBitCount(), 3);
    const double* work = fft.getWorkBuffer();
    const double* table = fft.getCosTable().data();
    fft.setSize(8);
    EXPECT_EQ(fft.getWorkBuffer(), work);
    EXPECT_EQ(fft.getCosTable().data(), table);
    fft.setSize(16);
    EXPECT_EQ(fft.getBitCount(), 4);
    EXPECT_EQ(fft.getCosTable().size(), 8u);

    // After resizing the transform is right at the new size.
    std::mt19937 rng(3);
    const auto l = randomSignal(16, rng);
    std::vector<double> half(18);
    fft.realForward(l.data(), half.data());
    const auto want = naiveDft(l);
    for (size_t k = 0; k < want.size(); ++k)
        EXPECT_LT(std::abs(bin(half, 0, k) - want[k]), 1e-13);
}
