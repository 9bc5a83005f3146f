#include "DefaultSizeTest.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "StreamRun.h"
#include "TestSignals.h"

#include "BiquadEqBuilder.h"
#include "Order1FilterBuilder.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFilter.h"
#include "SoundAlgoFilterBiquad.h"
#include "SoundAlgoFilterSplit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using SoundTools::StereoFrame;
using Frames = std::vector<StereoFrame<double>>;

namespace {

class FilterNodes : public DefaultSizeTest {};

// The reference: kernels built from the same designs, run over the whole
// signal in one call each.
Frames directCascade(const std::vector<std::shared_ptr<SoundTools::FilterBuilder>>& designs, Frames x, double gainDb = 0.0)
{
    std::vector<std::shared_ptr<SoundTools::Filter>> kernels;
    for (const auto& d : designs)
        kernels.push_back(d->buildFilter(44100));
    kernels.back()->setGain(std::pow(10.0, gainDb / 20.0));
    for (auto& k : kernels)
        k->filter(x.data(), x.data(), static_cast<unsigned int>(x.size()));
    return x;
}

std::vector<std::shared_ptr<SoundTools::FilterBuilder>> tenBands()
{
    std::vector<std::shared_ptr<SoundTools::FilterBuilder>> bands;
    const double freqs[10] = {31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
    for (int i = 0; i < 10; ++i)
        bands.push_back(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, freqs[i], 1.0, i % 2 ? 3.0 : -3.0));
    return bands;
}

void expectNear(const Frames& a, const Frames& b, double tol)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_NEAR(a[i].left, b[i].left, tol) << i;
        ASSERT_NEAR(a[i].right, b[i].right, tol) << i;
    }
}

// Fills every band of a multiband tree with a pass-through (optionally with
// look-ahead) and records the band names.
class PassBands : public SoundAlgoComposite::FrequencyAlgoBuilder {
public:
    explicit PassBands(unsigned int lookAhead = 0) : mLookAhead(lookAhead) {}
    void buildAlgo(SoundAlgoComposite* target, int bandIndex, const QString& bandName) override
    {
        names << QStringLiteral("%1 %2").arg(bandIndex).arg(bandName);
        target->pushAlgo(new SoundAlgoBypass(mLookAhead, 0, 0));
    }
    QStringList names;

private:
    unsigned int mLookAhead;
};

} // namespace

TEST_F(FilterNodes, CascadeMatchesTheKernelsAtAnyBlockSize)
{
    const Frames x = testsignals::noiseFrames(20000, 11, 0.5);
    const Frames want = directCascade(tenBands(), x, 4.0);
    for (unsigned int block : {64u, 1000u, 4096u, 65536u}) {
        SCOPED_TRACE(block);
        auto* eq = new SoundAlgoFilter();
        for (auto& b : tenBands())
            eq->pushFilter(b);
        eq->setOutputGain(4.0);
        // The ten stages run fused (with multiply-adds where the processor has
        // them) against section-by-section filtering: equal up to rounding.
        expectNear(runStream(*eq, x, block, 44100, block == 1000u ? 333u : 0u), want, 1e-11);
        // A second run starts from zero history and gives the same output.
        expectNear(runStream(*eq, x, block), want, 1e-11);
        eq->release();
    }
}

TEST_F(FilterNodes, UnityBandCopiesAndOutputGainScalesTheLastKernel)
{
    const Frames x = testsignals::noiseFrames(3000, 5);
    auto* flat = new SoundAlgoFilter(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 1000, 1.0, 0.0));
    expectNear(runStream(*flat, x, 512), x, 1e-12);
    flat->setOutputGain(6.0);
    const Frames louder = runStream(*flat, x, 512);
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(louder[i].left, x[i].left * std::pow(10.0, 0.3), 1e-12);
    flat->release();

    auto* none = new SoundAlgoFilter();
    MemoryReader reader(x, 44100);
    reader.open(QString());
    reader.rewind();
    EXPECT_EQ(none->processAll(reader, nullptr), SoundTools::StatusError);
    none->release();
}

// The two outputs of a split add up to the input, frame by frame.
TEST_F(FilterNodes, SplitOutputsAddUpToTheInput)
{
    const Frames x = testsignals::noiseFrames(5000, 8);
    for (bool biquad : {false, true}) {
        std::shared_ptr<SoundTools::FilterBuilder> low;
        if (biquad)
            low = std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::LowPass, 800, 1.0, 0.0);
        else
            low = std::make_shared<SoundTools::Order1FilterBuilder>(SoundTools::LowPass, 800);
        auto* top = new SoundAlgoComposite();
        top->pushAlgo(new SoundAlgoFilterSplit(low));
        top->pushAlgo(new SoundAlgoAdd());
        const Frames sum = runStream(*top, x, 700);
        expectNear(sum, x, 1e-14);
        top->release();

        // Output 0 alone is the low-pass signal.
        auto* lowOnly = new SoundAlgoComposite();
        lowOnly->pushAlgo(new SoundAlgoFilterSplit(low));
        const double w[2] = {1.0, 0.0};
        lowOnly->pushAlgo(new SoundAlgoAdd(2, true, w));
        expectNear(runStream(*lowOnly, x, 700), directCascade({low}, x), 1e-12);
        lowOnly->release();
    }
}

TEST_F(FilterNodes, RetuningBands)
{
    SoundBuffer::setDefaultSize(1000);
    const Frames x = testsignals::noiseFrames(2000, 21);
    Frames first(x.begin(), x.begin() + 1000), second(x.begin() + 1000, x.end());

    // An index without a band changes nothing.
    auto* eq = new SoundAlgoFilterBiquad(SoundTools::BandEq, 300, 1.0, 4.0);
    eq->pushFilter(SoundTools::BandEq, 3000, 1.0, -4.0);
    eq->SetLevel(5, 3.0);
    const Frames plain = runStream(*eq, x, 1000);
    auto bandA = std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 300, 1.0, 4.0);
    auto bandB = std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 3000, 1.0, -4.0);
    expectNear(plain, directCascade({bandA, bandB}, x), 1e-12);

    // Retuned between two blocks: band 0 restarts from zero history at its
    // new frequency, band 1 keeps its history.
    MemoryReader reader(x, 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(eq->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    ASSERT_EQ(eq->singleProcessLoop(reader, ctx, &writer), SoundTools::StatusOk);
    eq->SetFreq(0, 600);
    while (eq->singleProcessLoop(reader, ctx, &writer) == SoundTools::StatusOk) {
    }
    eq->endProcessLoop(ctx);

    auto k0 = bandA->buildFilter(44100);
    auto k1 = bandB->buildFilter(44100);
    k0->filter(first.data(), first.data(), 1000);
    k1->filter(first.data(), first.data(), 1000);
    auto retuned = std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, 600, 1.0, 4.0)->buildFilter(44100);
    retuned->filter(second.data(), second.data(), 1000);
    k1->filter(second.data(), second.data(), 1000);
    Frames want(first);
    want.insert(want.end(), second.begin(), second.end());
    ASSERT_EQ(writer.frameCount(), 2000u);
    for (size_t i = 0; i < 2000; ++i)
        ASSERT_NEAR(writer.samples[2 * i], want[i].left, 1e-12) << i;
    eq->release();
}

// Band names, and a tree of pass-through bands summed back to the input,
// with and without look-ahead inside the bands.
TEST_F(FilterNodes, MultibandTreeOfPassThroughBands)
{
    const Frames x = testsignals::noiseFrames(30000, 4);
    for (unsigned int lookAhead : {0u, 7u}) {
        for (bool biquad : {false, true}) {
            SCOPED_TRACE(QStringLiteral("look-ahead %1 biquad %2").arg(lookAhead).arg(biquad).toStdString());
            auto* tree = new SoundAlgoComposite(QStringLiteral("tree"));
            PassBands bands(lookAhead);
            tree->buildMultibandTree({200, 2000}, bands, biquad);
            EXPECT_EQ(bands.names, QStringList({"0 [0-200]", "1 [200-2000]", "2 [2000-22050]"}));
            for (unsigned int block : {500u, 4096u}) {
                const Frames out = runStream(*tree, x, block, 44100, block == 500u ? 77u : 0u);
                expectNear(out, x, 1e-12);
            }
            tree->release();
        }
    }
}

namespace {

struct DumpTree : SoundAlgoComposite {
    using SoundAlgoComposite::SoundAlgoComposite;
    using SoundAlgoComposite::debugBuffers;
};

} // namespace

TEST_F(FilterNodes, CompositeDebugDump)
{
    SoundBuffer::setDefaultSize(64);
    auto* tree = new DumpTree(QStringLiteral("t"));
    PassBands bands;
    tree->buildMultibandTree({1000}, bands, false);
    MemoryReader reader(testsignals::noiseFrames(100, 1), 44100);
    reader.open(QString());
    reader.rewind();
    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(tree->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    ASSERT_EQ(tree->singleProcessLoop(reader, ctx, nullptr), SoundTools::StatusOk);
    std::ostringstream os;
    SoundDebuggableClass::setOStream(&os);
    tree->debugBuffers();
    SoundDebuggableClass::setOStream(nullptr);
    const QString name = tree->getName();
    tree->endProcessLoop(ctx);
    tree->release();
    ASSERT_TRUE(name.endsWith(QStringLiteral("DumpTree(t)")));

    const QStringList lines = QString::fromStdString(os.str()).split('\n');
    const QString rule(46, '=');
    EXPECT_EQ(lines.value(0), QStringLiteral("================================="));
    EXPECT_EQ(lines.value(1), name + QStringLiteral(" :"));
    const int branch = lines.indexOf(QStringLiteral("Branch 0 ") + name);
    ASSERT_GT(branch, 0);
    EXPECT_EQ(lines.value(branch - 1), rule);
    EXPECT_TRUE(lines.contains(QStringLiteral("End Branch 0 ") + name));
    // The nested band pair is dumped inside the branch, with its own branches.
    EXPECT_TRUE(lines.contains(QStringLiteral("Branch 1 SoundAlgoComposite([0-1000])")));
    EXPECT_TRUE(lines.contains(QStringLiteral("SoundAlgoFilterSplit :")));
}
