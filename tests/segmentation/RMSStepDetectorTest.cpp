// Detection runs over synthetic recordings whose piece boundaries and levels
// are known: region rules, leading silence, fade-outs, end marker, noise
// flags, output modes, block-size independence and concurrent queries.
#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "RMSStepDetector.h"
#include "SegmentationSignals.h"

#include <gtest/gtest.h>

#include <QSemaphore>

#include <atomic>
#include <climits>
#include <thread>

using namespace segsignals;

namespace {

constexpr int kWindow = 1600; // 0.2 s at 8 kHz

int sec(double s)
{
    return static_cast<int>(std::floor(s * kRate + 0.5));
}

double toneMeanSquare(double db)
{
    const double a = dbToAmp(db);
    return a * a / 2.0;
}

struct BlockRun {
    unsigned int defaultSize; // SoundBuffer default block size
    unsigned int chunk;       // largest read of the reader (0: whole blocks)
};

// Block sizes: the default, one raised to the window, reads far smaller
// than the window, and an odd size.
const BlockRun kRuns[] = {{1048576, 0}, {1000, 0}, {1048576, 500}, {4096, 1237}};

class Detection {
public:
    explicit Detection(const Recording& rec, BlockRun run = kRuns[0], bool realTime = false,
                       RMSStepDetector::OutputMode mode = RMSStepDetector::NoOutput, double noiseDb = -40.0,
                       double rmsTime = 0.2)
    {
        const unsigned int saved = SoundBuffer::getDefaultSize();
        SoundBuffer::setDefaultSize(run.defaultSize);
        MemoryReader reader(rec.data, kRate);
        reader.open(QString());
        reader.setMaxChunk(run.chunk);
        detector = new RMSStepDetector(noiseDb, rmsTime, 1.0, mode, realTime);
        writer = std::make_unique<MemoryWriter>(kRate);
        status = detector->processAll(reader, writer.get());
        SoundBuffer::setDefaultSize(saved);
    }
    ~Detection() { detector->release(); }

    std::vector<RMSStepDetector::Region> regions() const
    {
        std::vector<RMSStepDetector::Region> all;
        for (int i = 0; i < detector->size(); ++i)
            all.push_back(detector->getRegion(i));
        return all;
    }

    RMSStepDetector* detector;
    std::unique_ptr<MemoryWriter> writer;
    SoundTools::Status status;
};

// Regions follow each other: increasing begins, each length reaching the
// next begin.
void expectWellFormed(const std::vector<RMSStepDetector::Region>& regions)
{
    for (size_t i = 0; i < regions.size(); ++i) {
        EXPECT_GE(regions[i].BeginSample, 0) << "region " << i;
        EXPECT_GT(regions[i].SampleNb, 0) << "region " << i;
        if (i + 1 < regions.size()) {
            EXPECT_EQ(regions[i].BeginSample + regions[i].SampleNb, regions[i + 1].BeginSample) << "region " << i;
        }
    }
}

bool sameRegion(const RMSStepDetector::Region& a, const RMSStepDetector::Region& b)
{
    return a.BeginSample == b.BeginSample && a.SampleNb == b.SampleNb && a.MeanSmpl == b.MeanSmpl
        && a.IsNoise == b.IsNoise && std::abs(a.RMSSqrValue0 - b.RMSSqrValue0) <= 1e-9 * (a.RMSSqrValue0 + 1e-12)
        && std::abs(a.RMSSqrValue1 - b.RMSSqrValue1) <= 1e-9 * (a.RMSSqrValue1 + 1e-12);
}

// Track boundaries: [begin of the first region of a run, begin of the noise
// region that ends it).
std::vector<std::pair<int, int>> tracks(const std::vector<RMSStepDetector::Region>& regions)
{
    std::vector<std::pair<int, int>> result;
    bool open = false;
    for (const auto& r : regions) {
        if (!r.IsNoise && !open) {
            result.push_back({r.BeginSample, -1});
            open = true;
        } else if (r.IsNoise && open) {
            result.back().second = r.BeginSample;
            open = false;
        }
    }
    if (open)
        result.back().second = regions.back().BeginSample + regions.back().SampleNb;
    return result;
}

} // namespace

TEST(RMSStepDetector, SteadyLevelIsOneRegionPlusEndMarker)
{
    Recording rec;
    rec.varying(15.0, -10.0, 0.4);
    const int total = rec.position();
    for (const BlockRun& run : kRuns) {
        Detection d(rec, run);
        ASSERT_EQ(d.status, SoundTools::StatusOk);
        const auto regions = d.regions();
        ASSERT_EQ(regions.size(), 2u) << "chunk " << run.chunk;
        EXPECT_EQ(regions[0].BeginSample, 0);
        EXPECT_EQ(regions[0].SampleNb, total);
        EXPECT_FALSE(regions[0].IsNoise);
        // The end marker: silent, at the end of the stream, noise.
        EXPECT_EQ(regions[1].BeginSample, total);
        EXPECT_EQ(regions[1].RMSSqrValue0, 0.0);
        EXPECT_TRUE(regions[1].IsNoise);
        EXPECT_EQ(d.detector->getFullLength(), total);
        EXPECT_EQ(d.detector->getSegmentsNumber(), 1);
        EXPECT_EQ(d.detector->getSignalStart(1.0), 0);
        EXPECT_EQ(d.detector->getSignalEnd(0.5), total - 1 + sec(0.5));
        // The mean level of the region is the tone's, within the variation.
        EXPECT_NEAR(10 * std::log10(regions[0].RMSSqrValue0), 10 * std::log10(toneMeanSquare(-10.0)), 0.1);
        EXPECT_NEAR(regions[0].RMSSqrValue1 / regions[0].RMSSqrValue0, 0.64, 1e-3);
        // Every input frame went through once.
        EXPECT_EQ(d.writer->frameCount(), static_cast<size_t>(total));
    }
}

// A closed piece becomes a region of its own after 10 s with a 1 dB step,
// 5 s with 2 dB, 2 s with 5 dB; otherwise it is merged into the region
// before it.
TEST(RMSStepDetector, RegionRulesWeighDurationAgainstStep)
{
    struct Case {
        double firstSeconds;
        double stepDb;
        bool separate;
    } cases[] = {{9.0, 1.5, false}, {11.0, 1.5, true}, {4.0, 3.0, false},
                 {6.0, 3.0, true},  {1.5, 6.0, false}, {3.0, 6.0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.firstSeconds << " s then " << c.stepDb << " dB");
        Recording rec;
        rec.tone(c.firstSeconds, -20.0).tone(8.0, -20.0 + c.stepDb).noise(12.0, -80.0);
        const int step = sec(c.firstSeconds);
        const int fall = sec(c.firstSeconds + 8.0);
        Detection d(rec);
        const auto regions = d.regions();
        expectWellFormed(regions);
        ASSERT_EQ(regions.size(), c.separate ? 4u : 3u);
        EXPECT_EQ(regions[0].BeginSample, 0);
        if (c.separate) {
            EXPECT_NEAR(regions[1].BeginSample, step, kWindow);
            EXPECT_NEAR(10 * std::log10(regions[1].RMSSqrValue0), 10 * std::log10(toneMeanSquare(-20.0 + c.stepDb)), 0.3);
            // The first region takes in the start of the rising edge.
            EXPECT_NEAR(10 * std::log10(regions[0].RMSSqrValue0), 10 * std::log10(toneMeanSquare(-20.0)), 0.5);
        } else {
            // Merged: the mean square is weighted by the durations.
            const double expected = (c.firstSeconds * toneMeanSquare(-20.0) + 8.0 * toneMeanSquare(-20.0 + c.stepDb))
                / (c.firstSeconds + 8.0);
            EXPECT_NEAR(10 * std::log10(regions[0].RMSSqrValue0), 10 * std::log10(expected), 0.2);
        }
        // The drop into the quiet part opens the region after the tones.
        EXPECT_NEAR(regions[regions.size() - 2].BeginSample, fall, kWindow);
    }
}

// Several closings within half a window at a falling edge once gave a piece
// beginning before the previous region (a negative gap), appended out of
// order with a negative length before it.
TEST(RMSStepDetector, FallingEdgesKeepRegionsInOrder)
{
    Recording rec;
    rec.tone(12.0, -6.0).noise(12.0, -90.0).tone(12.0, -3.0).silence(12.0).tone(11.0, -10.0).noise(12.0, -60.0);
    for (const BlockRun& run : kRuns) {
        SCOPED_TRACE(testing::Message() << "chunk " << run.chunk << " size " << run.defaultSize);
        Detection d(rec, run);
        expectWellFormed(d.regions());
    }
}

TEST(RMSStepDetector, LeadingDigitalSilenceBelongsToNoRegion)
{
    Recording rec;
    rec.silence(3.0).tone(6.0, -12.0);
    for (const BlockRun& run : kRuns) {
        Detection d(rec, run);
        const auto regions = d.regions();
        ASSERT_FALSE(regions.empty());
        // The first window that reaches the first non-zero frame.
        EXPECT_EQ(regions[0].BeginSample, sec(3.0) - kWindow + 1) << "chunk " << run.chunk;
        EXPECT_NEAR(10 * std::log10(regions[0].RMSSqrValue0), 10 * std::log10(toneMeanSquare(-12.0)), 0.5);
    }
    // Only digital silence: no signal at all.
    Recording quiet;
    quiet.silence(4.0);
    Detection d(quiet);
    EXPECT_EQ(d.detector->getSegmentsNumber(), 0);
    EXPECT_EQ(d.detector->getSignalStart(0.0), INT_MAX);
    EXPECT_EQ(d.detector->getSignalEnd(0.0), 0);
}

// In the last 10 s a drop opens no region (a fade-out stays in its track);
// a rise still does, and the same drop earlier does.
TEST(RMSStepDetector, FallingLevelInTheLastTenSecondsOpensNoRegion)
{
    auto count = [](double dropAt, double level, double total) {
        Recording rec;
        rec.tone(dropAt, -20.0).tone(total - dropAt, level);
        Detection d(rec);
        expectWellFormed(d.regions());
        return d.detector->size();
    };
    EXPECT_EQ(count(20.0, -28.0, 26.0), 2);  // drop 6 s before the end: track + end marker
    EXPECT_EQ(count(20.0, -12.0, 26.0), 3);  // rise 6 s before the end: a region of its own
    EXPECT_EQ(count(12.0, -28.0, 26.0), 3);  // drop 14 s before the end

    Recording fade;
    fade.tone(20.0, -10.0).fade(8.0, -10.0, -70.0);
    Detection d(fade);
    const auto regions = d.regions();
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_FALSE(regions[0].IsNoise);
    EXPECT_EQ(regions[0].SampleNb, fade.position());
}

TEST(RMSStepDetector, ShortInputMergesTheEndMarker)
{
    Recording rec;
    rec.tone(1.5, -10.0);
    Detection d(rec);
    const auto regions = d.regions();
    ASSERT_EQ(regions.size(), 1u);
    EXPECT_EQ(regions[0].BeginSample, 0);
    // The marker adds one silent measurement to the region.
    EXPECT_EQ(regions[0].SampleNb, regions[0].MeanSmpl);
    EXPECT_GT(regions[0].SampleNb, rec.position() - kWindow);
    EXPECT_NEAR(10 * std::log10(regions[0].RMSSqrValue0), 10 * std::log10(toneMeanSquare(-10.0)), 0.2);
    EXPECT_EQ(d.detector->getFullLength(), 0);
}

// Three tracks between gaps of low-level noise; the gaps absorb the energy
// of the falling edges, and split() separates the tracks at them.
TEST(RMSStepDetector, FindsTracksBetweenNoiseGapsAtEveryBlockSize)
{
    Recording rec;
    rec.noise(3.0, -70.0);
    std::vector<std::pair<int, int>> truth;
    auto track = [&](double seconds, double db, double depth) {
        const int begin = rec.position();
        rec.varying(seconds, db, depth);
        truth.push_back({begin, rec.position()});
        rec.noise(3.0, -70.0);
    };
    track(20.0, -10.0, 0.0);
    track(15.0, -16.0, 0.4);
    track(12.0, -20.0, 0.2);
    rec.noise(9.0, -70.0);

    for (const BlockRun& run : kRuns) {
        SCOPED_TRACE(testing::Message() << "chunk " << run.chunk << " size " << run.defaultSize);
        Detection d(rec, run);
        expectWellFormed(d.regions());
        d.detector->split(2.0, 5.0, 40.0);
        EXPECT_EQ(d.detector->getSegmentsNumber(), 3);
        const auto found = tracks(d.regions());
        ASSERT_EQ(found.size(), 3u);
        for (size_t t = 0; t < 3; ++t) {
            EXPECT_NEAR(found[t].first, truth[t].first, kWindow) << "track " << t;
            EXPECT_NEAR(found[t].second, truth[t].second, kWindow) << "track " << t;
        }
        EXPECT_NEAR(d.detector->getCurrentMax(), std::sqrt(toneMeanSquare(-10.0)), 0.01);
    }
}

// The regions do not depend on the output mode (NoOutput scans steady
// frames apart from the frames it outputs) nor on the block size, to the
// bit. Samples are multiples of 2^-12 and the window is 1024 frames, so that
// every square, window sum, region sum and division by the window is exact
// in double: each way through the scan must reach the same state, and so
// the same decisions. Steps of 1.5 dB, 4.5 dB and more, merges, leading
// silence and the end fade are all in the recording.
TEST(RMSStepDetector, RegionsDoNotDependOnOutputModeOrBlockSize)
{
    Recording rec;
    rec.silence(0.5).tone(11.0, -20.0).tone(7.0, -18.5).varying(6.0, -14.0, 0.4).noise(3.0, -60.0);
    rec.tone(3.0, -12.0).noise(12.0, -60.0);
    for (auto& f : rec.data)
        f = {std::round(f.left * 4096.0) / 4096.0, std::round(f.right * 4096.0) / 4096.0};
    const double rmsTime = 1024.0 / kRate;
    // The reference scans every frame one by one.
    Detection reference(rec, {65536, 0}, false, RMSStepDetector::PassThrough, -40.0, rmsTime);
    const auto expected = reference.regions();
    ASSERT_GE(expected.size(), 5u);
    const RMSStepDetector::OutputMode modes[] = {RMSStepDetector::NoOutput, RMSStepDetector::RegionLevel,
                                                 RMSStepDetector::PassThrough};
    // Blocks of 1, 7, 4096 and 65536 frames.
    const BlockRun runs[] = {{4096, 1}, {4096, 7}, {4096, 0}, {65536, 0}};
    for (const auto mode : modes) {
        for (const BlockRun& run : runs) {
            const unsigned int block = run.chunk ? run.chunk : run.defaultSize;
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", blocks of " << block);
            Detection d(rec, run, false, mode, -40.0, rmsTime);
            const auto regions = d.regions();
            ASSERT_EQ(regions.size(), expected.size());
            for (size_t i = 0; i < regions.size(); ++i) {
                const auto& a = regions[i];
                const auto& b = expected[i];
                EXPECT_TRUE(a.BeginSample == b.BeginSample && a.SampleNb == b.SampleNb && a.MeanSmpl == b.MeanSmpl
                            && a.IsNoise == b.IsNoise && a.RMSSqrValue0 == b.RMSSqrValue0
                            && a.RMSSqrValue1 == b.RMSSqrValue1)
                    << "region " << i << " begins at " << a.BeginSample << " (expected " << b.BeginSample << ")";
            }
        }
    }
}

// Outside real-time mode the threshold is relative to the loudest region;
// in real-time mode it is absolute.
TEST(RMSStepDetector, NoiseThresholdRelativeOrAbsolute)
{
    Recording rec;
    rec.noise(3.0, -120.0).tone(12.0, -50.0).noise(12.0, -120.0);
    Detection relative(rec, kRuns[0], false);
    EXPECT_EQ(relative.detector->getSegmentsNumber(), 1);
    EXPECT_NEAR(relative.detector->getSignalStart(0.0), sec(3.0), kWindow);

    // -50 dBFS peak is a mean square of -53 dB, under an absolute -40 dB.
    Detection absolute(rec, kRuns[0], true);
    EXPECT_EQ(absolute.detector->getSegmentsNumber(), 0);
    Detection lower(rec, kRuns[0], true, RMSStepDetector::NoOutput, -60.0);
    EXPECT_EQ(lower.detector->getSegmentsNumber(), 1);
}

TEST(RMSStepDetector, OutputModes)
{
    Recording rec;
    rec.tone(3.0, -6.0).noise(3.0, -40.0);
    for (const BlockRun& run : kRuns) {
        Detection pass(rec, run, false, RMSStepDetector::PassThrough);
        ASSERT_EQ(pass.writer->frameCount(), rec.data.size());
        for (size_t i = 0; i < rec.data.size(); ++i) {
            ASSERT_EQ(pass.writer->samples[2 * i], rec.data[i].left) << i;
            ASSERT_EQ(pass.writer->samples[2 * i + 1], rec.data[i].right) << i;
        }
        // The level of the region being built: the tone's RMS once the
        // window lies in the tone.
        Detection level(rec, run, false, RMSStepDetector::RegionLevel);
        ASSERT_EQ(level.writer->frameCount(), rec.data.size());
        const double rms = std::sqrt(toneMeanSquare(-6.0));
        for (int i : {0, sec(1.0), sec(2.5)}) {
            EXPECT_NEAR(level.writer->samples[2 * i], rms, 1e-9);
            EXPECT_NEAR(level.writer->samples[2 * i + 1], 0.8 * rms, 1e-9);
        }
    }
}

// A reader thread queries the regions while a real-time run goes on. The
// run pauses after some blocks until the reader has looked, so that the
// reader sees the run half-way; it also queries freely in between.
TEST(RMSStepDetector, QueriesFromAnotherThreadDuringARealTimeRun)
{
    Recording rec;
    rec.noise(3.0, -70.0).tone(20.0, -10.0).noise(3.0, -70.0).varying(15.0, -16.0, 0.4).noise(12.0, -70.0);
    const BlockRun run{4096, 1000};
    Detection reference(rec, run, true);
    const auto expected = reference.regions();
    ASSERT_GT(expected.size(), 3u);

    const unsigned int saved = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(run.defaultSize);
    MemoryReader reader(rec.data, kRate);
    reader.open(QString());
    reader.setMaxChunk(run.chunk);
    auto* detector = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, true);

    QSemaphore request;
    QSemaphore done;
    std::atomic<bool> running{true};
    std::atomic<int> badSnapshots{0};
    std::atomic<int> midRunSnapshots{0};
    int blocks = 0;
    QObject::connect(detector, &SoundAlgo::notifyInProgress, [&](unsigned int, unsigned int) {
        if (++blocks % 40 == 0) {
            request.release();
            done.acquire();
        }
    });

    std::thread querier([&] {
        while (running.load()) {
            const bool handshake = request.tryAcquire();
            // Regions only grow during a run, and a region followed by
            // another one is final.
            const int n = detector->size();
            for (int i = 0; i + 1 < n; ++i) {
                const auto r = detector->getRegion(i);
                if (static_cast<size_t>(i) >= expected.size() || !sameRegion(r, expected[static_cast<size_t>(i)]))
                    ++badSnapshots;
            }
            detector->getSegmentsNumber();
            detector->getSignalEnd(0.0);
            detector->getCurrentMax();
            if (handshake) {
                if (n > 0 && static_cast<size_t>(n) < expected.size())
                    ++midRunSnapshots;
                done.release();
            }
        }
    });
    const SoundTools::Status status = detector->processAll(reader, nullptr);
    running.store(false);
    querier.join();
    SoundBuffer::setDefaultSize(saved);

    EXPECT_EQ(status, SoundTools::StatusOk);
    EXPECT_EQ(badSnapshots.load(), 0);
    EXPECT_GT(midRunSnapshots.load(), 0);
    ASSERT_EQ(detector->size(), static_cast<int>(expected.size()));
    for (int i = 0; i < detector->size(); ++i)
        EXPECT_TRUE(sameRegion(detector->getRegion(i), expected[static_cast<size_t>(i)]));
    detector->release();
}

TEST(RMSStepDetector, EmptyDetectorAnswersSafely)
{
    auto* d = new RMSStepDetector();
    RMSStepDetector::Region out;
    EXPECT_EQ(d->size(), 0);
    EXPECT_EQ(d->getFullLength(), 0);
    EXPECT_EQ(d->getSlopeRegion(1000, 0, out), nullptr);
    EXPECT_EQ(d->getSegmentsNumber(), 0);
    EXPECT_EQ(d->getSignalStart(0.0), INT_MAX);
    EXPECT_EQ(d->getSignalEnd(0.0), 0);
    EXPECT_EQ(d->getRegion(3).SampleNb, 0);
    d->release();
}

// A fade-in from low noise into a track is a rising slope; it goes on as
// long as the level does not fall, i.e. to the end of the steady track, and
// leads into the track's region.
TEST(RMSStepDetector, SlopeOfAFadeInLeadsIntoTheTrack)
{
    Recording rec;
    rec.noise(12.0, -80.0);
    const int fadeBegin = rec.position();
    rec.fade(4.0, -60.0, -10.0);
    rec.tone(15.0, -10.0);
    const int trackEnd = rec.position();
    rec.noise(12.0, -80.0);
    Detection d(rec);
    RMSStepDetector::Region out;
    const auto* slope = d.detector->getSlopeRegion(fadeBegin + sec(2.0), 0, out);
    ASSERT_NE(slope, nullptr);
    EXPECT_LE(slope->begin, fadeBegin + kWindow);
    EXPECT_GE(slope->begin, fadeBegin - sec(1.0));
    EXPECT_NEAR(slope->end, trackEnd - kWindow, kWindow);
    EXPECT_LE(out.BeginSample, slope->end);
    EXPECT_GE(out.BeginSample + out.SampleNb - 1, slope->end);
    EXPECT_FALSE(out.BeginSample <= slope->begin && slope->begin < out.BeginSample + out.SampleNb);
    // Past every slope there is none.
    EXPECT_EQ(d.detector->getSlopeRegion(rec.position() - 10, 0, out), nullptr);
}
