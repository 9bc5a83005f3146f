#include "NodeHarness.h"
#include "TestSignals.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoAddSqr.h"
#include "SoundAlgoScale.h"
#include "SoundAlgoSub.h"

#include <gtest/gtest.h>

#include <cmath>

using SoundTools::StereoFrame;

namespace {

Frames constant(double l, double r, size_t n)
{
    return Frames(n, StereoFrame<double>{l, r});
}

} // namespace

TEST(SoundAlgoAdd, PlainSumOfTwoInputs)
{
    Exposed<SoundAlgoAdd> add;
    EXPECT_EQ(add.getInputNumber(), 2u);
    EXPECT_EQ(add.getOutputNumber(), 1u);
    const Frames a = testsignals::noiseFrames(100, 1);
    const Frames b = testsignals::noiseFrames(100, 2);
    auto out = runOneBlock(add, {a, b}, {0, 0});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), 100u);
    for (size_t k = 0; k < 100; ++k) {
        EXPECT_EQ(out[0][k].left, a[k].left + b[k].left);
        EXPECT_EQ(out[0][k].right, a[k].right + b[k].right);
    }
}

// The general path runs on several threads for large blocks: it must give
// the same frames as the sequential formula, outputs copied unweighted.
TEST(SoundAlgoAdd, WeightedSumWithCopies)
{
    const double w[3] = {0.5, -2.0, 3.0};
    for (size_t n : {size_t(7), size_t(40000)}) {
        Exposed<SoundAlgoAdd> add(3, false, w);
        EXPECT_EQ(add.getOutputNumber(), 3u);
        const Frames in0 = testsignals::noiseFrames(static_cast<unsigned int>(n), 3);
        const Frames in1 = testsignals::noiseFrames(static_cast<unsigned int>(n), 4);
        const Frames in2 = testsignals::noiseFrames(static_cast<unsigned int>(n), 5);
        auto out = runOneBlock(add, {in0, in1, in2}, {10, 10, 10});
        ASSERT_EQ(out.size(), 3u);
        ASSERT_EQ(out[0].size(), n);
        for (size_t k = 0; k < n; ++k) {
            const double l = 0.5 * in0[k].left + -2.0 * in1[k].left + 3.0 * in2[k].left;
            const double r = 0.5 * in0[k].right + -2.0 * in1[k].right + 3.0 * in2[k].right;
            ASSERT_NEAR(out[0][k].left, l, 1e-15) << k;
            ASSERT_NEAR(out[0][k].right, r, 1e-15) << k;
            ASSERT_EQ(out[1][k].left, in1[k].left);
            ASSERT_EQ(out[2][k].right, in2[k].right);
        }
    }
}

// Inputs that start at different stream positions are read from the latest
// of their origins, frame for frame at the same absolute index.
TEST(SoundAlgoAdd, InputsAreAlignedOnTheLatestOrigin)
{
    Exposed<SoundAlgoAdd> add;
    Frames a(20), b(15);
    for (int i = 0; i < 20; ++i)
        a[i] = testsignals::ramp(100 + i);
    for (int i = 0; i < 15; ++i)
        b[i] = testsignals::ramp(105 + i);
    auto out = runOneBlock(add, {a, b}, {100, 105});
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].size(), 15u);
    for (int k = 0; k < 15; ++k)
        EXPECT_EQ(out[0][k].left, 2 * testsignals::ramp(105 + k).left);
}

TEST(SoundAlgoAddSqr, EnergySum)
{
    Exposed<SoundAlgoAddSqr> sqr;
    auto out = runOneBlock(sqr, {constant(3, -3, 4), constant(4, -4, 4)}, {0, 0});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_DOUBLE_EQ(out[0][2].left, 5.0);
    EXPECT_DOUBLE_EQ(out[0][2].right, 5.0);

    const double w[2] = {2.0, 0.5};
    Exposed<SoundAlgoAddSqr> weighted(2, false, w);
    out = runOneBlock(weighted, {constant(1, 0, 3), constant(-4, 2, 3)}, {0, 0});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_DOUBLE_EQ(out[0][0].left, std::sqrt(4.0 + 4.0));
    EXPECT_DOUBLE_EQ(out[0][0].right, 1.0);
    EXPECT_EQ(out[1][0].left, -4.0);
}

TEST(SoundAlgoSub, Differences)
{
    Exposed<SoundAlgoSub> two;
    auto out = runOneBlock(two, {constant(5, 1, 3), constant(2, 4, 3)}, {0, 0});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][1].left, 3.0);
    EXPECT_EQ(out[0][1].right, -3.0);

    Exposed<SoundAlgoSub> three(3, true);
    out = runOneBlock(three, {constant(10, 0, 3), constant(2, 1, 3), constant(3, 1, 3)}, {0, 0, 0});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0].left, 5.0);
    EXPECT_EQ(out[0][0].right, -2.0);

    Exposed<SoundAlgoSub> copies(3, false);
    out = runOneBlock(copies, {constant(10, 0, 3), constant(2, 1, 3), constant(3, 1, 3)}, {0, 0, 0});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0][0].left, 5.0);
    EXPECT_EQ(out[2][0].left, 3.0);
}

TEST(SoundAlgoScale, GainInDb)
{
    const Frames in = testsignals::noiseFrames(50, 9);
    Exposed<SoundAlgoScale> half(-6.0206);
    auto out = runOneBlock(half, {in}, {0});
    ASSERT_EQ(out.size(), 1u);
    for (size_t k = 0; k < in.size(); ++k)
        EXPECT_NEAR(out[0][k].left, 0.5 * in[k].left, 1e-5);

    Exposed<SoundAlgoScale> unity(0.0);
    out = runOneBlock(unity, {in}, {0});
    for (size_t k = 0; k < in.size(); ++k)
        EXPECT_EQ(out[0][k].right, in[k].right);

    Exposed<SoundAlgoScale> plus20(20.0);
    out = runOneBlock(plus20, {in}, {0});
    EXPECT_NEAR(out[0][3].left, 10.0 * in[3].left, 1e-12);
}
