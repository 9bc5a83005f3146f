// The FFT equalizer against the FIR equalizer for the same cut-offs, over
// ten minutes of music held in memory, through the processing loop (frames
// per second of audio). The recording comes from the folder named by
// VEXA_BENCH_AUDIO (default /work/bench-audio): music10.wav.
#include "MemoryReader.h"
#include "MemoryWriter.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoEqFFT.h"
#include "SoundAlgoEqFIR.h"
#include "SoundReaderSndfile.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QLoggingCategory>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Frames = std::vector<SoundTools::StereoFrame<double>>;

QString audioPath(const char* name)
{
    const char* dir = std::getenv("VEXA_BENCH_AUDIO");
    return QDir(QString::fromLocal8Bit(dir ? dir : "/work/bench-audio")).filePath(QString::fromLatin1(name));
}

// The recording, read once.
const Frames& music(unsigned int* rate)
{
    static Frames frames;
    static unsigned int sampleRate = 0;
    if (frames.empty()) {
        SoundReaderSndfile reader;
        if (reader.open(audioPath("music10.wav")) == SoundTools::StatusOk) {
            sampleRate = reader.getSampleRate();
            reader.rewind();
            auto buffer = SoundBuffer::createNew(sampleRate);
            buffer->alloc(1 << 16, 2, 1, 1);
            unsigned int n;
            while ((n = reader.stereoRead(buffer, 0)) > 0) {
                const auto* f = buffer->getRelStereoFrame(0);
                frames.insert(frames.end(), f, f + n);
            }
        }
    }
    *rate = sampleRate;
    return frames;
}

template <typename Make>
void runEq(benchmark::State& state, Make make)
{
    unsigned int rate = 0;
    const Frames& input = music(&rate);
    if (input.empty()) {
        state.SkipWithError("recording missing: run the shared bench generator or set VEXA_BENCH_AUDIO");
        return;
    }
    const unsigned int savedSize = SoundBuffer::getDefaultSize();
    for (auto _ : state) {
        state.PauseTiming();
        SoundBuffer::setDefaultSize(65536);
        MemoryReader reader(input, rate);
        reader.open(QString());
        reader.rewind();
        DiscardWriter writer(rate);
        SoundAlgoComposite top;
        top.pushAlgo(make());
        state.ResumeTiming();
        if (top.processAll(reader, &writer) != SoundTools::StatusOk) {
            state.SkipWithError("processing failed");
            break;
        }
        benchmark::DoNotOptimize(writer.frames);
    }
    SoundBuffer::setDefaultSize(savedSize);
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(input.size()) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

struct Cut {
    SoundTools::FilterType type;
    double f1, f2;
};
const Cut kCuts[] = {{SoundTools::LowPass, 1000, 0},
                     {SoundTools::HighPass, 1000, 0},
                     {SoundTools::BandPass, 1000, 5000},
                     {SoundTools::HighPass, 200, 0}};

void BM_EqFIR(benchmark::State& state)
{
    const Cut c = kCuts[state.range(0)];
    state.SetLabel(QStringLiteral("type %1 %2-%3 Hz, %4 taps")
                       .arg(c.type)
                       .arg(c.f1)
                       .arg(c.f2)
                       .arg(SoundAlgoEqFIR(c.type, c.f1, c.f2).getLength(44100))
                       .toStdString());
    runEq(state, [c] { return new SoundAlgoEqFIR(c.type, c.f1, c.f2); });
}

void BM_EqFFT(benchmark::State& state)
{
    const Cut c = kCuts[state.range(0)];
    state.SetLabel(QStringLiteral("type %1 %2-%3 Hz, N 8192, 447 taps").arg(c.type).arg(c.f1).arg(c.f2).toStdString());
    runEq(state, [c] { return new SoundAlgoEqFFT(c.type, c.f1, c.f2, 8192); });
}

} // namespace

BENCHMARK(BM_EqFIR)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_EqFFT)->DenseRange(0, 3)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
