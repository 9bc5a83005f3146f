// Throughput of the playback device's readData: a minute of 44.1 kHz stereo
// pulled in 4 KiB requests (1024 frames, an audio output's period) while the
// worker thread fills the ring, through the player's full chain (nine
// peaking bands and the bass-boost shelf, the last one a clip filter), and
// with no filter for comparison. Times are the process's CPU time (worker
// included); "realtime_x" is how many times faster than real time that is.
#include "BenchSupport.h"

#include "SoundAlgoDevice.h"
#include "SoundBuffer.h"
#include "SoundPlayer.h"

#include <benchmark/benchmark.h>

#include <QLoggingCategory>

#include <memory>
#include <vector>

namespace {

constexpr unsigned int kRate = 44100;
constexpr unsigned int kFrames = 60u * kRate;

// The player's chain without an audio output: the benchmark pulls the device.
class PullPlayer : public SoundPlayer {
public:
    using SoundPlayer::SoundPlayer;
    void preload() override {}
    void start() override { mDevice->start(); }
    void stop() override { mDevice->stop(); }
    void endOfData() override {}
};

void pullMinute(benchmark::State& state, bool equalizer)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    SoundBuffer::setDefaultSize(65536);
    std::vector<char> buf(4096);
    for (auto _ : state) {
        auto reader = std::make_shared<PatternReader>(kFrames, kRate);
        PullPlayer player(reader, nullptr, true);
        if (equalizer) {
            player.switchEq(true);
            player.switchBassBoost(true);
            player.setEqPreset(10); // "Loudness": every band active
        }
        if (player.getDevice()->getFilterNumber() != (equalizer ? 10u : 0u))
            state.SkipWithError("unexpected chain");
        player.start();
        qint64 total = 0;
        qint64 n;
        while ((n = player.getDevice()->readData(buf.data(), 4096)) > 0)
            total += n;
        benchmark::DoNotOptimize(total);
        if (total != 4 * static_cast<qint64>(kFrames))
            state.SkipWithError("frames lost");
        player.stop();
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(kFrames) / kRate, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ReadData_TenFilterChain(benchmark::State& state) { pullMinute(state, true); }
void BM_ReadData_NoFilter(benchmark::State& state) { pullMinute(state, false); }

} // namespace

BENCHMARK(BM_ReadData_TenFilterChain)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->MinTime(2.0);
BENCHMARK(BM_ReadData_NoFilter)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->MinTime(2.0);

BENCHMARK_MAIN();
