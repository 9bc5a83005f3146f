// FFT statistics, autocorrelation, tone reconstruction and spectral shift.
#include "SpectralTestUtil.h"
#include "TestSignals.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoFFTStats.h"
#include "SoundAlgoFFTTranslate.h"
#include "SoundAutocorrelStats.h"
#include "SoundFFTAutocorrelChain.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>

using namespace spectraltest;

namespace {

struct Deleter {
    void operator()(SoundAlgoComposite* c) const { c->release(); }
};
using CompositePtr = std::unique_ptr<SoundAlgoComposite, Deleter>;

// direct(n, overlap) -> node -> inverse, the node shared with the caller.
CompositePtr around(SoundAlgo* node, unsigned int n, bool overlap)
{
    CompositePtr c(new SoundAlgoComposite());
    c->pushAlgo(new SoundAlgoFFTDirectCompute(n, overlap, false));
    node->addRef();
    c->pushAlgo(node);
    c->pushAlgo(new SoundAlgoFFTInverseCompute(false));
    return c;
}

} // namespace

TEST(FFTStats, ConstantLeftChannel)
{
    auto* stats = new SoundAlgoFFTStats();
    {
        CompositePtr c = around(stats, 8, false);
        const Frames input(8, {1.0, 0.0});
        const RunResult r = runNode(*c, input, 8, 0, 8000);
        ASSERT_EQ(r.status, SoundTools::StatusOk);
        // The statistics node passes the frames through unchanged.
        EXPECT_LT(largestDifference(r.out, input), 1e-15);
    }
    // One FFT frame, two half spectra of which only the left has power.
    EXPECT_EQ(stats->getCount(), 2.0);
    const auto& p = stats->getPowers();
    ASSERT_EQ(p.size(), 5u);
    EXPECT_NEAR(p[0], 0.5, 1e-15);
    for (size_t j = 1; j < p.size(); ++j)
        EXPECT_NEAR(p[j], 0.0, 1e-30);
    const auto levels = stats->getStats();
    EXPECT_NEAR(levels[0], 20.0 * std::log10(std::sqrt(0.5)), 1e-12);
    EXPECT_EQ(levels[1], -100.0);
    const auto freqs = stats->getFrequencies();
    ASSERT_EQ(freqs.size(), 5u);
    EXPECT_EQ(freqs[1], 1000.0);
    EXPECT_EQ(freqs[4], 4000.0);
    stats->release();
}

// Mean power per bin over a run, against a DFT of each block computed here;
// a second run starts afresh instead of dividing twice.
TEST(FFTStats, MeansOverARunAndRestartsOnTheNext)
{
    const Frames input = testsignals::noiseFrames(1000, 4);
    auto* stats = new SoundAlgoFFTStats();
    CompositePtr c = around(stats, 32, true);
    std::vector<double> expected(17, 0.0);
    double count = 0.0;
    for (size_t start = 0; start < input.size(); start += 16) {
        for (int ch = 0; ch < 2; ++ch) {
            for (size_t k = 0; k <= 16; ++k) {
                std::complex<long double> s = 0;
                for (size_t t = 0; t < 16 && start + t < input.size(); ++t) {
                    const double v = ch == 0 ? input[start + t].left : input[start + t].right;
                    const long double a = -2.0L * 3.14159265358979323846L * static_cast<long double>(k * t) / 32;
                    s += static_cast<long double>(v) * std::complex<long double>(std::cos(a), std::sin(a));
                }
                expected[k] += static_cast<double>(std::norm(s / 32.0L));
            }
            count += 1.0;
        }
    }
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_EQ(runNode(*c, input, 100, 13).status, SoundTools::StatusOk);
        EXPECT_EQ(stats->getCount(), count);
        for (size_t k = 0; k <= 16; ++k)
            EXPECT_NEAR(stats->getPowers()[k], expected[k] / count, 1e-14);
    }
    stats->release();
}

TEST(FFTStats, BandsBetweenSplitFrequenciesAndJson)
{
    QJsonObject o;
    o.insert("Class", "SoundAlgoFFTStats");
    o.insert("Size", 8);
    o.insert("Overlap", false);
    o.insert("SampleRate", 8000);
    o.insert("StatCount", 4.0);
    o.insert("StatsArray", QJsonArray{1.0, 3.0, 0.25, 0.25, 0.5});
    std::unique_ptr<SoundAlgoFFTStats> stats(SoundAlgoFFTStats::createFromJSon(o));
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(stats->getSize(), 8u);
    EXPECT_EQ(stats->getCount(), 4.0);
    // Bin spacing 1000 Hz: bins 0 and 1 (0 <= 1000, 1000 <= 1000) in band
    // 0, bins 2 to 4 in band 1; levels relative to the louder band.
    const auto bands = stats->getStats({1000.0});
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_NEAR(bands[0], 0.0, 1e-12);
    EXPECT_NEAR(bands[1], -20.0 * std::log10(2.0), 1e-12);
    // A band that gets no bin is at -100 dB before the subtraction.
    const auto sparse = stats->getStats({1000.0, 1200.0, 5000.0});
    ASSERT_EQ(sparse.size(), 4u);
    EXPECT_NEAR(sparse[1], -100.0 - 20.0 * std::log10(2.0), 1e-9);

    // Written and read back, the node gives the same levels.
    QJsonObject written;
    stats->writeToJSon(written);
    EXPECT_EQ(written.value("Class").toString(), QStringLiteral("SoundAlgoFFTStats"));
    std::unique_ptr<SoundAlgoFFTStats> back(SoundAlgoFFTStats::createFromJSon(written));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getStats(), stats->getStats());
    EXPECT_EQ(back->getCount(), 4.0);

    QJsonObject wrongClass = o;
    wrongClass.insert("Class", "SoundAlgoStats");
    EXPECT_EQ(SoundAlgoFFTStats::createFromJSon(wrongClass), nullptr);
    QJsonObject noStats = o;
    noStats.remove("StatsArray");
    EXPECT_EQ(SoundAlgoFFTStats::createFromJSon(noStats), nullptr);
    QJsonObject numberClass = o;
    numberClass.insert("Class", 3);
    EXPECT_EQ(SoundAlgoFFTStats::createFromJSon(numberClass), nullptr);
}

// The chain's output is, block by block, the autocorrelation of each block
// of N/2 frames divided by the number of products at each lag (at least 50).
TEST(Autocorrelation, ChainNormalisesEachBlocksLags)
{
    const unsigned int n = 256, half = 128;
    const Frames input = testsignals::noiseFrames(5 * half + 40, 9);
    CompositePtr chain(new SoundFFTAutocorrelChain(n));
    const RunResult r = runNode(*chain, input, 300, 71);
    ASSERT_EQ(r.status, SoundTools::StatusOk);
    ASSERT_EQ(r.out.size(), input.size());
    for (size_t start = 0; start + half <= input.size(); start += half) {
        for (unsigned int j = 0; j < half; ++j) {
            double l = 0.0, rr = 0.0;
            for (unsigned int i = 0; i + j < half; ++i) {
                l += input[start + i].left * input[start + i + j].left;
                rr += input[start + i].right * input[start + i + j].right;
            }
            const double products = std::max(static_cast<double>(half - j), 50.0);
            ASSERT_NEAR(r.out[start + j].left, l / products, 1e-12) << start << " lag " << j;
            ASSERT_NEAR(r.out[start + j].right, rr / products, 1e-12);
        }
    }
}

// A sine of period 100 frames: the autocorrelation peaks every 100 lags and
// the tone node outputs a sine of period 100 on both channels.
TEST(Autocorrelation, RecoversTheToneOfASine)
{
    const unsigned int rate = 44100;
    Frames input(4 * 8192);
    for (size_t i = 0; i < input.size(); ++i) {
        const double v = 0.8 * std::sin(2.0 * M_PI * static_cast<double>(i) / 100.0);
        input[i] = {v, v};
    }
    CompositePtr c(new SoundAlgoComposite());
    c->pushAlgo(new SoundFFTAutocorrelChain(8192));
    auto* tone = new SoundAutocorrelStats(7);
    tone->addRef();
    c->pushAlgo(tone);
    const RunResult r = runNode(*c, input, 8192, 0, rate);
    ASSERT_EQ(r.status, SoundTools::StatusOk);
    EXPECT_EQ(tone->getLastPeriod(), 100.0);
    EXPECT_TRUE(tone->GetToneList().empty());
    EXPECT_EQ(tone->getParameter(), 7);
    tone->release();
    ASSERT_EQ(r.out.size(), input.size());
    // Within one block of 1024 frames the output is sin(phase + 2 pi i / 100).
    const size_t s = 8192;
    const double phase = std::atan2(r.out[s].left, r.out[s + 25].left);
    for (size_t i = s; i < s + 1024; ++i) {
        EXPECT_NEAR(r.out[i].left, std::sin(phase + 2.0 * M_PI * static_cast<double>(i - s) / 100.0), 1e-9);
        EXPECT_EQ(r.out[i].right, r.out[i].left);
    }
}

TEST(Autocorrelation, QuietBlocksGiveSilence)
{
    Frames input(3000);
    for (size_t i = 0; i < input.size(); ++i) {
        const double v = 0.009 * std::sin(2.0 * M_PI * static_cast<double>(i) / 50.0);
        input[i] = {v, 1.0}; // the right channel is not looked at
    }
    SoundAutocorrelStats* tone = new SoundAutocorrelStats(0);
    CompositePtr c(new SoundAlgoComposite());
    c->pushAlgo(tone);
    const RunResult r = runNode(*c, input, 1000);
    ASSERT_EQ(r.status, SoundTools::StatusOk);
    ASSERT_EQ(r.out.size(), input.size());
    for (const auto& f : r.out) {
        ASSERT_EQ(f.left, 0.0);
        ASSERT_EQ(f.right, 0.0);
    }
}

// Bins move by the shift; DC and Nyquist stay; the inverse shows the tone
// moved by shift x fs / N.
TEST(Translate, MovesBinsAndKeepsDcAndNyquist)
{
    const unsigned int n = 64;
    for (int shift : {1, -1, 3, 100, -100}) {
        SCOPED_TRACE(shift);
        auto* translate = new SoundAlgoFFTTranslate(shift);
        auto* stats = new SoundAlgoFFTStats();
        CompositePtr c(new SoundAlgoComposite());
        c->pushAlgo(new SoundAlgoFFTDirectCompute(n, false, false));
        c->pushAlgo(translate);
        stats->addRef();
        c->pushAlgo(stats);
        c->pushAlgo(new SoundAlgoFFTInverseCompute(false));
        // Power in bins 0 (DC), 5 and 32 (Nyquist) only, left channel.
        Frames input(n);
        for (unsigned int i = 0; i < n; ++i)
            input[i] = {0.5 + std::cos(2.0 * M_PI * 5.0 * i / n) + 0.25 * (i % 2 ? -1.0 : 1.0), 0.0};
        const RunResult r = runNode(*c, input, n);
        ASSERT_EQ(r.status, SoundTools::StatusOk);
        EXPECT_EQ(translate->getSize(), 0u); // forgotten at the end of the run
        const auto& p = stats->getPowers();
        ASSERT_EQ(p.size(), 33u);
        const int moved = 5 + shift;
        for (int j = 0; j <= 32; ++j) {
            double want = 0.0;
            if (j == 0)
                want = 0.25 / 2;
            else if (j == 32)
                want = 0.0625 / 2;
            else if (j == moved)
                want = 0.25 / 2;
            EXPECT_NEAR(p[static_cast<size_t>(j)], want, 1e-15) << "bin " << j;
        }
        // Back in the time domain: the cosine now has moved bins.
        if (moved >= 1 && moved <= 31) {
            for (unsigned int i = 0; i < n; ++i)
                ASSERT_NEAR(r.out[i].left, 0.5 + std::cos(2.0 * M_PI * moved * i / n) + 0.25 * (i % 2 ? -1.0 : 1.0), 1e-12);
        }
        stats->release();
    }
}
