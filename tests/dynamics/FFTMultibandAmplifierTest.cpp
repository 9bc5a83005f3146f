#include "DynamicsTestUtil.h"

#include "SoundAlgoFFTMultibandAmplifier.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dyntest;

namespace {

class FFTMultibandAmplifier : public BlockSizeFixture {};

} // namespace

// Level 0 dB: bands split and summed with no amplifier or limiter, so the
// level interface has nothing to reach; otherwise one amplifier and one
// limiter per band, with trace files named after the band index.
TEST_F(FFTMultibandAmplifier, NodesPerBand)
{
    auto* flat = new SoundAlgoFFTMultibandAmplifier({200.0, 2000.0}, 0.0, 0.01, 0.1, nullptr, 4096, true);
    EXPECT_EQ(flat->getAmplifierNumber(), 0u);
    EXPECT_EQ(flat->getLimiterNumber(), 0u);
    flat->setLevel(-10.0);
    EXPECT_EQ(flat->getLevel(1.0), 0.0);
    EXPECT_EQ(flat->getInputNumber(), 1u);
    EXPECT_EQ(flat->getOutputNumber(), 1u);
    flat->release();

    auto* m = new SoundAlgoFFTMultibandAmplifier({200.0, 2000.0}, -6.0, 0.01, 0.1, nullptr, 4096, false);
    ASSERT_EQ(m->getAmplifierNumber(), 3u);
    ASSERT_EQ(m->getLimiterNumber(), 3u);
    EXPECT_EQ(m->getOutputNumber(), 3u) << "bands side by side";
    EXPECT_NEAR(m->getLevel(0.0), -6.0, 1e-12);
    m->SetDebugFile("x");
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(m->getLimiter(i)->getDebugFile(), "x.channel_" + std::to_string(i));
    m->SetDebugFile("");
    m->release();

    auto* empty = new SoundAlgoFFTMultibandAmplifier({}, -6.0, 0.01, 0.1, nullptr, 4096, true);
    EXPECT_EQ(empty->getBranchNumber(), 0u);
    EXPECT_EQ(empty->getAmplifierNumber(), 0u);
    empty->release();
}

// Summed bands deliver every frame (plus the declared delay) at several
// block sizes; a tone inside a band keeps its amplitude at level 0 dB and is
// scaled by the level otherwise.
TEST_F(FFTMultibandAmplifier, BandsAddBackAndFollowTheLevel)
{
    const unsigned int n = 3 * 44100;
    const Frames input = sine(n, 1000.0, 0.1);
    for (double levelDb : {0.0, -6.0}) {
        for (unsigned int block : {1000u, 65536u}) {
            SCOPED_TRACE(std::to_string(levelDb) + " dB, block " + std::to_string(block));
            auto* m = new SoundAlgoFFTMultibandAmplifier({200.0, 2000.0}, levelDb, 0.01, 0.1, nullptr, 4096, true);
            const Frames out = runStream(*m, input, block);
            EXPECT_EQ(out.size(), input.size() + m->getDelay(44100));
            const double want = 0.1 * std::pow(10.0, levelDb / 20.0);
            EXPECT_NEAR(peakOf(out, n / 3, 2 * n / 3) / want, 1.0, 0.06);
            m->release();
        }
    }
}
