#include "FilterTestUtil.h"
#include "TestSignals.h"

#include "BiquadClipFilter.h"
#include "BiquadEqBuilder.h"
#include "SoundFilter.h"
#include "WeightingFilterBuilder.h"
#include "detail/DirectFormKernel.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <algorithm>
#include <memory>
#include <valarray>

using SoundTools::StereoFrame;
using namespace filtertest;

namespace {

using VA = std::valarray<double>;

// A 1 kHz peaking band at 44.1 kHz, +6 dB, one octave.
const double kPeakB[3] = {1.0121575318298315, -1.9214218047592916, 0.9143013413633463};
const double kPeakA[3] = {1.0, -1.9214218047592916, 0.9264588731931778};

std::shared_ptr<SoundTools::Filter> peaking1k()
{
    return std::make_shared<SoundTools::BiquadFilter>(kPeakB, kPeakA);
}

std::vector<double> vec(const VA& v)
{
    return toVector(v);
}

// Runs a kernel over `in` in blocks of the given sizes (cycled).
Frames runInBlocks(SoundTools::Filter& f, const Frames& in, const std::vector<unsigned int>& sizes)
{
    Frames out(in.size());
    Frames src(in);
    size_t pos = 0, s = 0;
    while (pos < in.size()) {
        const unsigned int n = static_cast<unsigned int>(std::min<size_t>(sizes[s++ % sizes.size()], in.size() - pos));
        f.filter(src.data() + pos, out.data() + pos, n);
        pos += n;
    }
    return out;
}

struct KernelCase {
    const char* name;
    std::shared_ptr<SoundTools::Filter> filter;
};

// Three well-conditioned sections multiplied into one sixth-order filter.
std::shared_ptr<SoundTools::Filter> sixthOrder()
{
    const VA b1{1.0121575318298315, -1.9214218047592916, 0.9143013413633463};
    const VA a1{1.0, -1.9214218047592916, 0.9264588731931778};
    const VA b2{0.2, 0.4, 0.2};
    const VA a2{1.0, -0.6, 0.3};
    const VA b3{0.8, -1.0, 0.5};
    const VA a3{1.0, 0.2, 0.1};
    auto mul = [](const VA& p, const VA& q) {
        VA r(0.0, p.size() + q.size() - 1);
        for (size_t i = 0; i < p.size(); ++i)
            for (size_t j = 0; j < q.size(); ++j)
                r[i + j] += p[i] * q[j];
        return r;
    };
    return std::make_shared<SoundTools::Order6Filter>(mul(mul(b1, b2), b3), mul(mul(a1, a2), a3));
}

// One of each kernel class, with coefficients of real filters, a0 != 1
// where the class allows it.
std::vector<KernelCase> everyKernel()
{
    const double o1b[2] = {0.3, -0.3};
    const double o1a[2] = {1.3, 0.7}; // first-order high pass, not normalised
    const double bqb[3] = {2.0 * kPeakB[0], 2.0 * kPeakB[1], 2.0 * kPeakB[2]};
    const double bqa[3] = {2.0, 2.0 * kPeakA[1], 2.0 * kPeakA[2]};
    return {
        {"Filter5", std::make_shared<SoundTools::Filter>(VA{0.2, 0.3, -0.1, 0.05, 0.01}, VA{1.5, -0.6, 0.2, -0.05, 0.01})},
        {"Biquad", peaking1k()},
        {"BiquadA0", std::make_shared<SoundTools::BiquadFilter>(bqb, bqa)},
        {"Order1", std::make_shared<SoundTools::Order1Filter>(o1b, o1a)},
        {"Order6", sixthOrder()},
    };
}

} // namespace

TEST(FilterKernel, ShortArrayIsPaddedWithZeros)
{
    SoundTools::Filter f(VA{1, 1}, VA{1, 0.5, 0.25});
    EXPECT_EQ(f.getCoefNb(), 3u);
    EXPECT_EQ(vec(f.getB()), (std::vector<double>{1, 1, 0}));
    EXPECT_EQ(vec(f.getA()), (std::vector<double>{1, 0.5, 0.25}));
    EXPECT_EQ(f.getGain(), 1.0);

    // Impulse: y0 = 1, y1 = 1 - 0.5, y2 = -0.5 * 0.5 - 0.25 * 1, ...
    Frames in(6, StereoFrame<double>{0, 0});
    in[0] = {1.0, -2.0};
    Frames out(6);
    f.filter(in.data(), out.data(), 6);
    const double yl[6] = {1.0, 0.5, -0.5, 0.125, 0.0625, -0.0625};
    for (int i = 0; i < 6; ++i) {
        EXPECT_DOUBLE_EQ(out[i].left, yl[i]) << i;
        EXPECT_DOUBLE_EQ(out[i].right, -2.0 * yl[i]) << i;
    }
}

TEST(FilterKernel, LengthOneAndNoCoefficients)
{
    SoundTools::Filter scale(VA{3.0}, VA{2.0});
    scale.setGain(0.5);
    Frames in{{1.0, -4.0}, {2.0, 8.0}};
    Frames out(2);
    scale.filter(in.data(), out.data(), 2);
    EXPECT_EQ(out[1].left, 1.5);
    EXPECT_EQ(out[1].right, 6.0);

    // No coefficients at all: a silent kernel, not a read past the arrays.
    SoundTools::Filter empty{VA{}, VA{}};
    EXPECT_EQ(empty.getCoefNb(), 1u);
    empty.filter(in.data(), out.data(), 2);
    EXPECT_EQ(out[0].left, 0.0);
    EXPECT_EQ(out[1].right, 0.0);
}

TEST(FilterKernel, FeedForwardBiquadImpulseResponseTimesGain)
{
    const double b[3] = {0.5, -0.25, 0.125};
    const double a[3] = {1.0, 0.0, 0.0};
    SoundTools::BiquadFilter f(b, a);
    f.setGain(2.0);
    Frames in(6, StereoFrame<double>{0, 0});
    in[0] = {1.0, 1.0};
    Frames out(6);
    f.filter(in.data(), out.data(), 6);
    const double expected[6] = {1.0, -0.5, 0.25, 0.0, 0.0, 0.0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(out[i].left, expected[i]) << i;
        EXPECT_EQ(out[i].right, expected[i]) << i;
    }
}

// The unrolled kernels sum in another order than the textbook form (and may
// fuse multiply-adds): the results may differ by rounding only. Channels
// carry different signals and must not mix.
TEST(FilterKernel, EveryKernelMatchesTextbookDirectForm)
{
    const Frames in = testsignals::noiseFrames(8192, 11);
    for (const auto& c : everyKernel()) {
        const Frames expected = referenceFilter(vec(c.filter->getB()), vec(c.filter->getA()), in, 0.75);
        c.filter->setGain(0.75);
        Frames out(in.size());
        c.filter->filter(const_cast<StereoFrame<double>*>(in.data()), out.data(), static_cast<unsigned int>(in.size()));
        EXPECT_LT(relativeError(expected, out), 1e-12) << c.name;
        EXPECT_GT(peakOf(out), 0.01) << c.name;
    }
}

// The A-weighting filter has poles close to z = 1: its sixth-order direct
// form is ill-conditioned, and any two summation orders (the textbook one
// included) differ by far more than for a biquad.
TEST(FilterKernel, WeightingKernelMatchesTextbookDirectForm)
{
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    auto k = SoundTools::WeightingFilterBuilder().buildFilter(48000);
    const Frames in = testsignals::noiseFrames(8192, 21);
    const Frames expected = referenceFilter(vec(k->getB()), vec(k->getA()), in);
    Frames out(in.size());
    k->filter(const_cast<StereoFrame<double>*>(in.data()), out.data(), static_cast<unsigned int>(in.size()));
    EXPECT_LT(relativeError(expected, out), 1e-7);
}

// The loop without fused multiply-add (what processors without FMA run),
// instantiated here with the default instruction set.
TEST(FilterKernel, PlainArithmeticLoopMatchesTextbookDirectForm)
{
    const Frames in = testsignals::noiseFrames(4096, 12);
    const Frames expected = referenceFilter({kPeakB[0], kPeakB[1], kPeakB[2]}, {kPeakA[0], kPeakA[1], kPeakA[2]}, in, 2.0);
    Frames out(in.size());
    StereoFrame<double> xh[2] = {}, yh[2] = {};
    vexa::detail::directFormLoop<3>(kPeakB, kPeakA, xh, yh, in.data(), out.data(), 1000, 2.0);
    vexa::detail::directFormLoop<3>(kPeakB, kPeakA, xh, yh, in.data() + 1000, out.data() + 1000, 3096, 2.0);
    EXPECT_LT(relativeError(expected, out), 1e-12);
}

// The history carries over between calls: any split of a block, empty calls
// included, gives exactly the output of one call.
TEST(FilterKernel, BlockSplitGivesSameOutputAsOneCall)
{
    const Frames in = testsignals::noiseFrames(5000, 13);
    auto whole = everyKernel();
    auto split = everyKernel();
    for (size_t k = 0; k < whole.size(); ++k) {
        const Frames one = runInBlocks(*whole[k].filter, in, {5000});
        const Frames many = runInBlocks(*split[k].filter, in, {1, 0, 7, 1023, 2, 0, 300});
        for (size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(one[i].left, many[i].left) << whole[k].name << " frame " << i;
            ASSERT_EQ(one[i].right, many[i].right) << whole[k].name << " frame " << i;
        }
        EXPECT_EQ(whole[k].filter->getOutput().left, split[k].filter->getOutput().left);
    }
}

TEST(FilterKernel, InPlaceEqualsOutOfPlace)
{
    const Frames in = testsignals::noiseFrames(1000, 14);
    auto a = everyKernel();
    auto b = everyKernel();
    for (size_t k = 0; k < a.size(); ++k) {
        Frames src(in), out(in.size()), inplace(in);
        a[k].filter->filter(src.data(), out.data(), 1000);
        b[k].filter->filter(inplace.data(), inplace.data(), 1000);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(out[i].left, inplace[i].left) << a[k].name << " frame " << i;
    }
}

TEST(FilterKernel, EmptyCallWritesNothingAndKeepsHistory)
{
    for (const auto& c : everyKernel()) {
        Frames in = testsignals::noiseFrames(10, 15);
        Frames out(10);
        c.filter->filter(in.data(), out.data(), 10);
        const StereoFrame<double> x = c.filter->getLastInput();
        const StereoFrame<double> y = c.filter->getOutput();
        EXPECT_EQ(x.left, in[9].left) << c.name;
        EXPECT_EQ(y.right * c.filter->getGain(), out[9].right) << c.name;

        StereoFrame<double> sentinel{42.0, 43.0};
        c.filter->filter(&sentinel, &sentinel, 0);
        c.filter->filter(nullptr, nullptr, 0);
        EXPECT_EQ(sentinel.left, 42.0);
        EXPECT_EQ(c.filter->getLastInput().left, x.left) << c.name;
        EXPECT_EQ(c.filter->getOutput().right, y.right) << c.name;
    }
}

// The gain scales what is written from the next frame on, never the history.
TEST(FilterKernel, GainChangeActsOnNextFrameOnly)
{
    const Frames in = testsignals::noiseFrames(200, 16);
    for (const auto& c : everyKernel()) {
        const Frames expected = referenceFilter(vec(c.filter->getB()), vec(c.filter->getA()), in);
        Frames src(in), out(in.size());
        c.filter->filter(src.data(), out.data(), 100);
        c.filter->setGain(3.0);
        EXPECT_EQ(c.filter->getGain(), 3.0);
        c.filter->filter(src.data() + 100, out.data() + 100, 100);
        for (size_t i = 0; i < 200; ++i) {
            const double g = i < 100 ? 1.0 : 3.0;
            ASSERT_NEAR(out[i].left, g * expected[i].left, 1e-12 * (1.0 + std::fabs(out[i].left))) << c.name << " " << i;
        }
    }
}

TEST(FilterKernel, CopyKeepsCoefficientsAndGainButNotHistory)
{
    const Frames in = testsignals::noiseFrames(300, 17);
    SoundTools::BiquadFilter original(kPeakB, kPeakA);
    original.setGain(0.5);
    Frames src(in), out(in.size());
    original.filter(src.data(), out.data(), 300);
    ASSERT_NE(original.getOutput().left, 0.0);

    SoundTools::BiquadFilter copy(original);
    EXPECT_EQ(copy.getGain(), 0.5);
    EXPECT_EQ(copy.getOutput().left, 0.0);
    EXPECT_EQ(copy.getLastInput().right, 0.0);
    Frames again(in.size());
    copy.filter(src.data(), again.data(), 300);
    const Frames fresh = referenceFilter(vec(original.getB()), vec(original.getA()), in, 0.5);
    EXPECT_LT(relativeError(fresh, again), 1e-12);

    // Assigning to itself clears the history.
    SoundTools::Filter& self = copy;
    self = copy;
    EXPECT_EQ(copy.getOutput().left, 0.0);
    EXPECT_EQ(copy.getGain(), 0.5);
}

// A biquad kernel assigned a filter of another length runs that filter.
TEST(FilterKernel, AssignedFromOtherLengthStillFiltersCorrectly)
{
    const Frames in = testsignals::noiseFrames(500, 18);
    for (VA b : {VA{0.5}, VA{0.2, 0.3, -0.1, 0.05, 0.01}}) {
        SoundTools::BiquadFilter bq(kPeakB, kPeakA);
        SoundTools::Filter other(b, VA{1.0, -0.3});
        static_cast<SoundTools::Filter&>(bq) = other;
        EXPECT_EQ(bq.getCoefNb(), other.getCoefNb());
        Frames src(in), out(in.size());
        bq.filter(src.data(), out.data(), 500);
        EXPECT_LT(relativeError(referenceFilter(vec(other.getB()), vec(other.getA()), in), out), 1e-12);
    }
}

TEST(FilterKernel, Order6WithOtherLengths)
{
    const Frames in = testsignals::noiseFrames(500, 19);
    // Fewer than 7 coefficients: padded, same recurrence.
    SoundTools::Order6Filter shortOne(VA{0.5, 0.25}, VA{1.0, -0.5});
    EXPECT_EQ(shortOne.getCoefNb(), 7u);
    // More than 7: every coefficient takes part.
    const VA b9{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1};
    const VA a9{1.0, 0, 0, 0, 0, 0, 0, 0, 0.5};
    SoundTools::Order6Filter longOne(b9, a9);
    for (SoundTools::Filter* f : {static_cast<SoundTools::Filter*>(&shortOne), static_cast<SoundTools::Filter*>(&longOne)}) {
        Frames src(in), out(in.size());
        f->filter(src.data(), out.data(), 500);
        EXPECT_LT(relativeError(referenceFilter(vec(f->getB()), vec(f->getA()), in), out), 1e-12);
    }
}

// ---------------------------------------------------------------------------
// Clip filter

namespace {

std::unique_ptr<SoundTools::BiquadClipFilter> identityClip()
{
    const double b[3] = {1.0, 0.0, 0.0};
    const double a[3] = {1.0, 0.0, 0.0};
    return std::make_unique<SoundTools::BiquadClipFilter>(b, a);
}

} // namespace

TEST(BiquadClipFilter, GainWalksLinearlyOver440000Frames)
{
    auto f = identityClip();
    f->setGain(2.0);
    EXPECT_EQ(f->getGain(), 1.0);
    EXPECT_EQ(f->getRampFramesLeft(), 440000u);

    const unsigned int block = 10000;
    Frames in(block, StereoFrame<double>{0.25, -0.25}), out(block);
    for (unsigned int done = 0; done < 450000; done += block) {
        f->filter(in.data(), out.data(), block);
        for (unsigned int i = 0; i < block; i += 997) {
            const double k = done + i + 1; // the gain steps before each frame
            const double g = k >= 440000 ? 2.0 : 1.0 + k / 440000.0;
            // The gain is stepped by addition: rounding accumulates.
            ASSERT_NEAR(out[i].left, 0.25 * g, 1e-10) << done + i;
            ASSERT_NEAR(out[i].right, -0.25 * g, 1e-10) << done + i;
        }
        if (done + block == 220000) {
            EXPECT_EQ(f->getRampFramesLeft(), 220000u);
        }
    }
    EXPECT_EQ(f->getGain(), 2.0);
    EXPECT_EQ(f->getRampFramesLeft(), 0u);

    // The same value again starts nothing.
    f->setGain(2.0);
    EXPECT_EQ(f->getRampFramesLeft(), 0u);
    // A new value starts from the current gain.
    f->setGain(1.0);
    f->filter(in.data(), out.data(), 1);
    EXPECT_NEAR(f->getGain(), 2.0 - 1.0 / 440000.0, 1e-15);
}

// A frame that would come out at 2.0 on frame 10 of a call: frames 0..10 of
// the call are bent from unchanged down to the new gain, frame 10 comes out
// at 0.8 and the later frames keep the new gain.
TEST(BiquadClipFilter, ClippingFrameBendsTheCallDown)
{
    auto f = identityClip();
    Frames in(20, StereoFrame<double>{0.5, 0.25});
    in[10] = {-2.0, 1.0};
    Frames out(20);
    f->filter(in.data(), out.data(), 20);

    const double target = 0.8 / 2.0;
    const double step = (target - 1.0) / 10.0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(out[i].left, 0.5 * (1.0 + i * step), 1e-15) << i;
        EXPECT_NEAR(out[i].right, 0.25 * (1.0 + i * step), 1e-15) << i;
    }
    EXPECT_EQ(out[0].left, 0.5);
    EXPECT_NEAR(out[10].left, -0.8, 1e-15);
    EXPECT_NEAR(out[10].right, 0.4, 1e-15);
    for (int i = 11; i < 20; ++i)
        EXPECT_NEAR(out[i].left, 0.5 * target, 1e-15) << i;
    EXPECT_NEAR(f->getGain(), target, 1e-15);

    // The history is the recurrence's, untouched by the gain.
    EXPECT_EQ(f->getOutput().left, 0.5);
}

TEST(BiquadClipFilter, LookBackStopsAt2000Frames)
{
    auto f = identityClip();
    Frames in(3001, StereoFrame<double>{0.5, 0.5});
    in[3000] = {4.0, 0.0};
    Frames out(3001);
    f->filter(in.data(), out.data(), 3001);
    EXPECT_EQ(out[999].left, 0.5);
    EXPECT_EQ(out[1000].left, 0.5);
    const double step = (0.2 - 1.0) / 2000.0;
    EXPECT_NEAR(out[2000].left, 0.5 * (1.0 + 1000 * step), 1e-15);
    EXPECT_NEAR(out[3000].left, 0.8, 1e-15);
}

TEST(BiquadClipFilter, ClippingAbandonsRampAndFirstFrameIsNotCorrected)
{
    auto f = identityClip();
    f->setGain(4.0);
    Frames in(5, StereoFrame<double>{0.1, 0.1});
    in[0] = {3.0, 0.0};
    Frames out(5);
    // Frame 0 of the call clips: nothing before it to bend, gain kept, but
    // the running ramp is abandoned.
    f->filter(in.data(), out.data(), 5);
    const double g = 1.0 + 3.0 / 440000.0;
    EXPECT_NEAR(out[0].left, 3.0 * g, 1e-12);
    EXPECT_EQ(f->getRampFramesLeft(), 0u);
    EXPECT_NEAR(out[4].left, 0.1 * g, 1e-12);
    EXPECT_NEAR(f->getGain(), g, 1e-15);
}

TEST(BiquadClipFilter, InvertingGainStaysInverting)
{
    auto f = identityClip();
    f->SoundTools::Filter::setGain(-1.0);
    Frames in(8, StereoFrame<double>{0.5, 0.5});
    in[4] = {2.0, 2.0};
    Frames out(8);
    f->filter(in.data(), out.data(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_LT(out[i].left, 0.0) << i;
    EXPECT_NEAR(out[4].left, -0.8, 1e-15);
    EXPECT_NEAR(f->getGain(), -0.4, 1e-15);
}

TEST(BiquadClipFilter, BuilderSetsGainWithoutRamp)
{
    SoundTools::BiquadEqBuilder eq(SoundTools::BandEq, 1000.0, 1.0, 6.0);
    auto plain = eq.buildFilter(44100);
    auto clip = eq.buildClipFilter(44100, 0.5);
    auto* c = dynamic_cast<SoundTools::BiquadClipFilter*>(clip.get());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->getGain(), 0.5);
    EXPECT_EQ(c->getRampFramesLeft(), 0u);
    EXPECT_EQ(vec(clip->getB()), vec(plain->getB()));
    EXPECT_EQ(vec(clip->getA()), vec(plain->getA()));

    // Below full scale it is the biquad times its gain.
    const Frames in = testsignals::noiseFrames(1000, 20, 0.5);
    Frames a(in), b(in);
    plain->setGain(0.5);
    plain->filter(a.data(), a.data(), 1000);
    clip->filter(b.data(), b.data(), 1000);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(a[i].left, b[i].left) << i;
}

// A cascade run frame by frame equals the sections run one after the other
// (to rounding), for one to twelve sections (two groups from eleven on), over
// cycles of block sizes that end blocks at every offset of the fused loop's
// start and end (where the later sections run behind the first) and split the
// 2048-frame chunks; in place and not; with the last section's gain; and with
// a section rebuilt (zero history) between two calls. The sums run in another
// order, and the 40 Hz sections amplify rounding: 1e-11.
TEST(FilterKernel, FusedCascadeMatchesSectionBySection)
{
    const Frames x = testsignals::noiseFrames(9000, 21, 0.3);
    const std::vector<std::vector<unsigned int>> cycles = {
        {1}, {2, 3}, {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {2047, 2048, 1, 2049, 3}};
    for (unsigned int count = 1; count <= 12; ++count) {
        for (size_t c = 0; c < cycles.size(); ++c) {
            const bool inPlace = c % 2 == 1;
            SCOPED_TRACE(testing::Message() << count << " sections, block cycle " << c);
            std::vector<std::shared_ptr<SoundTools::Filter>> fused, plain;
            for (unsigned int s = 0; s < count; ++s) {
                SoundTools::BiquadEqBuilder band(SoundTools::BandEq, 40.0 * (s + 1) * (s + 1), 1.0, s % 2 ? -4.0 : 5.0);
                fused.push_back(band.buildFilter(44100));
                plain.push_back(band.buildFilter(44100));
            }
            fused.back()->setGain(0.7);
            plain.back()->setGain(0.7);
            std::vector<SoundTools::BiquadFilter*> sections;
            for (auto& f : fused)
                sections.push_back(static_cast<SoundTools::BiquadFilter*>(f.get()));

            Frames got(x.size()), want(x.size());
            bool rebuilt = false;
            for (size_t pos = 0, b = 0, m = 0; pos < x.size(); pos += m, ++b) {
                m = std::min<size_t>(cycles[c][b % cycles[c].size()], x.size() - pos);
                if (pos >= 4000 && !rebuilt) {
                    // Section 0 rebuilt: it starts again from zero history.
                    SoundTools::BiquadEqBuilder band(SoundTools::BandEq, 90, 1.0, 3.0);
                    fused[0] = band.buildFilter(44100);
                    plain[0] = band.buildFilter(44100);
                    sections[0] = static_cast<SoundTools::BiquadFilter*>(fused[0].get());
                    if (count == 1) {
                        fused[0]->setGain(0.7);
                        plain[0]->setGain(0.7);
                    }
                    rebuilt = true;
                }
                const unsigned int n = static_cast<unsigned int>(m);
                Frames in(x.begin() + static_cast<long>(pos), x.begin() + static_cast<long>(pos + m));
                StereoFrame<double>* out = got.data() + pos;
                if (inPlace)
                    std::copy(in.begin(), in.end(), out);
                ASSERT_TRUE(SoundTools::BiquadFilter::filterCascade(sections.data(), count, inPlace ? out : in.data(), out, n));
                for (size_t s = 0; s < plain.size(); ++s)
                    plain[s]->filter(s == 0 ? in.data() : want.data() + pos, want.data() + pos, n);
            }
            EXPECT_LT(relativeError(want, got), 1e-11);
        }
    }
}
