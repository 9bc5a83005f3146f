// Decoding and encoding speed of the file readers and writers: ten minutes
// of 44.1 kHz stereo read through stereoRead into SoundBuffers, or written
// through writeBuffer. The recordings come from the folder named by
// VEXA_BENCH_AUDIO (default /work/bench-audio): music10.wav, .flac, .mp3.
#include "SoundReaderMp3.h"
#include "SoundReaderSndfile.h"
#include "SoundWriterSndfile.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <sndfile.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

QString audioPath(const char* name)
{
    const char* dir = std::getenv("VEXA_BENCH_AUDIO");
    return QDir(QString::fromLocal8Bit(dir ? dir : "/work/bench-audio")).filePath(QString::fromLatin1(name));
}

void setRate(benchmark::State& state, double framesPerIteration)
{
    state.counters["frames/s"] =
        benchmark::Counter(framesPerIteration * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

template <typename Reader>
void decode(benchmark::State& state, const char* file)
{
    const QString path = audioPath(file);
    Reader reader;
    if (reader.open(path) != SoundTools::StatusOk) {
        state.SkipWithError("recording missing: run the shared bench generator or set VEXA_BENCH_AUDIO");
        return;
    }
    auto buffer = SoundBuffer::createNew(reader.getSampleRate());
    buffer->alloc(static_cast<unsigned int>(state.range(0)), 2, 1, 1);
    double frames = 0;
    for (auto _ : state) {
        reader.rewind();
        frames = 0;
        unsigned int n;
        while ((n = reader.stereoRead(buffer, 0)) > 0)
            frames += n;
        benchmark::DoNotOptimize(buffer->getRelFrame(0));
    }
    setRate(state, frames);
}

void BM_DecodeWav(benchmark::State& state) { decode<SoundReaderSndfile>(state, "music10.wav"); }
void BM_DecodeFlac(benchmark::State& state) { decode<SoundReaderSndfile>(state, "music10.flac"); }
void BM_DecodeMp3(benchmark::State& state) { decode<SoundReaderMp3>(state, "music10.mp3"); }

// libsndfile alone, reading the WAV into one array: the floor of BM_DecodeWav.
void BM_SndfileOnlyWav(benchmark::State& state)
{
    const QByteArray path = audioPath("music10.wav").toLocal8Bit();
    std::vector<double> block(2 * static_cast<size_t>(state.range(0)));
    double frames = 0;
    for (auto _ : state) {
        SF_INFO info{};
        SNDFILE* f = sf_open(path.constData(), SFM_READ, &info);
        if (!f) {
            state.SkipWithError("recording missing");
            return;
        }
        frames = 0;
        sf_count_t n;
        while ((n = sf_readf_double(f, block.data(), state.range(0))) > 0)
            frames += static_cast<double>(n);
        sf_close(f);
        benchmark::DoNotOptimize(block.data());
    }
    setRate(state, frames);
}

// Writes ten minutes made of the first block of the WAV recording repeated.
void encode(benchmark::State& state, SoundWriterSndfile::FileType type, const char* ext)
{
    SoundReaderSndfile reader;
    if (reader.open(audioPath("music10.wav")) != SoundTools::StatusOk) {
        state.SkipWithError("recording missing");
        return;
    }
    const unsigned int block = static_cast<unsigned int>(state.range(0));
    auto buffer = SoundBuffer::createNew(reader.getSampleRate());
    buffer->alloc(block, 2, 1, 1);
    reader.rewind();
    reader.stereoRead(buffer, 0);
    const unsigned int total = 600u * reader.getSampleRate();
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("out.%1").arg(QLatin1String(ext)));
    for (auto _ : state) {
        SoundWriterSndfile writer(reader.getSampleRate(), 2, SoundTools::PCM16, type);
        if (writer.open(out) != SoundTools::StatusOk) {
            state.SkipWithError("cannot write");
            return;
        }
        for (unsigned int pos = 0; pos < total; pos += block) {
            buffer->setOrigin(static_cast<int>(pos));
            buffer->setFrameNB(std::min(block, total - pos));
            if (writer.writeBuffer(buffer, 0)) {
                state.SkipWithError("write failed");
                return;
            }
        }
        writer.close();
    }
    setRate(state, total);
}

void BM_EncodeWav(benchmark::State& state) { encode(state, SoundWriterSndfile::WAV, "wav"); }
void BM_EncodeFlac(benchmark::State& state) { encode(state, SoundWriterSndfile::FLAC, "flac"); }

} // namespace

BENCHMARK(BM_SndfileOnlyWav)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_DecodeWav)->Arg(4096)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_DecodeFlac)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_DecodeMp3)->Arg(4096)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_EncodeWav)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_EncodeFlac)->Arg(65536)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv)
{
    // Readers announce their creation on Qt's debug channel.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
