#include "DynamicsTestUtil.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"

#include "RMSStepDetector.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoRMSAmplifier.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>

using namespace dyntest;

namespace {

class RMSAmplifier : public BlockSizeFixture {};

double db(double x)
{
    return 20.0 * std::log10(x);
}
double lin(double dB)
{
    return std::pow(10.0, dB / 20.0);
}

struct RegionSpec {
    int begin;
    int length;
    double rmsDb; // both channels
    bool noise;
};

// A detector holding exactly the given regions, as a finished run leaves
// them.
RMSStepDetector* detectorWith(const std::vector<RegionSpec>& specs, unsigned int sampleRate)
{
    QJsonArray regions;
    for (const RegionSpec& s : specs) {
        QJsonObject r;
        r.insert("BeginSample", s.begin);
        r.insert("SampleNb", s.length);
        r.insert("RMSSqrValue0", lin(s.rmsDb) * lin(s.rmsDb));
        r.insert("RMSSqrValue1", lin(s.rmsDb) * lin(s.rmsDb));
        r.insert("MeanSmpl", s.length);
        r.insert("IsNoise", s.noise);
        regions.append(r);
    }
    QJsonObject o;
    o.insert("Class", "RMSStepDetector");
    o.insert("NoiseThreshold", -40.0);
    o.insert("RMSTime", 0.2);
    o.insert("MinSlopeTime", 1.0);
    o.insert("OutputMode", 0);
    o.insert("RealTimeMode", false);
    o.insert("SampleRate", static_cast<int>(sampleRate));
    o.insert("Regions", regions);
    RMSStepDetector* d = RMSStepDetector::createFromJSon(o);
    EXPECT_NE(d, nullptr);
    EXPECT_EQ(d ? d->size(false) : 0, static_cast<int>(specs.size()));
    return d;
}

// Gain applied to each frame of a constant input.
std::vector<double> gains(const Frames& out, double in)
{
    std::vector<double> g(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        g[i] = out[i].left / in;
    return g;
}

double rmsDb(const Frames& f, size_t from, size_t to)
{
    double s = 0.0;
    for (size_t i = from; i < to; ++i)
        s += f[i].left * f[i].left;
    return db(std::sqrt(s / (to - from)));
}

} // namespace

// Without a detector: a fixed gain at the level, every frame, any block size.
TEST_F(RMSAmplifier, FixedGainWithoutDetector)
{
    auto* amp = new SoundAlgoRMSAmplifier(6.0, nullptr, 5.0, 0, 3.0, 20.0);
    const Frames input = musicLike(20000, 0.3);
    for (unsigned int block : {333u, 65536u}) {
        const Frames out = runStream(*amp, input, block);
        ASSERT_EQ(out.size(), input.size());
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_DOUBLE_EQ(out[i].left, lin(6.0) * input[i].left) << i;
            ASSERT_DOUBLE_EQ(out[i].right, lin(6.0) * input[i].right) << i;
        }
    }
    EXPECT_NEAR(amp->getLevel(3.0), 6.0, 1e-12);
    amp->release();
}

// The gain of one region at -30 dB aiming at -20 dB, under the limits: the
// largest gain caps it, the tolerance does not matter when the region
// reaches the level, and with the dynamics divisor the lowest result lifts
// it. The loudest level of a detector loaded from JSON is the -25 dB floor.
TEST_F(RMSAmplifier, RegionGainFollowsTheLimits)
{
    const unsigned int rate = 8000;
    const double floorLoud = lin(-25.0);
    const double lvl = lin(-30.0);
    struct Case {
        int divisor;
        double toleranceDb;
        double maxGainDb;
        double expected;
    };
    const double divided = 0.1 / (lvl + (floorLoud - lvl) / 2);
    const Case cases[] = {
        {0, 0.0, 20.0, lin(10.0)},
        {0, 0.0, 6.0, lin(6.0)},
        {0, 2.0, 20.0, lin(10.0)},
        {2, 100.0, 30.0, divided},           // about +7.2 dB
        {2, 1.0, 30.0, lin(-21.0) / lvl},    // the result may not stay below -21 dB
        {2, 1.0, 8.0, lin(8.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.divisor * 1000 + c.toleranceDb * 10 + c.maxGainDb);
        RMSStepDetector* det = detectorWith({{0, 16000, -30.0, false}, {16000, 1, -100.0, true}}, rate);
        auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 2.0, c.divisor, c.toleranceDb, c.maxGainDb);
        det->release(); // the amplifier holds it now
        const Frames out = runStream(*amp, constant(16000, 0.05, 0.05), 4096, rate);
        ASSERT_EQ(out.size(), 16000u);
        for (size_t i = 0; i < out.size(); i += 997)
            ASSERT_NEAR(out[i].left / 0.05, c.expected, 1e-12) << i;
        EXPECT_NEAR(amp->getLevel(1.0), db(c.expected), 1e-9);
        EXPECT_NEAR(amp->getLevel(2.0001), 0.0, 1e-12) << "noise region";
        amp->release();
    }
    // The worked value of the divisor case.
    EXPECT_NEAR(db(divided), 7.15, 0.01);
}

// Ramps: a change below 1 dB takes one second of frames, a change beyond
// 5 dB the transition time, from the frame after the region change, along
// a straight line, whatever the block size.
TEST_F(RMSAmplifier, RampLengthFollowsTheChange)
{
    const unsigned int rate = 8000;
    const double g1 = 1.1;
    const double g2 = 2.2;
    const int t1 = 16000;
    const int t2 = 40000;
    const int total = 80000;
    const int transition = 3 * rate;
    for (unsigned int block : {1000u, 7777u, 65536u}) {
        SCOPED_TRACE(block);
        RMSStepDetector* det = detectorWith({{0, t1, -20.0, false},
                                             {t1, t2 - t1, -20.0 - db(g1), false},
                                             {t2, total - t2, -20.0 - db(g2), false},
                                             {total, 1, -100.0, true}},
                                            rate);
        auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 3.0, 0, 100.0, 30.0);
        det->release();
        const std::vector<double> g = gains(runStream(*amp, constant(total, 0.05, 0.05), block, rate), 0.05);
        ASSERT_EQ(g.size(), static_cast<size_t>(total));
        auto expected = [&](int p) {
            if (p <= t1)
                return 1.0;
            if (p <= t1 + static_cast<int>(rate))
                return 1.0 + (p - t1) * (g1 - 1.0) / rate;
            if (p <= t2)
                return g1;
            if (p <= t2 + transition)
                return g1 + (p - t2) * (g2 - g1) / transition;
            return g2;
        };
        for (int p = 0; p < total; ++p)
            ASSERT_NEAR(g[p], expected(p), 1e-9) << p;
        EXPECT_NEAR(g[t1 + rate], g1, 1e-15);
        EXPECT_LT(g[t1 + rate - 1], g1 - 1e-6);
        EXPECT_NEAR(g[t2 + transition], g2, 1e-15);
        EXPECT_LT(g[t2 + transition - 1], g2 - 1e-6);
        amp->release();
    }
}

// A noise region keeps the previous gain until the next block, then unity;
// the next region after it is ramped to from unity.
TEST_F(RMSAmplifier, NoiseRegionGoesToUnityAtTheNextBlock)
{
    const unsigned int rate = 8000;
    RMSStepDetector* det = detectorWith({{0, 10000, -30.0, false}, {10000, 20000, -70.0, true}, {30000, 1, -100.0, true}}, rate);
    auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 2.0, 0, 100.0, 30.0);
    det->release();
    const std::vector<double> g = gains(runStream(*amp, constant(30000, 0.05, 0.05), 4096, rate), 0.05);
    ASSERT_EQ(g.size(), 30000u);
    EXPECT_NEAR(g[9999], lin(10.0), 1e-12);
    EXPECT_NEAR(g[12287], lin(10.0), 1e-12); // last frame of the block holding the change
    EXPECT_EQ(g[12288], 1.0);
    EXPECT_EQ(g[29999], 1.0);
    amp->release();
}

// getLevel by time: before the first region it is region 0's gain; the
// query moves back as well as forward; a region owns its first frame.
TEST_F(RMSAmplifier, LevelByTime)
{
    const unsigned int rate = 8000;
    RMSStepDetector* det = detectorWith(
        {{8000, 8000, -30.0, false}, {16000, 16000, -26.0, false}, {32000, 8000, -70.0, true}, {40000, 1, -100.0, true}},
        rate);
    auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 2.0, 0, 100.0, 30.0);
    det->release();
    EXPECT_NEAR(amp->getLevel(0.0), 10.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(2.5), 6.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(4.5), 0.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(1.5), 10.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(2.0), 6.0, 1e-9);
    EXPECT_NEAR(amp->getLevel(16000.0 / rate - 1.0 / rate), 10.0, 1e-9);
    amp->release();
}

// The balance lifts the quieter channel; it is set after initialisation.
TEST_F(RMSAmplifier, BalanceLiftsTheQuieterChannel)
{
    SoundBuffer::setDefaultSize(1000);
    const Frames input = constant(3000, 0.1, 0.1);
    MemoryReader reader(input, 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    auto* amp = new SoundAlgoRMSAmplifier(-6.0, nullptr, 2.0, 0, 100.0, 30.0);
    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(amp->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    amp->setBalanceFromRMS({-20.0, -26.0});
    while (amp->singleProcessLoop(reader, ctx, &writer) == SoundTools::StatusOk) {
    }
    amp->endProcessLoop(ctx);
    ASSERT_EQ(writer.frameCount(), 3000u);
    for (size_t i = 0; i < 3000; i += 500) {
        EXPECT_NEAR(writer.samples[2 * i], 0.1 * lin(-6.0), 1e-15);
        EXPECT_NEAR(writer.samples[2 * i + 1], 0.1 * lin(-6.0) * lin(6.0), 1e-15);
    }
    amp->release();
}

namespace {

// Noise (uniform, so that the amplitude is sqrt(3) times the RMS) of a
// given RMS. Its level wobbles from window to window like music does, so
// the detector records no fade where the level is steady (a perfectly
// steady level counts as an endless slow rise for its fade detection).
Frames noiseAt(unsigned int count, double dB, uint32_t seed)
{
    return noise(count, seed, std::sqrt(3.0) * lin(dB));
}

// Three sections at -30, -12 and -24 dB RMS, 15 s each.
Frames threeSections(unsigned int rate)
{
    const unsigned int n = 15 * rate;
    return concat({noiseAt(n, -30.0, 1u), noiseAt(n, -12.0, 2u), noiseAt(n, -24.0, 3u)});
}

} // namespace

// Offline: the detector runs first, then the amplifier brings every section
// to the level; the gains match the formula applied to the regions found.
TEST_F(RMSAmplifier, OfflineLevelsEverySection)
{
    const unsigned int rate = 8000;
    const Frames input = threeSections(rate);
    auto* det = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    {
        SoundBuffer::setDefaultSize(65536);
        MemoryReader reader(input, rate);
        reader.open(QString());
        reader.rewind();
        ASSERT_EQ(det->processAll(reader, nullptr), SoundTools::StatusOk);
    }
    ASSERT_GE(det->size(false), 3);
    auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 2.0, 0, 100.0, 30.0);
    for (unsigned int block : {4000u, 65536u}) {
        SCOPED_TRACE(block);
        const Frames out = runStream(*amp, input, block, rate);
        ASSERT_EQ(out.size(), input.size());
        for (int s = 0; s < 3; ++s) {
            const size_t from = (15 * s + 5) * rate;
            // The regions' own levels include part of the transitions.
            EXPECT_NEAR(rmsDb(out, from, from + 8 * rate), -20.0, 0.5) << "section " << s;
        }
        // Each region's gain, as measured, is the level over its RMS.
        for (int r = 0; r < det->size(false); ++r) {
            const RMSStepDetector::Region region = det->getRegion(r);
            if (region.IsNoise || region.SampleNb < static_cast<int>(6 * rate))
                continue;
            const size_t p = static_cast<size_t>(region.BeginSample + region.SampleNb - rate);
            const double rms = std::sqrt(std::max(region.RMSSqrValue0, region.RMSSqrValue1));
            const double want = std::min(lin(-20.0) / rms, lin(30.0));
            EXPECT_NEAR(out[p].left / input[p].left, want, 1e-9 * want) << "region " << r;
            EXPECT_NEAR(amp->getLevel(static_cast<double>(p) / rate), db(want), 1e-9);
        }
    }
    amp->release();
    det->release();
}

// The dynamics divisor keeps part of the distance to the loudest region
// found by a real run: a -30 dB section next to a -10 dB one, aiming at
// -20 dB with divisor 2, ends about -4.8 dB of gain.
TEST_F(RMSAmplifier, DynamicsDivisorAgainstTheLoudestRegion)
{
    const unsigned int rate = 8000;
    const unsigned int n = 12 * rate;
    const Frames input = concat({noiseAt(n, -10.0, 4u), noiseAt(n, -30.0, 5u)});
    auto* det = new RMSStepDetector(-40.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    SoundBuffer::setDefaultSize(65536);
    {
        MemoryReader reader(input, rate);
        reader.open(QString());
        reader.rewind();
        ASSERT_EQ(det->processAll(reader, nullptr), SoundTools::StatusOk);
    }
    const double loud = det->getCurrentMax();
    EXPECT_NEAR(db(loud), -10.0, 0.1);
    auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 2.0, 2, 100.0, 30.0);
    const Frames out = runStream(*amp, input, 65536, rate);
    ASSERT_EQ(out.size(), input.size());
    const size_t p = 20 * rate;
    int r = det->size(false) - 1;
    while (r > 0 && det->getRegion(r).BeginSample > static_cast<int>(p))
        --r;
    const RMSStepDetector::Region quiet = det->getRegion(r);
    ASSERT_FALSE(quiet.IsNoise);
    const double lvl = std::sqrt(std::max(quiet.RMSSqrValue0, quiet.RMSSqrValue1));
    // The region's level includes the windows across the transition, a
    // little above -30 dB.
    EXPECT_NEAR(db(lvl), -29.0, 1.5);
    const double gain = out[p].left / input[p].left;
    EXPECT_NEAR(gain, 0.1 / (lvl + (loud - lvl) / 2), 1e-9);
    EXPECT_NEAR(db(gain), -4.8, 0.3);
    amp->release();
    det->release();
}

// Real time: the detector runs in front of the amplifier in one chain and
// publishes its regions block by block; the amplifier follows them.
TEST_F(RMSAmplifier, RealTimeFollowsTheDetectorAlongside)
{
    const unsigned int rate = 8000;
    const Frames input = threeSections(rate);
    for (unsigned int block : {2000u, 16384u}) {
        SCOPED_TRACE(block);
        auto* det = new RMSStepDetector(-60.0, 0.2, 1.0, RMSStepDetector::PassThrough, true);
        auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 2.0, 0, 100.0, 30.0);
        auto* chain = new SoundAlgoComposite();
        chain->pushAlgo(det);
        chain->pushAlgo(amp);
        const Frames out = runStream(*chain, input, block, rate);
        ASSERT_EQ(out.size(), input.size());
        for (int s = 0; s < 3; ++s) {
            const size_t from = (15 * s + 8) * rate;
            EXPECT_NEAR(rmsDb(out, from, from + 6 * rate), -20.0, 1.0) << "section " << s;
        }
        chain->release();
    }
}

// A detector without any region yet: the gain is the level itself.
TEST_F(RMSAmplifier, DetectorWithoutRegionsGivesTheLevel)
{
    auto* det = new RMSStepDetector();
    auto* amp = new SoundAlgoRMSAmplifier(-6.0, det, 2.0, 0, 100.0, 30.0);
    det->release();
    const Frames input = musicLike(9000, 0.5);
    const Frames out = runStream(*amp, input, 1000);
    ASSERT_EQ(out.size(), input.size());
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_NEAR(out[i].left, lin(-6.0) * input[i].left, 1e-15) << i;
    EXPECT_EQ(amp->getLevel(0.5), 0.0);
    amp->release();
}

// Across a fade recorded by the detector the gain follows the fade: it
// moves steadily towards the gain of the region the fade leads into and
// reaches it where the fade ends.
TEST_F(RMSAmplifier, RampFollowsARecordedFade)
{
    const unsigned int rate = 8000;
    const unsigned int n = 12 * rate;
    const unsigned int fadeFrames = 4 * rate;
    Frames fade = noiseAt(fadeFrames, 0.0, 6u);
    for (unsigned int i = 0; i < fadeFrames; ++i) {
        const double g = lin(-10.0 - 20.0 * i / fadeFrames);
        fade[i].left *= g;
        fade[i].right *= g;
    }
    const Frames input = concat({noiseAt(n, -10.0, 4u), fade, noiseAt(n, -30.0, 5u)});
    auto* det = new RMSStepDetector(-60.0, 0.2, 1.0, RMSStepDetector::NoOutput, false);
    SoundBuffer::setDefaultSize(65536);
    {
        MemoryReader reader(input, rate);
        reader.open(QString());
        reader.rewind();
        ASSERT_EQ(det->processAll(reader, nullptr), SoundTools::StatusOk);
    }
    // Blocks of 0.25 s: the fade is looked up at every block start.
    auto* amp = new SoundAlgoRMSAmplifier(-20.0, det, 1.0, 0, 100.0, 30.0);
    const Frames out = runStream(*amp, input, 2000, rate);
    ASSERT_EQ(out.size(), input.size());
    const RMSStepDetector::Region last = det->getRegion(det->size(false) - 2);
    const double target = lin(-20.0) / std::sqrt(std::max(last.RMSSqrValue0, last.RMSSqrValue1));
    // Gain per second through the fade: steadily rising, no jump.
    double previous = 0.0;
    for (unsigned int t = n; t <= n + fadeFrames; t += rate / 2) {
        const double g = out[t].left / input[t].left;
        EXPECT_GE(g, previous * (1.0 - 1e-9)) << t;
        previous = g;
    }
    // Settled on the quiet region's gain well before its end.
    const size_t p = n + fadeFrames + 6 * rate;
    EXPECT_NEAR(out[p].left / input[p].left, target, 1e-9 * target);
    EXPECT_NEAR(rmsDb(out, p, p + 4 * rate), -20.0, 1.0);
    amp->release();
    det->release();
}
