// Throughput of the filter kernels on interleaved stereo doubles, in frames
// per second: one biquad, a ten-band peaking equalizer in cascade (bands at
// 31 Hz to 16 kHz, one octave, +/-3 dB) run block by block as a filter node
// runs it, the first-order, sixth-order, general and clip kernels.
#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "SoundFilter.h"
#include "WeightingFilterBuilder.h"

#include "BenchSupport.h"
#include "MemoryWriter.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFilterBiquad.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

using Frames = std::vector<SoundTools::StereoFrame<double>>;
using FilterPtr = std::shared_ptr<SoundTools::Filter>;

constexpr unsigned int kRate = 44100;
constexpr unsigned int kMinute = 60u * kRate;

Frames signal(size_t n)
{
    Frames f(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        f[i] = {0.3 * std::sin(2.0 * M_PI * 440.0 * t) + 0.1 * std::sin(2.0 * M_PI * 57.0 * t),
                0.3 * std::sin(2.0 * M_PI * 1330.0 * t) - 0.1 * std::sin(2.0 * M_PI * 9000.0 * t)};
    }
    return f;
}

std::vector<FilterPtr> tenBands()
{
    const double freqs[10] = {31.25, 62.5, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
    std::vector<FilterPtr> kernels;
    for (int k = 0; k < 10; ++k)
        kernels.push_back(SoundTools::BiquadEqBuilder(SoundTools::BandEq, freqs[k], 1.0, k % 2 ? -3.0 : 3.0).buildFilter(kRate));
    return kernels;
}

// Runs the kernels over `frames` block by block: the first one from the
// input to the output, the later ones in place on the output.
void runBlocks(const std::vector<FilterPtr>& kernels, Frames& in, Frames& out, unsigned int block)
{
    const size_t n = in.size();
    for (size_t pos = 0; pos < n; pos += block) {
        const unsigned int m = static_cast<unsigned int>(std::min<size_t>(block, n - pos));
        SoundTools::StereoFrame<double>* src = in.data() + pos;
        SoundTools::StereoFrame<double>* dst = out.data() + pos;
        for (const auto& k : kernels) {
            k->filter(src, dst, m);
            src = dst;
        }
    }
}

void report(benchmark::State& state, size_t frames)
{
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames) * state.iterations(), benchmark::Counter::kIsRate);
}

// A minute of audio, block by block (argument: block size).
void streamOf(benchmark::State& state, std::vector<FilterPtr> kernels)
{
    Frames in = signal(kMinute), out(kMinute);
    const unsigned int block = static_cast<unsigned int>(state.range(0));
    for (auto _ : state) {
        runBlocks(kernels, in, out, block);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, kMinute);
}

// One block that stays in cache, filtered again and again (argument: size).
void inCacheOf(benchmark::State& state, FilterPtr kernel)
{
    const unsigned int n = static_cast<unsigned int>(state.range(0));
    Frames in = signal(n), out(n);
    for (auto _ : state) {
        kernel->filter(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

FilterPtr peaking()
{
    return SoundTools::BiquadEqBuilder(SoundTools::BandEq, 1000, 1.0, 3.0).buildFilter(kRate);
}

void BM_BiquadInCache(benchmark::State& state)
{
    inCacheOf(state, peaking());
}

// In place, as every kernel after the first of a cascade runs.
void BM_BiquadInPlaceInCache(benchmark::State& state)
{
    auto kernel = peaking();
    const unsigned int n = static_cast<unsigned int>(state.range(0));
    Frames buf = signal(n);
    for (auto _ : state) {
        kernel->filter(buf.data(), buf.data(), n);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

void BM_BiquadStream(benchmark::State& state)
{
    streamOf(state, {peaking()});
}

void BM_TenBandCascade(benchmark::State& state)
{
    streamOf(state, tenBands());
}

// The ten bands frame by frame through every section at once, as the
// equalizer nodes run them, over a minute of audio block by block.
void BM_TenBandCascadeFused(benchmark::State& state)
{
    auto kernels = tenBands();
    std::vector<SoundTools::BiquadFilter*> sections;
    for (const auto& k : kernels)
        sections.push_back(static_cast<SoundTools::BiquadFilter*>(k.get()));
    Frames in = signal(kMinute), out(kMinute);
    const unsigned int block = static_cast<unsigned int>(state.range(0));
    for (auto _ : state) {
        for (size_t pos = 0; pos < kMinute; pos += block) {
            const unsigned int m = static_cast<unsigned int>(std::min<size_t>(block, kMinute - pos));
            if (!SoundTools::BiquadFilter::filterCascade(sections.data(), 10, in.data() + pos, out.data() + pos, m))
                state.SkipWithError("not a plain cascade");
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, kMinute);
}

// The ten bands on one block that stays in cache: the kernels alone,
// without the memory traffic of a long stream.
void BM_TenBandCascadeInCache(benchmark::State& state)
{
    auto kernels = tenBands();
    const unsigned int n = static_cast<unsigned int>(state.range(0));
    Frames in = signal(n), out(n);
    for (auto _ : state) {
        runBlocks(kernels, in, out, n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    report(state, n);
}

// The general kernel on the same biquad, in the textbook order with the
// division by a0 on the recurrence, for comparison.
void BM_GeneralFilter3InCache(benchmark::State& state)
{
    auto bq = peaking();
    inCacheOf(state, std::make_shared<SoundTools::Filter>(bq->getB(), bq->getA()));
}

void BM_Order1InCache(benchmark::State& state)
{
    inCacheOf(state, SoundTools::Order1FilterBuilder(SoundTools::LowPass, 1000).buildFilter(kRate));
}

void BM_Order6WeightingInCache(benchmark::State& state)
{
    inCacheOf(state, SoundTools::WeightingFilterBuilder().buildFilter(kRate));
}

// The clip filter below full scale, with a gain ramp running.
void BM_ClipFilterInCache(benchmark::State& state)
{
    auto clip = SoundTools::BiquadEqBuilder(SoundTools::BandEq, 1000, 1.0, 3.0).buildClipFilter(kRate, 1.0);
    clip->setGain(1.2);
    inCacheOf(state, clip);
}

} // namespace

// The equalizer node through the processing loop: 10 minutes of stereo
// from a generating reader to a discarding writer.
void BM_Eq10Node(benchmark::State& state)
{
    constexpr unsigned int kFrames = 600u * 44100u;
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    PatternReader reader(kFrames, 44100);
    auto* eq = new SoundAlgoFilterBiquad();
    const double freqs[10] = {31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
    for (int i = 0; i < 10; ++i)
        eq->pushFilter(SoundTools::BandEq, freqs[i], 1.0, i % 2 ? -3.0 : 3.0);
    for (auto _ : state) {
        reader.rewind();
        DiscardWriter writer(44100);
        eq->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.frames);
    }
    eq->release();
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}

// Three bands of a multiband tree with pass-through bands, summed back.
class PassBand : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    void buildAlgo(SoundAlgoComposite* target, int, const QString&) override { target->pushAlgo(new SoundAlgoBypass()); }
};

void BM_Multiband3Node(benchmark::State& state)
{
    constexpr unsigned int kFrames = 600u * 44100u;
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    PatternReader reader(kFrames, 44100);
    auto* tree = new SoundAlgoComposite();
    PassBand bands;
    tree->buildMultibandTree({200, 2000}, bands, true);
    for (auto _ : state) {
        reader.rewind();
        DiscardWriter writer(44100);
        tree->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.frames);
    }
    tree->release();
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Eq10Node)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Multiband3Node)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_BiquadInCache)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BiquadInPlaceInCache)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TenBandCascadeInCache)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GeneralFilter3InCache)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Order1InCache)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Order6WeightingInCache)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ClipFilterInCache)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BiquadStream)->Arg(1024)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TenBandCascadeFused)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TenBandCascade)->Arg(1024)->Arg(4096)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    // The A-weighting builder lists its coefficients on Qt's debug channel.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
