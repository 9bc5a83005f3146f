// Throughput of the dynamics nodes over 10 minutes of audio, in frames per
// second: the look-ahead limiter (+6 dB on a pattern peaking at 0.5, so it
// limits all the time; and at 0 dB, where it only watches), and the 3-band
// crossover multiband amplifier (band limiters and the final limiter).
#include "BenchSupport.h"
#include "MemoryWriter.h"
#include "SoundAlgoFilterMultibandAmplifier.h"
#include "SoundAlgoLimiter.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

namespace {

constexpr unsigned int kFrames = 600u * 44100u;

void runNode(benchmark::State& state, SoundAlgo* node)
{
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    PatternReader reader(kFrames, 44100);
    for (auto _ : state) {
        reader.rewind();
        DiscardWriter writer(44100);
        node->processAll(reader, &writer);
        benchmark::DoNotOptimize(writer.frames);
    }
    node->release();
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_LimiterLimiting(benchmark::State& state)
{
    runNode(state, new SoundAlgoLimiter(6.0, 0.01, 0.1, nullptr));
}

void BM_LimiterWatching(benchmark::State& state)
{
    runNode(state, new SoundAlgoLimiter(0.0, 0.01, 0.1, nullptr));
}

void BM_FilterMultiband3(benchmark::State& state)
{
    runNode(state, new SoundAlgoFilterMultibandAmplifier({200.0, 2000.0}, 0.0, 0.01, 0.1, 2.0, nullptr, true, 0, 3.0, {}));
}

} // namespace

BENCHMARK(BM_LimiterLimiting)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LimiterWatching)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_FilterMultiband3)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
