// Overhead of the processing loop: a pass-through node and a two-input sum
// driven block by block from a generating reader to a discarding writer.
#include "BenchSupport.h"
#include "MemoryWriter.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundReader.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned int kRate = 44100;
constexpr unsigned int kSixtyMinutes = 60u * 60u * kRate;

void BM_LoopBypass(benchmark::State& state)
{
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    PatternReader reader(kSixtyMinutes, kRate);
    for (auto _ : state) {
        reader.rewind();
        DiscardWriter writer(kRate);
        auto* node = new SoundAlgoBypass();
        node->processAll(reader, &writer);
        node->release();
        benchmark::DoNotOptimize(writer.frames);
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kSixtyMinutes) * state.iterations(), benchmark::Counter::kIsRate);
}

// The reader alone, for the share of the loop's own work.
void BM_ReaderOnly(benchmark::State& state)
{
    PatternReader reader(kSixtyMinutes, kRate);
    auto buffer = SoundBuffer::createNew(kRate);
    buffer->alloc(static_cast<unsigned int>(state.range(0)), 2, 1, 1);
    for (auto _ : state) {
        reader.rewind();
        while (reader.stereoRead(buffer, 0) > 0) {
        }
        benchmark::DoNotOptimize(buffer->getRelFrame(0));
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kSixtyMinutes) * state.iterations(), benchmark::Counter::kIsRate);
}

// The two-input sum with both inputs on the same stream (the reader fills
// one buffer; the node reads it as both of its inputs).
class SelfSum : public SoundAlgoAdd {
public:
    unsigned int getInputNumber() const override { return 1; }

protected:
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override
    {
        const SoundTools::Status s = SoundAlgoAdd::initInputBuffer(ctx);
        if (s == SoundTools::StatusOk)
            mInBuffers.push_back(mInBuffers[0]);
        return s;
    }
};

void BM_Add2(benchmark::State& state)
{
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    PatternReader reader(kSixtyMinutes, kRate);
    for (auto _ : state) {
        reader.rewind();
        DiscardWriter writer(kRate);
        auto* node = new SelfSum();
        node->processAll(reader, &writer);
        node->release();
        benchmark::DoNotOptimize(writer.frames);
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kSixtyMinutes) * state.iterations(), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_ReaderOnly)->Arg(4096)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LoopBypass)->Arg(4096)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Add2)->Arg(4096)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv)
{
    // Readers announce their creation on Qt's debug channel.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
