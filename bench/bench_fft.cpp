// The FFT engine against FFTW (FFTW_MEASURE plans, one complex transform of
// the stereo frames forward and one back, as the engine does) in one run.
#include "FFTARadix2.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

using vexa::detail::FFTARadix2;

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

// Both in the same run, alternating, as a ratio (engine time / FFTW time):
// the figure to watch, less sensitive to the load of a shared machine than
// two separate benchmarks.
void BM_RatioToFftw(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    FFTARadix2 fft(n);
    auto frames = randomFrames(n);
    std::vector<double> spectra(2 * static_cast<size_t>(n) + 4);
    auto* in = fftw_alloc_complex(static_cast<size_t>(n));
    auto* out = fftw_alloc_complex(static_cast<size_t>(n));
    fftw_plan forward = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
    fftw_plan backward = fftw_plan_dft_1d(n, out, in, FFTW_BACKWARD, FFTW_MEASURE);
    for (int i = 0; i < n; ++i) {
        in[i][0] = frames[2 * static_cast<size_t>(i)];
        in[i][1] = frames[2 * static_cast<size_t>(i) + 1];
    }
    const int reps = std::max(1, (1 << 22) / n);
    double ours = 0.0, theirs = 0.0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) {
            fft.stereoForward(frames.data(), spectra.data());
            fft.stereoInverse(spectra.data(), frames.data());
        }
        benchmark::DoNotOptimize(frames.data());
        auto t1 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) {
            fftw_execute(forward);
            fftw_execute(backward);
        }
        benchmark::DoNotOptimize(in);
        auto t2 = std::chrono::steady_clock::now();
        ours += std::chrono::duration<double>(t1 - t0).count();
        theirs += std::chrono::duration<double>(t2 - t1).count();
    }
    state.counters["engine/FFTW"] = theirs > 0 ? ours / theirs : 0.0;
    state.counters["engine us"] = 1e6 * ours / (static_cast<double>(reps) * static_cast<double>(state.iterations()));
    state.counters["FFTW us"] = 1e6 * theirs / (static_cast<double>(reps) * static_cast<double>(state.iterations()));
    fftw_destroy_plan(forward);
    fftw_destroy_plan(backward);
    fftw_free(in);
    fftw_free(out);
}

// The spectrum of a filter's taps, as the FFT filter takes it once per run.
void BM_Radix2RealForward(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    FFTARadix2 fft(n);
    auto samples = randomFrames(n / 2);
    std::vector<double> spectrum(static_cast<size_t>(n) + 2);
    for (auto _ : state) {
        fft.realForward(samples.data(), spectrum.data());
        benchmark::DoNotOptimize(spectrum.data());
    }
}

} // namespace

BENCHMARK(BM_RatioToFftw)->RangeMultiplier(2)->Range(256, 65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Radix2RealForward)->Arg(8192)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Radix2StereoForwardInverse)->Arg(1024)->Arg(8192)->Arg(65536)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FftwStereoForwardInverse)->Arg(1024)->Arg(8192)->Arg(65536)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
