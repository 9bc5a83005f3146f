#include "DefaultSizeTest.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "ShiftNode.h"
#include "TestSignals.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>

using SoundTools::StereoFrame;
using vexatest::ShiftNode;

namespace vexatest {

// Exposes the protected parts of the composite the tests look at.
class OpenComposite : public SoundAlgoComposite {
public:
    using SoundAlgoComposite::SoundAlgoComposite;
    using SoundAlgoComposite::getPreferredBufferSize;
    using SoundAlgoComposite::setReadOnly;
};

// A pass-through node with fixed answers that counts its instances.
class Probe : public SoundAlgoBypass {
public:
    Probe(unsigned int preferred = 0, unsigned int delay = 0) : SoundAlgoBypass(0, delay, 0), mPreferred(preferred) { ++alive; }
    ~Probe() override { --alive; }
    static int alive;

protected:
    unsigned int getPreferredBufferSize(unsigned int sr) const override
    {
        return mPreferred ? mPreferred : SoundAlgoBypass::getPreferredBufferSize(sr);
    }

private:
    unsigned int mPreferred;
};
int Probe::alive = 0;

} // namespace vexatest

using vexatest::OpenComposite;
using vexatest::Probe;

namespace {

class Composite : public DefaultSizeTest {};

} // namespace

TEST_F(Composite, EmptyCompositeCannotHeadARun)
{
    auto* c = new SoundAlgoComposite();
    EXPECT_EQ(c->getInputNumber(), 0u);
    EXPECT_EQ(c->getOutputNumber(), 0u);
    MemoryReader reader(testsignals::rampFrames(10), 1000);
    reader.open(QString());
    reader.rewind();
    EXPECT_EQ(c->processAll(reader, nullptr), SoundTools::StatusError);
    c->release();
}

TEST_F(Composite, OneBranchAnswersAsItsChain)
{
    auto* c = new SoundAlgoComposite();
    c->pushAlgo(new SoundAlgoBypass(3, 10, 0));
    c->pushAlgo(new SoundAlgoBypass(5, 7, 2));
    EXPECT_EQ(c->getDelay(1000), 17u);
    EXPECT_EQ(c->getInOverlap(1000), 3u);
    EXPECT_EQ(c->getOutOverlap(1000), 2u);
    // The second node's look-ahead must be fed at the end of the stream.
    EXPECT_EQ(c->getSampleShift(1000), 5u);
    c->release();
}

TEST_F(Composite, BranchesAreAlignedOnce)
{
    SoundBuffer::setDefaultSize(64);
    auto* c = new SoundAlgoComposite();
    c->pushAlgo(new SoundAlgoBypass());
    c->addNewBranch();
    c->pushAlgo(new SoundAlgoBypass(0, 100, 0));
    auto* top = new SoundAlgoComposite();
    top->pushAlgo(c);
    top->pushAlgo(new SoundAlgoAdd());

    MemoryReader reader(testsignals::rampFrames(500), 1000);
    reader.open(QString());
    reader.rewind();
    MemoryWriter w(1000);
    ASSERT_EQ(top->processAll(reader, &w), SoundTools::StatusOk);
    ASSERT_EQ(c->getBranch(0).size(), 2u);
    SoundAlgo* pad = c->getBranch(0).back();
    EXPECT_EQ(pad->getName(), QStringLiteral("SoundAlgoBypass(Out SoundAlgoComposite [0])"));
    EXPECT_EQ(pad->getDelay(1000), 100u);
    ASSERT_EQ(c->getBranch(1).size(), 1u);

    // Both branches now carry the stream 100 frames late: the sum is twice it.
    ASSERT_EQ(w.frameCount(), 600u);
    EXPECT_EQ(w.samples[2 * 99], 0.0);
    EXPECT_EQ(w.samples[2 * 100], 2 * testsignals::ramp(0).left);
    EXPECT_EQ(w.samples[2 * 599], 2 * testsignals::ramp(499).left);

    reader.rewind();
    MemoryWriter again(1000);
    ASSERT_EQ(top->processAll(reader, &again), SoundTools::StatusOk);
    EXPECT_EQ(c->getBranch(0).size(), 2u);
    EXPECT_EQ(c->getBranch(1).size(), 1u);
    EXPECT_EQ(again.samples, w.samples);
    top->release();
}

TEST_F(Composite, PreferredSizeDoubles)
{
    SoundBuffer::setDefaultSize(65536);
    auto* c = new OpenComposite();
    c->pushAlgo(new Probe(3000));
    c->addNewBranch();
    c->pushAlgo(new Probe(70000));
    EXPECT_EQ(c->getPreferredBufferSize(44100), 131072u);
    c->release();
}

TEST_F(Composite, OwnsItsNodes)
{
    Probe::alive = 0;
    auto* c = new OpenComposite();
    auto* kept = new Probe();
    kept->addRef();
    c->pushAlgo(kept);
    c->pushAlgo(new Probe());
    std::vector<SoundAlgo*> branch{new Probe(), new Probe()};
    c->pushBranch(branch);
    EXPECT_EQ(Probe::alive, 4);
    c->setReadOnly();
    auto* refused = new Probe();
    c->pushAlgo(refused);
    c->addNewBranch();
    EXPECT_EQ(c->getBranchNumber(), 2u);
    EXPECT_EQ(c->getBranch(0).size(), 2u);
    c->release();
    EXPECT_EQ(Probe::alive, 2); // the extra reference and the refused node
    EXPECT_EQ(kept->getRefCount(), 1);
    kept->release();
    refused->release();
    EXPECT_EQ(Probe::alive, 0);
}

namespace vexatest {

// One input, two outputs: the input and its negation.
class Duplicate : public SoundAlgo {
public:
    unsigned int getOutputNumber() const override { return 2; }
    SoundTools::Status process() override
    {
        const unsigned int n = getOutFrameNb();
        for (unsigned int k = 0; k < n; ++k) {
            const StereoFrame<double> x = *mInBuffers[0]->getStereoFrame(getInOrigin() + static_cast<int>(k));
            *mOutBuffers[0]->getStereoFrame(getOutOrigin() + static_cast<int>(k)) = x;
            *mOutBuffers[1]->getStereoFrame(getOutOrigin() + static_cast<int>(k)) = {-x.left, -x.right};
        }
        return SoundTools::StatusOk;
    }
};

} // namespace vexatest

// The two outputs of a node feed a composite of separate inputs: branch 0
// reads output 0 and delays it, branch 1 reads output 1 and is padded to the
// same delay.
TEST_F(Composite, SeparateInputsTakeOnePortEach)
{
    SoundBuffer::setDefaultSize(32);
    auto* split = new SoundAlgoComposite(QStringLiteral("split"), false);
    split->pushAlgo(new SoundAlgoBypass(0, 10, 0));
    split->addNewBranch();
    split->pushAlgo(new SoundAlgoBypass(2, 0, 0));
    EXPECT_EQ(split->getInputNumber(), 2u);
    auto* top = new SoundAlgoComposite();
    top->pushAlgo(new vexatest::Duplicate());
    top->pushAlgo(split);
    const double w[2] = {1.0, 10.0};
    top->pushAlgo(new SoundAlgoAdd(2, true, w));

    MemoryReader reader(testsignals::rampFrames(200), 1000);
    reader.open(QString());
    reader.rewind();
    MemoryWriter out(1000);
    ASSERT_EQ(top->processAll(reader, &out), SoundTools::StatusOk);
    ASSERT_EQ(out.frameCount(), 210u);
    for (int p = 0; p < 210; ++p) {
        const double x = p < 10 ? 0.0 : testsignals::ramp(p - 10).left;
        ASSERT_EQ(out.samples[2 * static_cast<size_t>(p)], -9.0 * x) << p;
    }
    top->release();
}

namespace {

// A random graph of ShiftNodes: `branches` chains side by side on the shared
// input, summed with distinct weights. Every node moves its input later by
// its delay; each checks the frames it receives.
struct GraphCase {
    struct Node {
        unsigned int i, d, o, s;
    };
    std::vector<std::vector<Node>> branches;
    unsigned int defaultSize = 8;
    unsigned int total = 0;
    unsigned int offset = 0;
    unsigned int maxChunk = 0;

    std::string describe() const
    {
        std::ostringstream os;
        os << "size=" << defaultSize << " total=" << total << " offset=" << offset << " chunk=" << maxChunk;
        for (const auto& b : branches) {
            os << " [";
            for (const auto& n : b)
                os << " (" << n.i << "," << n.d << "," << n.o << "," << n.s << ")";
            os << " ]";
        }
        return os.str();
    }
};

StereoFrame<double> streamAt(int64_t q, unsigned int begin, unsigned int total)
{
    if (q < static_cast<int64_t>(begin) || q >= static_cast<int64_t>(total))
        return {0.0, 0.0};
    return testsignals::ramp(q);
}

void runGraph(const GraphCase& g)
{
    SCOPED_TRACE(g.describe());
    SoundBuffer::setDefaultSize(g.defaultSize);
    const unsigned int begin = g.offset;
    const unsigned int total = g.total;
    std::vector<ShiftNode*> nodes;

    auto* top = new SoundAlgoComposite(QStringLiteral("top"));
    std::vector<double> weights;
    unsigned int graphDelay = 0;
    auto makeBranch = [&](SoundAlgoComposite* target, const std::vector<GraphCase::Node>& chain) {
        unsigned int before = 0;
        for (const auto& n : chain) {
            auto* node = new ShiftNode(n.i, n.d, n.o, n.s, [before, begin, total](int64_t q) {
                return streamAt(q - static_cast<int64_t>(before), begin, total);
            });
            nodes.push_back(node);
            target->pushAlgo(node);
            before += n.d;
        }
        graphDelay = std::max(graphDelay, before);
    };
    if (g.branches.size() == 1) {
        makeBranch(top, g.branches[0]);
        weights.push_back(1.0);
    } else {
        auto* inner = new SoundAlgoComposite(QStringLiteral("inner"));
        for (size_t b = 0; b < g.branches.size(); ++b) {
            if (b > 0)
                inner->addNewBranch();
            makeBranch(inner, g.branches[b]);
            weights.push_back(std::pow(10.0, static_cast<double>(b)));
        }
        top->pushAlgo(inner);
        top->pushAlgo(new SoundAlgoAdd(static_cast<int>(g.branches.size()), true, weights.data()));
    }
    double weightSum = 0;
    for (double w : weights)
        weightSum += w;

    MemoryReader reader([](unsigned int i) { return testsignals::ramp(i); }, total, 1000);
    reader.setMaxChunk(g.maxChunk);
    reader.open(QString());
    reader.setStartPoint(g.offset / 1000.0);
    reader.rewind();
    MemoryWriter writer(1000);
    writer.setRange(static_cast<int>(g.offset), INT_MAX);
    const SoundTools::Status s = top->processAll(reader, &writer);
    EXPECT_EQ(s, SoundTools::StatusOk);

    for (size_t k = 0; k < nodes.size(); ++k)
        EXPECT_EQ(nodes[k]->errors, "") << "node " << k;

    const long n = static_cast<long>(total) - static_cast<long>(g.offset);
    const long real = n + static_cast<long>(graphDelay);
    const long written = static_cast<long>(writer.frameCount());
    if (n > 0) {
        EXPECT_GE(written, real);
        // A single chain whose nodes flush exactly what they hold delivers
        // exactly its input, moved by its delay.
        bool exactFlush = g.branches.size() == 1;
        for (const auto& node : g.branches[0])
            exactFlush = exactFlush && node.s == node.o;
        if (exactFlush) {
            EXPECT_EQ(written, real);
        }
    }
    for (long k = 0; k < written; ++k) {
        const int64_t p = static_cast<int64_t>(g.offset) + k;
        const StereoFrame<double> x = streamAt(p - graphDelay, begin, total);
        ASSERT_EQ(writer.samples[2 * k], weightSum * x.left) << "position " << p;
        ASSERT_EQ(writer.samples[2 * k + 1], weightSum * x.right) << "position " << p;
    }
    top->release();
}

} // namespace

TEST_F(Composite, ChainsDeliverEveryFrameOnce)
{
    const std::vector<GraphCase> cases = {
        {{{{0, 0, 0, 0}, {3, 0, 0, 0}}}, 8, 40, 0, 0},           // look-ahead after the head
        {{{{2, 1, 0, 0}, {3, 2, 0, 0}, {1, 0, 0, 0}}}, 8, 40, 0, 0},
        {{{{0, 0, 4, 4}, {2, 0, 0, 0}}}, 8, 40, 3, 0},           // unfinished tail then look-ahead
        {{{{0, 5, 0, 0}, {0, 0, 3, 3}, {4, 2, 2, 2}}}, 4, 57, 5, 3},
        {{{{1, 0, 0, 0}}, {{3, 0, 0, 0}, {2, 0, 0, 0}}}, 8, 40, 0, 0}, // branches of unequal look-ahead
        {{{{0, 0, 5, 5}}, {{0, 0, 0, 0}}}, 8, 40, 0, 0},         // unequal unfinished tails
        {{{{0, 0, 5, 5}}, {{5, 0, 0, 0}}}, 8, 40, 0, 0},
        {{{{0, 30, 0, 0}}, {{2, 0, 1, 1}}, {{0, 3, 0, 0}, {4, 0, 0, 0}}}, 16, 100, 2, 0},
        {{{{3, 0, 0, 2}, {5, 10, 0, 0}, {0, 18, 0, 1}}, {{1, 0, 5, 5}, {5, 0, 2, 2}, {4, 0, 0, 0}}}, 16, 50, 5, 20},
    };
    for (const auto& c : cases)
        runGraph(c);
}

TEST_F(Composite, RandomGraphsDeliverEveryFrameOnce)
{
    const unsigned int seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&rng](unsigned int lo, unsigned int hi) { return std::uniform_int_distribution<unsigned int>(lo, hi)(rng); };
    for (int run = 0; run < 400; ++run) {
        GraphCase g;
        const unsigned int branches = pick(1, 3);
        for (unsigned int b = 0; b < branches; ++b) {
            std::vector<GraphCase::Node> chain;
            const unsigned int length = pick(1, 3);
            for (unsigned int k = 0; k < length; ++k) {
                GraphCase::Node n{};
                n.i = pick(0, 2) == 0 ? pick(1, 6) : 0;
                n.d = pick(0, 2) == 0 ? pick(1, 20) : 0;
                n.o = pick(0, 3) == 0 ? pick(1, 6) : 0;
                n.s = pick(0, 1) == 0 ? n.o : n.o + pick(0, 5);
                chain.push_back(n);
            }
            g.branches.push_back(chain);
        }
        g.defaultSize = pick(1, 48);
        g.total = pick(0, 5) == 0 ? pick(0, 4) : pick(1, 300);
        g.offset = g.total == 0 ? 0 : pick(0, std::min(g.total, 10u));
        g.maxChunk = pick(0, 1) == 0 ? 0 : pick(1, 2 * g.defaultSize);
        runGraph(g);
        if (HasFailure())
            return;
    }
}
