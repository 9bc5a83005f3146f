// The FFT engine against FFTW (FFTW_MEASURE plans, one complex transform of
// the stereo frames forward and one back, as the engine does) in one run.
#include "FFTARadix2.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <random>
#include <vector>

namespace {

std::vector<double> randomFrames(int n)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> d(-1, 1);
    std::vector<double> v(2 * static_cast<size_t>(n));
    for (auto& x : v)
        x = d(rng);
    return v;
}

void BM_Radix2StereoForwardInverse(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    FFTARadix2 fft(n);
    auto frames = randomFrames(n);
    std::vector<double> spectra(2 * static_cast<size_t>(n) + 4);
    for (auto _ : state) {
        fft.stereoForward(frames.data(), spectra.data());
        fft.stereoInverse(spectra.data(), frames.data());
        benchmark::DoNotOptimize(frames.data());
    }
}

void BM_FftwStereoForwardInverse(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    auto* in = fftw_alloc_complex(static_cast<size_t>(n));
    auto* out = fftw_alloc_complex(static_cast<size_t>(n));
    fftw_plan forward = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    fftw_plan backward = fftw_plan_dft_1d(n, out, in, FFTW_BACKWARD, FFTW_MEASURE);
    auto frames = randomFrames(n);
    for (int i = 0; i < n; ++i) {
        in[i][0] = frames[2 * static_cast<size_t>(i)];
        in[i][1] = frames[2 * static_cast<size_t>(i) + 1];
    }
    for (auto _ : state) {
        fftw_execute(forward);
        fftw_execute(backward);
        benchmark::DoNotOptimize(in);
    }
    fftw_destroy_plan(forward);
    fftw_destroy_plan(backward);
    fftw_free(in);
    fftw_free(out);
}

} // namespace

BENCHMARK(BM_Radix2StereoForwardInverse)->Arg(1024)->Arg(8192)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FftwStereoForwardInverse)->Arg(1024)->Arg(8192)->Arg(65536)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
