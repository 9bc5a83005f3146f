#include "DynamicsTestUtil.h"

#include "SoundAlgoFilterMultibandAmplifier.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dyntest;

namespace {

class MultibandAmplifier : public BlockSizeFixture {};

double lin(double dB)
{
    return std::pow(10.0, dB / 20.0);
}

SoundAlgoFilterMultibandAmplifier* threeBands(double levelDb, bool biquad, const std::vector<double>& bandLevels = {})
{
    return new SoundAlgoFilterMultibandAmplifier({200.0, 2000.0}, levelDb, 0.01, 0.1, 2.0, nullptr, biquad, 0, 100.0,
                                                 bandLevels);
}

} // namespace

// Crossovers 200 and 2000 Hz: three band amplifiers named after their
// bands, limiters in the two lower bands, and a final limiter 0.3 dB below
// full scale that is not a band limiter.
TEST_F(MultibandAmplifier, BandsAndTheirNodes)
{
    auto* m = threeBands(-20.0, false, {0.0, -3.0, 2.0});
    ASSERT_EQ(m->getAmplifierNumber(), 3u);
    ASSERT_EQ(m->getLimiterNumber(), 2u);
    EXPECT_EQ(m->getAmplifier(0)->getId(), "[0-200]");
    EXPECT_EQ(m->getAmplifier(1)->getId(), "[200-2000]");
    EXPECT_EQ(m->getAmplifier(2)->getId(), "[2000-22050]");
    EXPECT_EQ(m->getLimiter(0)->getId(), "[0-200]");
    EXPECT_EQ(m->getLimiter(1)->getId(), "[200-2000]");
    ASSERT_NE(m->getFinalLimiter(), nullptr);
    EXPECT_NEAR(m->getFinalLimiter()->getLevel(0.0), -0.3, 1e-12);
    EXPECT_NE(m->getFinalLimiter(), m->getLimiter(0));
    EXPECT_NE(m->getFinalLimiter(), m->getLimiter(1));

    // Band offsets, then one level for all bands.
    EXPECT_NEAR(m->getAmplifier(0)->getLevel(0.0), -20.0, 1e-12);
    EXPECT_NEAR(m->getAmplifier(1)->getLevel(0.0), -23.0, 1e-12);
    EXPECT_NEAR(m->getAmplifier(2)->getLevel(0.0), -18.0, 1e-12);
    EXPECT_NEAR(m->getLevel(0.0), -20.0, 1e-12);
    m->setLevel(-16.0);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(m->getAmplifier(i)->getLevel(0.0), -16.0, 1e-12) << i;

    m->SetDebugFile("trace.wav");
    EXPECT_EQ(m->getLimiter(0)->getDebugFile(), "trace.wav.channel_0");
    EXPECT_EQ(m->getLimiter(1)->getDebugFile(), "trace.wav.channel_1");
    EXPECT_EQ(m->getFinalLimiter()->getDebugFile(), "");
    m->SetDebugFile("");
    m->release();

    auto* empty = new SoundAlgoFilterMultibandAmplifier({}, -20.0, 0.01, 0.1, 2.0, nullptr, false, 0, 3.0, {});
    EXPECT_EQ(empty->getBranchNumber(), 0u);
    EXPECT_EQ(empty->getOutputNumber(), 0u);
    EXPECT_EQ(empty->getAmplifierNumber(), 0u);
    EXPECT_EQ(empty->getLevel(1.0), 0.0);
    empty->release();
}

// Level 0 dB and nothing loud enough to limit: the bands add back to the
// input (times the final limiter's -0.3 dB), every frame delivered once, at
// block sizes below and above the look-ahead, with first-order and biquad
// crossovers. setLevel reaches every band: -6 dB scales the whole output.
TEST_F(MultibandAmplifier, UnityLevelReproducesTheInput)
{
    const Frames input = musicLike(30000, 0.45);
    const double fin = lin(-0.3);
    for (bool biquad : {false, true}) {
        for (unsigned int block : {200u, 4851u, 65536u}) {
            SCOPED_TRACE(std::string(biquad ? "biquad" : "first order") + ", block " + std::to_string(block));
            auto* m = threeBands(0.0, biquad);
            const Frames out = runStream(*m, input, block);
            ASSERT_EQ(out.size(), input.size());
            for (size_t i = 0; i < input.size(); ++i) {
                ASSERT_NEAR(out[i].left, fin * input[i].left, 1e-12) << i;
                ASSERT_NEAR(out[i].right, fin * input[i].right, 1e-12) << i;
            }
            m->setLevel(-6.0);
            const Frames quieter = runStream(*m, input, block);
            ASSERT_EQ(quieter.size(), input.size());
            for (size_t i = 0; i < input.size(); ++i)
                ASSERT_NEAR(quieter[i].left, lin(-6.0) * fin * input[i].left, 1e-12) << i;
            m->release();
        }
    }
}

// One band raised: a low tone in band 0 comes out 6 dB up, a high tone in
// band 2 unchanged (away from the crossovers).
TEST_F(MultibandAmplifier, BandLevelsActOnTheirBand)
{
    const unsigned int n = 44100;
    const Frames low = sine(n, 40.0, 0.2);
    const Frames high = sine(n, 12000.0, 0.2);
    auto* m = threeBands(0.0, true, {6.0, 0.0, 0.0});
    const double fin = lin(-0.3);
    const Frames outLow = runStream(*m, low, 65536);
    const Frames outHigh = runStream(*m, high, 65536);
    ASSERT_EQ(outLow.size(), n);
    ASSERT_EQ(outHigh.size(), n);
    EXPECT_NEAR(peakOf(outLow, n / 2) / (0.2 * fin), lin(6.0), 0.1);
    EXPECT_NEAR(peakOf(outHigh, n / 2) / (0.2 * fin), 1.0, 0.05);
    m->release();
}

// Loud material boosted in every band never leaves the final limiter above
// its last-resort threshold.
TEST_F(MultibandAmplifier, LoudMaterialIsLimited)
{
    const Frames input = musicLike(44100, 0.9);
    for (unsigned int block : {300u, 65536u}) {
        auto* m = threeBands(9.0, false);
        const Frames out = runStream(*m, input, block);
        ASSERT_EQ(out.size(), input.size());
        EXPECT_LE(peakOf(out), SoundAlgoLimiter::kLastResort);
        EXPECT_GT(peakOf(out), 0.9);
        m->release();
    }
}
