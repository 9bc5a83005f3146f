// Level statistics throughput over 10 minutes of stereo audio at 44.1 kHz:
// a 10-band statistics tree (the analysis stored in statistics files), and
// a single statistics node with and without its sliding RMS output, and the
// loudness node (integrated, range, momentary and short-term maxima through
// libebur128, and the 4x oversampled true peak). Rates
// are in wall-clock time: the tree runs its branches on OpenMP threads.
#include "BenchSupport.h"
#include "MemoryWriter.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoStats.h"
#include "SoundStatReference.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

namespace {

constexpr unsigned int kRate = 44100;
constexpr unsigned int kTenMinutes = 600u * kRate;

void run(benchmark::State& state, SoundAlgo* node)
{
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    PatternReader reader(kTenMinutes, kRate);
    for (auto _ : state) {
        reader.rewind();
        DiscardWriter writer(kRate);
        node->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.frames);
    }
    node->release();
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(kTenMinutes) * state.iterations(), benchmark::Counter::kIsRate);
}

// Ten bands split at the default reference frequencies (250 Hz ... 10 kHz).
void BM_StatsTree10(benchmark::State& state, bool biquad)
{
    auto* tree = new SoundAlgoComposite();
    SoundAlgoStats::FrequencyBuilder builder;
    tree->buildMultibandTree(SoundStatReference::getDefaultFrequencies(), builder, biquad);
    run(state, tree);
}

void BM_StatsTree10Order1(benchmark::State& state)
{
    BM_StatsTree10(state, false);
}

void BM_StatsTree10Biquad(benchmark::State& state)
{
    BM_StatsTree10(state, true);
}

void BM_StatsOnly(benchmark::State& state)
{
    run(state, new SoundAlgoStats(SoundAlgoStats::STATS_ONLY));
}

// 1 s sliding window: 44101 frames of look-ahead.
void BM_SlidingRmsWithStats(benchmark::State& state)
{
    run(state, new SoundAlgoStats(SoundAlgoStats::RMS_WITH_STATS, 1.0));
}

void BM_LoudnessTruePeak(benchmark::State& state)
{
    run(state, new SoundAlgoLoudness());
}

} // namespace

BENCHMARK(BM_StatsTree10Order1)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_StatsTree10Biquad)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_StatsOnly)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_SlidingRmsWithStats)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_LoudnessTruePeak)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
