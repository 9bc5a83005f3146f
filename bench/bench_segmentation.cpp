// Step detector throughput over 60 minutes of stereo audio (NoOutput mode),
// and, with --album WAV --truth JSON, an evaluation of the tracks found in a
// recording against its true track boundaries.
#include "BenchSupport.h"
#include "RMSStepDetector.h"
#include "SoundReader.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr unsigned int kRate = 44100;
constexpr unsigned int kSixtyMinutes = 60u * 60u * kRate;

// Music-like material without holding an hour in memory: a noise pattern
// whose level changes every 7 s, with a 3 s quiet gap every 4 minutes.
class LevelPatternReader : public PatternReader {
public:
    LevelPatternReader(unsigned int frames, unsigned int sampleRate) : PatternReader(frames, sampleRate)
    {
        std::mt19937 random(7);
        std::uniform_real_distribution<double> u(-0.5, 0.5);
        for (double& v : mPattern)
            v = u(random);
    }

protected:
    unsigned int read(unsigned int frames, double* dst) override
    {
        const unsigned int n = std::min(frames, mFrames - mPosition);
        for (unsigned int i = 0; i < n; ++i) {
            const unsigned int pos = mPosition + i;
            const unsigned int second = pos / mSampleRate;
            double gain = 0.2 + 0.1 * static_cast<double>((second / 7) % 5);
            if (second % 240 < 3)
                gain = 0.001;
            const unsigned int k = pos % 4096;
            dst[2 * i] = gain * mPattern[2 * k];
            dst[2 * i + 1] = gain * mPattern[2 * k + 1];
        }
        mPosition += n;
        return n;
    }
};

void BM_DetectorNoOutput(benchmark::State& state)
{
    SoundBuffer::setDefaultSize(static_cast<unsigned int>(state.range(0)));
    LevelPatternReader reader(kSixtyMinutes, kRate);
    int regions = 0;
    for (auto _ : state) {
        reader.rewind();
        auto* detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput);
        detector->processAll(reader, nullptr);
        regions = detector->size();
        detector->release();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(kSixtyMinutes) * state.iterations(),
                                                    benchmark::Counter::kIsRate);
    state.counters["regions"] = regions;
}

BENCHMARK(BM_DetectorNoOutput)->Arg(65536)->Arg(1048576)->Unit(benchmark::kMillisecond)->Iterations(2);

// ---------------------------------------------------------------------------
// Evaluation on a recording with known track boundaries.


struct Span {
    double begin;
    double end;
};

std::vector<Span> detectedTracks(const RMSStepDetector& d, double rate)
{
    std::vector<Span> result;
    bool open = false;
    for (int i = 0; i < d.size(); ++i) {
        const auto r = d.getRegion(i);
        if (!r.IsNoise && !open) {
            result.push_back({r.BeginSample / rate, -1});
            open = true;
        } else if (r.IsNoise && open) {
            result.back().end = r.BeginSample / rate;
            open = false;
        }
    }
    if (open) {
        const auto last = d.getRegion(d.size() - 1);
        result.back().end = (last.BeginSample + last.SampleNb) / rate;
    }
    return result;
}

struct Config {
    const char* name;
    double noiseDb;
    double rmsTime;
    bool split;
    double splitSeconds;
    double splitMinDuration;
    double splitDefaultDb;
};

int evaluate(const char* wavPath, const char* truthPath)
{
    QFile truthFile(QString::fromLocal8Bit(truthPath));
    if (!truthFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", truthPath);
        return 1;
    }
    const QJsonObject truthDoc = QJsonDocument::fromJson(truthFile.readAll()).object();
    std::vector<Span> truth;
    for (const QJsonValue& t : truthDoc.value("tracks").toArray())
        truth.push_back({t.toObject().value("start_s").toDouble(), t.toObject().value("end_s").toDouble()});

    const Config configs[] = {
        {"default (-40 dB, 0.2 s)", -40.0, 0.2, false, 0, 0, 0},
        {"default + split(2 s, 30 s, 40 dB)", -40.0, 0.2, true, 2.0, 30.0, 40.0},
        {"default + split(1 s, 300 s, 40 dB)", -40.0, 0.2, true, 1.0, 300.0, 40.0},
        {"rmsTime 0.05 s + split(1 s, 300 s, 40 dB)", -40.0, 0.05, true, 1.0, 300.0, 40.0},
        {"rmsTime 0.05 s, -25 dB", -25.0, 0.05, false, 0, 0, 0},
        {"rmsTime 0.05 s, -20 dB", -20.0, 0.05, false, 0, 0, 0},
    };
    std::unique_ptr<SoundReader> file(SoundReader::getFromFilename(QString::fromLocal8Bit(wavPath)));
    if (!file || file->open(QString::fromLocal8Bit(wavPath)) != SoundTools::StatusOk) {
        std::fprintf(stderr, "cannot read %s\n", wavPath);
        return 1;
    }
    SoundReader& reader = *file;
    const double rate = reader.getSampleRate();
    std::printf("%s: %u frames at %.0f Hz (%.1f s), %zu true tracks\n", wavPath, reader.getFrameNB(), rate,
                reader.getFrameNB() / rate, truth.size());
    for (const Config& c : configs) {
        reader.rewind();
        auto* d = new RMSStepDetector(c.noiseDb, c.rmsTime, 1.0, RMSStepDetector::NoOutput);
        const auto t0 = std::chrono::steady_clock::now();
        d->processAll(reader, nullptr);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (c.split)
            d->split(c.splitSeconds, c.splitMinDuration, c.splitDefaultDb);
        const auto found = detectedTracks(*d, rate);
        std::printf("\n%s: %d regions, %zu tracks detected, run %.2f s (read + detect)\n", c.name, d->size(),
                    found.size(), seconds);
        // A true track is found when one detected track has both of its
        // boundaries within 3 s of the true ones.
        int matched = 0;
        for (size_t t = 0; t < truth.size(); ++t) {
            int best = -1;
            double bestError = 1e300;
            for (size_t k = 0; k < found.size(); ++k) {
                const double error = std::fabs(found[k].begin - truth[t].begin) + std::fabs(found[k].end - truth[t].end);
                if (error < bestError) {
                    bestError = error;
                    best = static_cast<int>(k);
                }
            }
            if (best < 0) {
                std::printf("  track %zu [%.2f, %.2f]: no track detected\n", t + 1, truth[t].begin, truth[t].end);
                continue;
            }
            const Span& f = found[static_cast<size_t>(best)];
            const bool ok = std::fabs(f.begin - truth[t].begin) <= 3.0 && std::fabs(f.end - truth[t].end) <= 3.0;
            matched += ok ? 1 : 0;
            std::printf("  track %zu [%.2f, %.2f] nearest [%.2f, %.2f]  start %+.3f s  end %+.3f s  %s\n", t + 1,
                        truth[t].begin, truth[t].end, f.begin, f.end, f.begin - truth[t].begin, f.end - truth[t].end,
                        ok ? "found" : "missed");
        }
        std::printf("  found %d of %zu tracks\n", matched, truth.size());
        d->release();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    for (int i = 1; i + 3 < argc; ++i) {
        if (std::strcmp(argv[i], "--album") == 0 && std::strcmp(argv[i + 2], "--truth") == 0)
            return evaluate(argv[i + 1], argv[i + 3]);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
