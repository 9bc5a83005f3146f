// Level statistics against values computed independently from the signals:
// sines of known amplitude, silence, one-sided signals, a sliding RMS
// against a direct windowed sum, band statistics against the band filters
// run by hand, the verbose report and the JSON form.
#include "StatsTestSupport.h"
#include "TestSignals.h"

#include "Order1FilterBuilder.h"
#include "SoundAlgoComposite.h"

#include <QJsonArray>

#include <cmath>
#include <limits>
#include <sstream>

using namespace statstest;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Whole cycles of a sine: 500 Hz at 8 kHz has a period of 16 frames.
Frames sine(unsigned int n, double ampLeft, double ampRight, double freq = 500.0, double rate = 8000.0)
{
    Frames f(n);
    for (unsigned int i = 0; i < n; ++i) {
        const double s = std::sin(2.0 * kPi * freq * i / rate);
        f[i] = {ampLeft * s, ampRight * s};
    }
    return f;
}

struct Block {
    unsigned int size;  // default block size
    unsigned int chunk; // largest read (0: whole blocks)
};

// Blocks larger than the stream, smaller than the window, odd sizes, and
// short reads.
const Block kBlocks[] = {{1048576, 0}, {16, 0}, {100, 0}, {4096, 7}, {1000, 333}};

} // namespace

TEST_F(StatsTest, WindowLengthIsOddAndDelayCentresIt)
{
    struct Case {
        double seconds;
        unsigned int rate, overlap, delay;
    } cases[] = {{1.0, 44100, 44101, 22050}, {0.25, 44100, 11025, 5512}, {1.0, 48000, 48001, 24000}};
    for (const Case& c : cases) {
        auto* s = new SoundAlgoStats(SoundAlgoStats::RMS_WITH_STATS, c.seconds);
        EXPECT_EQ(s->getInOverlap(c.rate), c.overlap) << c.seconds << " s at " << c.rate;
        EXPECT_EQ(s->getDelay(c.rate), c.delay) << c.seconds << " s at " << c.rate;
        s->release();
    }
    auto* statsOnly = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY, 1.0);
    EXPECT_EQ(statsOnly->getWindowTime(), 0.0);
    EXPECT_EQ(statsOnly->getInOverlap(44100), 0u);
    EXPECT_EQ(statsOnly->getDelay(44100), 0u);
    statsOnly->release();
    // A zero or damaged window is one frame wide, never zero or huge.
    for (double w : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        auto* s = new SoundAlgoStats(SoundAlgoStats::RMS_ONLY, w);
        EXPECT_EQ(s->getInOverlap(44100), 1u) << w;
        EXPECT_EQ(s->getDelay(44100), 0u) << w;
        s->release();
    }
}

TEST_F(StatsTest, QueriesBeforeAnyFrame)
{
    auto* s = new SoundAlgoStats();
    StereoFrame<double> rms{7.0, 8.0};
    StereoFrame<double> max{7.0, 8.0};
    double full = 9.0;
    s->getRMS(rms);
    EXPECT_EQ(rms.left, 7.0);
    EXPECT_EQ(rms.right, 8.0);
    s->getGlobalStats(rms, full, max);
    EXPECT_EQ(rms.left, 7.0);
    EXPECT_EQ(full, 9.0);
    EXPECT_EQ(max.left, 7.0);
    EXPECT_EQ(s->getFullRMS(), 0.0);
    s->getMax(max);
    EXPECT_EQ(max.left, -100.0);
    EXPECT_EQ(max.right, -100.0);
    s->release();
}

// RMS of a sine = peak - 3.01 dB, for every output type and block layout;
// every stream frame is counted once.
TEST_F(StatsTest, SineLevelsAtEveryBlockLayout)
{
    const unsigned int n = 16000;
    const Frames x = sine(n, 0.5, 0.25);
    const double halfPowerDb = 10.0 * std::log10(0.5);
    for (const Block& b : kBlocks) {
        for (auto type : {SoundAlgoStats::RMS_WITH_STATS, SoundAlgoStats::STATS_ONLY, SoundAlgoStats::RMS_ONLY}) {
            SCOPED_TRACE(testing::Message() << "block " << b.size << " chunk " << b.chunk << " type " << type);
            auto* s = new SoundAlgoStats(type, 0.05);
            runStreamAt(*s, x, 8000, b.size, b.chunk);
            if (type == SoundAlgoStats::RMS_ONLY) {
                EXPECT_EQ(s->getTotalCount(), 0u);
                s->release();
                continue;
            }
            EXPECT_EQ(s->getTotalCount(), n);
            StereoFrame<double> rms{0, 0}, max{0, 0};
            double full = 0;
            s->getGlobalStats(rms, full, max);
            EXPECT_NEAR(max.left, db(0.5), 1e-12);
            EXPECT_NEAR(max.right, db(0.25), 1e-12);
            EXPECT_NEAR(rms.left, db(0.5) + halfPowerDb, 1e-9);
            EXPECT_NEAR(rms.right, db(0.25) + halfPowerDb, 1e-9);
            EXPECT_NEAR(full, 10.0 * std::log10((0.25 + 0.0625) / 4.0), 1e-9);
            s->release();
        }
    }
}

TEST_F(StatsTest, SilenceConstantAndOneSidedSignals)
{
    auto run = [](const Frames& x) {
        auto* s = new SoundAlgoStats(SoundAlgoStats::RMS_WITH_STATS, 0.01);
        const Frames out = runStreamAt(*s, x, 8000, 512);
        return std::make_pair(s, out);
    };
    {
        auto [s, out] = run(Frames(3000, {0.0, 0.0}));
        StereoFrame<double> rms{0, 0}, max{0, 0};
        s->getRMS(rms);
        s->getMax(max);
        EXPECT_EQ(s->getTotalCount(), 3000u);
        EXPECT_EQ(rms.left, -100.0);
        EXPECT_EQ(rms.right, -100.0);
        EXPECT_EQ(s->getFullRMS(), -100.0);
        EXPECT_EQ(max.left, -100.0);
        s->release();
    }
    {
        auto [s, out] = run(Frames(3000, {1.0, -1.0}));
        StereoFrame<double> rms{1, 1}, max{1, 1};
        s->getRMS(rms);
        s->getMax(max);
        EXPECT_NEAR(rms.left, 0.0, 1e-12);
        EXPECT_NEAR(rms.right, 0.0, 1e-12);
        EXPECT_NEAR(s->getFullRMS(), 0.0, 1e-12);
        EXPECT_EQ(max.left, 0.0);
        EXPECT_EQ(max.right, 0.0);
        // Away from the edges the window is full of ones.
        ASSERT_GE(out.size(), 3000u);
        for (size_t i = 40; i < 2960; ++i)
            ASSERT_NEAR(out[i].left, 1.0, 1e-12) << i;
        s->release();
    }
    {
        auto [s, out] = run(Frames(3000, {1.0, 0.0}));
        StereoFrame<double> rms{1, 1};
        s->getRMS(rms);
        EXPECT_NEAR(rms.left, 0.0, 1e-12);
        EXPECT_EQ(rms.right, -100.0);
        EXPECT_NEAR(s->getFullRMS(), db(std::sqrt(0.5)), 1e-12);
        s->release();
    }
}

// Every output frame is the RMS of the window centred on it, with silence
// outside the stream; the statistics hold the stream's exact sums.
TEST_F(StatsTest, SlidingRmsMatchesDirectWindowedSum)
{
    const unsigned int n = 2500;
    const Frames x = testsignals::noiseFrames(n, 11, 0.8);
    const int half = 40; // 0.01 s at 8 kHz: 80 frames, odd window of 81
    auto at = [&](long p) { return p >= 0 && p < static_cast<long>(n) ? x[static_cast<size_t>(p)] : StereoFrame<double>{0, 0}; };
    double sumL = 0, sumR = 0, peakL = 0;
    for (const auto& f : x) {
        sumL += f.left * f.left;
        sumR += f.right * f.right;
        peakL = std::max(peakL, std::abs(f.left));
    }
    for (const Block& b : kBlocks) {
        SCOPED_TRACE(testing::Message() << "block " << b.size << " chunk " << b.chunk);
        auto* s = new SoundAlgoStats(SoundAlgoStats::RMS_WITH_STATS, 0.01);
        const Frames out = runStreamAt(*s, x, 8000, b.size, b.chunk);
        ASSERT_GE(out.size(), n);
        ASSERT_LE(out.size(), n + half);
        for (size_t p = 0; p < out.size(); ++p) {
            double l = 0, r = 0;
            for (long k = static_cast<long>(p) - half; k <= static_cast<long>(p) + half; ++k) {
                l += at(k).left * at(k).left;
                r += at(k).right * at(k).right;
            }
            ASSERT_NEAR(out[p].left, std::sqrt(l / (2 * half + 1)), 1e-12) << p;
            ASSERT_NEAR(out[p].right, std::sqrt(r / (2 * half + 1)), 1e-12) << p;
        }
        EXPECT_EQ(s->getTotalCount(), n);
        EXPECT_NEAR(s->getSquareSums().left, sumL, 1e-9);
        EXPECT_NEAR(s->getSquareSums().right, sumR, 1e-9);
        EXPECT_EQ(s->getPeaks().left, peakL);
        s->release();
    }
}

// After a loud passage the running sum of a silent window rounds below
// zero; the output must stay 0, not become NaN.
TEST_F(StatsTest, SilentWindowAfterSignalIsZeroNotNaN)
{
    // 3-frame window, delay 1: the node's first window holds one frame of
    // lead-in silence and the first two frames.
    Frames x{{0.1, 0.1}, {0.2, 0.2}, {0.7, 0.7}};
    x.resize(12, {0.0, 0.0});
    std::vector<double> in{0.0};
    for (const auto& f : x)
        in.push_back(f.left);
    double s = in[0] * in[0] + in[1] * in[1] + in[2] * in[2];
    s -= in[0] * in[0];
    for (int i = 1; i < 4; ++i) {
        s += in[i + 2] * in[i + 2];
        s -= in[i] * in[i];
    }
    s += in[6] * in[6];
    ASSERT_LT(s, 0.0) << "the input no longer drives the running sum below zero";

    auto* node = new SoundAlgoStats(SoundAlgoStats::RMS_ONLY, 0.03);
    ASSERT_EQ(node->getInOverlap(100), 3u);
    const Frames out = runStreamAt(*node, x, 100);
    ASSERT_GE(out.size(), x.size());
    for (size_t p = 4; p < x.size(); ++p) {
        EXPECT_EQ(out[p].left, 0.0) << p;
        EXPECT_EQ(out[p].right, 0.0) << p;
    }
    node->release();
}

TEST_F(StatsTest, StatsOnlyPassesInputThrough)
{
    const Frames x = testsignals::noiseFrames(5000, 3);
    for (const Block& b : kBlocks) {
        auto* s = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY);
        const Frames out = runStreamAt(*s, x, 44100, b.size, b.chunk);
        ASSERT_EQ(out.size(), x.size());
        for (size_t i = 0; i < x.size(); ++i) {
            ASSERT_EQ(out[i].left, x[i].left) << i;
            ASSERT_EQ(out[i].right, x[i].right) << i;
        }
        EXPECT_EQ(s->getTotalCount(), 5000u);
        s->release();
    }
}

// A zero-second RMS window gives the magnitude of each frame.
TEST_F(StatsTest, ZeroWindowIsOneFrame)
{
    const Frames x = testsignals::noiseFrames(1000, 5);
    auto* s = new SoundAlgoStats(SoundAlgoStats::RMS_WITH_STATS, 0.0);
    const Frames out = runStreamAt(*s, x, 44100, 256);
    ASSERT_EQ(out.size(), x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_DOUBLE_EQ(out[i].left, std::abs(x[i].left)) << i;
        ASSERT_DOUBLE_EQ(out[i].right, std::abs(x[i].right)) << i;
    }
    EXPECT_EQ(s->getTotalCount(), 1000u);
    s->release();
}

// A second run starts from zero.
TEST_F(StatsTest, EachRunStartsAfresh)
{
    auto* s = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY);
    runStreamAt(*s, Frames(100, {1.0, 1.0}), 8000);
    runStreamAt(*s, Frames(50, {0.5, 0.25}), 8000);
    EXPECT_EQ(s->getTotalCount(), 50u);
    EXPECT_DOUBLE_EQ(s->getSquareSums().left, 50 * 0.25);
    EXPECT_EQ(s->getPeaks().left, 0.5);
    EXPECT_EQ(s->getPeaks().right, 0.25);
    s->release();
}

// Each band node sees exactly what the band's filters make of the input,
// computed here by running the same kernels by hand.
TEST_F(StatsTest, MultibandTreeGivesPerBandStatistics)
{
    const unsigned int n = 20000;
    const Frames x = testsignals::noiseFrames(n, 21, 0.5);
    auto* tree = new SoundAlgoComposite(QStringLiteral("tree"));
    SoundAlgoStats::FrequencyBuilder builder;
    tree->buildMultibandTree({200, 2000}, builder, false);
    std::vector<SoundAlgoStats*>& bands = builder.getStatsVector();
    ASSERT_EQ(bands.size(), 3u);
    EXPECT_EQ(bands[0]->getId(), QStringLiteral("[0-200]"));
    EXPECT_EQ(bands[1]->getId(), QStringLiteral("[200-2000]"));
    EXPECT_EQ(bands[2]->getId(), QStringLiteral("[2000-22050]"));
    // Copies list the same nodes.
    SoundAlgoStats::FrequencyBuilder copy(builder);
    EXPECT_EQ(copy.getStatsVector(), bands);
    EXPECT_EQ(copy.getWindowTime(), 0.2);

    const Frames out = runStreamAt(*tree, x, 44100, 4096, 1000);
    ASSERT_EQ(out.size(), n);

    Frames input = x, low = x, rest = x, mid, high;
    SoundTools::Order1FilterBuilder(SoundTools::LowPass, 200).buildFilter(44100)->filter(input.data(), low.data(), n);
    for (size_t i = 0; i < n; ++i)
        rest[i] = {x[i].left - low[i].left, x[i].right - low[i].right};
    mid = rest;
    SoundTools::Order1FilterBuilder(SoundTools::LowPass, 2000).buildFilter(44100)->filter(rest.data(), mid.data(), n);
    high = rest;
    for (size_t i = 0; i < n; ++i)
        high[i] = {rest[i].left - mid[i].left, rest[i].right - mid[i].right};

    const Frames* expected[3] = {&low, &mid, &high};
    for (int b = 0; b < 3; ++b) {
        double l = 0, r = 0;
        for (const auto& f : *expected[b]) {
            l += f.left * f.left;
            r += f.right * f.right;
        }
        EXPECT_EQ(bands[b]->getTotalCount(), n) << b;
        EXPECT_NEAR(bands[b]->getSquareSums().left / l, 1.0, 1e-9) << b;
        EXPECT_NEAR(bands[b]->getSquareSums().right / r, 1.0, 1e-9) << b;
    }
    tree->release();
}

TEST_F(StatsTest, VerboseReport)
{
    std::ostringstream os;
    SoundDebuggableClass::setOStream(&os);
    SoundDebuggableClass::setVerbose(true);
    auto* s = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY);
    runStreamAt(*s, Frames(800, {1.0, 0.5}), 8000);
    const std::string report = os.str();
    os.str("");
    auto* rmsOnly = new SoundAlgoStats(SoundAlgoStats::RMS_ONLY, 0.01);
    runStreamAt(*rmsOnly, Frames(800, {1.0, 0.5}), 8000);
    const std::string rmsOnlyReport = os.str();
    os.str("");
    auto* empty = new SoundAlgoStats(SoundAlgoStats::STATS_ONLY);
    runStreamAt(*empty, Frames(), 8000);
    const std::string emptyReport = os.str();
    SoundDebuggableClass::setVerbose(false);
    os.str("");
    runStreamAt(*s, Frames(800, {1.0, 0.5}), 8000);
    const std::string quietReport = os.str();
    SoundDebuggableClass::setOStream(nullptr);

    EXPECT_EQ(report, "Stats :\n\tRMS\t= -2.04 dB\n \tRMS Left\t= 0.00 dB\n\tRMS Right\t= -6.02 dB\n"
                      "\tMax Left\t= 0.00 dB\n\tMax Right\t= -6.02 dB\n");
    EXPECT_EQ(rmsOnlyReport, "");
    EXPECT_EQ(emptyReport, "Stats : no frame\n");
    EXPECT_EQ(quietReport, "");
    s->release();
    rmsOnly->release();
    empty->release();
}

TEST_F(StatsTest, JsonRoundTripKeepsLevels)
{
    auto* s = new SoundAlgoStats(SoundAlgoStats::RMS_WITH_STATS, 0.02);
    s->setId(QStringLiteral("band"));
    runStreamAt(*s, sine(4000, 0.7, 0.1), 8000);
    QJsonObject o;
    s->writeToJSon(o);
    EXPECT_EQ(o.value("Class").toString(), QStringLiteral("SoundAlgoStats"));
    EXPECT_EQ(o.value("OutputType").toInt(), 0);
    EXPECT_EQ(o.value("WindowTime").toDouble(), 0.02);
    EXPECT_EQ(o.value("TotalCount").toInt(), 4000);
    EXPECT_EQ(o.value("SampleRate").toInt(), 8000);
    EXPECT_FALSE(o.contains("Id"));

    // Through the registry, as a stored graph is rebuilt.
    SoundAlgo* node = SoundAlgo::createFromJSon(o);
    auto* back = dynamic_cast<SoundAlgoStats*>(node);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getOutputType(), SoundAlgoStats::RMS_WITH_STATS);
    EXPECT_EQ(back->getWindowTime(), 0.02);
    EXPECT_EQ(back->getSampleRate(), 8000u);
    EXPECT_EQ(back->getTotalCount(), s->getTotalCount());
    StereoFrame<double> a{0, 0}, b{0, 0}, ma{0, 0}, mb{0, 0};
    double fa = 0, fb = 0;
    s->getGlobalStats(a, fa, ma);
    back->getGlobalStats(b, fb, mb);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.right, b.right);
    EXPECT_EQ(fa, fb);
    EXPECT_EQ(ma.left, mb.left);
    EXPECT_EQ(ma.right, mb.right);
    node->release();
    s->release();

    // An RMS-only node stores no count.
    auto* rmsOnly = new SoundAlgoStats(SoundAlgoStats::RMS_ONLY, 0.02);
    runStreamAt(*rmsOnly, sine(400, 0.7, 0.1), 8000);
    QJsonObject r;
    rmsOnly->writeToJSon(r);
    EXPECT_EQ(r.value("TotalCount").toInt(), 0);
    rmsOnly->release();
}

TEST_F(StatsTest, JsonRefusalsAndPartialObjects)
{
    QJsonObject good{{"Class", "SoundAlgoStats"}, {"OutputType", 2}, {"WindowTime", 0.0}};
    QJsonObject otherClass = good;
    otherClass["Class"] = "RMSStepDetector";
    QJsonObject typeAsString = good;
    typeAsString["OutputType"] = "2";
    QJsonObject noWindow = good;
    noWindow.remove("WindowTime");
    QJsonObject unknownType = good;
    unknownType["OutputType"] = 7;
    for (QJsonObject* bad : {&otherClass, &typeAsString, &noWindow, &unknownType})
        EXPECT_EQ(SoundAlgoStats::createFromJSon(*bad), nullptr);

    // Keys that are missing or not numbers leave the fields as constructed.
    QJsonObject partial = good;
    partial["LeftSqr"] = 4.0;
    partial["RightSqr"] = "4";
    partial["TotalCount"] = 1.5;
    partial["SampleRate"] = -3;
    SoundAlgoStats* s = SoundAlgoStats::createFromJSon(partial);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getSquareSums().left, 4.0);
    EXPECT_EQ(s->getSquareSums().right, 0.0);
    EXPECT_EQ(s->getTotalCount(), 0u);
    EXPECT_EQ(s->getSampleRate(), 0u);
    s->release();

    // Counts above 2^31 - 1 are stored negative and read back whole.
    QJsonObject big = good;
    big["TotalCount"] = -2;
    s = SoundAlgoStats::createFromJSon(big);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getTotalCount(), 4294967294u);
    QJsonObject written;
    s->writeToJSon(written);
    EXPECT_EQ(written.value("TotalCount").toInt(), -2);
    s->release();

    // An array keeps only what builds.
    QJsonArray array{QStringLiteral("text"), good, QJsonObject{{"Class", "NoSuchClass"}}};
    std::vector<SoundAlgo*> nodes = SoundAlgo::createFromJSon(array);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_NE(dynamic_cast<SoundAlgoStats*>(nodes[0]), nullptr);
    for (SoundAlgo* node : nodes)
        node->release();
}
