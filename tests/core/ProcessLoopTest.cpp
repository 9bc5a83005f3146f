#include "DefaultSizeTest.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "ShiftNode.h"
#include "TestSignals.h"

#include "SoundAlgo.h"
#include "SoundAlgoAdd.h"
#include "SoundAlgoBypass.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include <climits>
#include <functional>
#include <map>
#include <random>
#include <sstream>

using SoundTools::StereoFrame;

namespace vexatest {

// Copies its input and can be told to fail at a given block.
class FailingNode : public SoundAlgo {
public:
    explicit FailingNode(int failAtBlock) : mFailAt(failAtBlock) {}
    SoundTools::Status process() override
    {
        if (++mBlock == mFailAt)
            return SoundTools::StatusError;
        const unsigned int n = getOutFrameNb();
        for (unsigned int k = 0; k < n; ++k)
            *mOutBuffers[0]->getStereoFrame(getOutOrigin() + static_cast<int>(k)) =
                *mInBuffers[0]->getStereoFrame(getInOrigin() + static_cast<int>(k));
        return SoundTools::StatusOk;
    }

private:
    int mFailAt;
    int mBlock = 0;
};

} // namespace vexatest

using vexatest::ShiftNode;

namespace {

struct LoopCase {
    unsigned int inOverlap, delay, outOverlap, shift;
    unsigned int defaultSize;
    unsigned int total;  // frames of the file
    unsigned int offset; // start position
    unsigned int maxChunk;

    std::string describe() const
    {
        std::ostringstream os;
        os << "I=" << inOverlap << " D=" << delay << " O=" << outOverlap << " S=" << shift << " size=" << defaultSize
           << " total=" << total << " offset=" << offset << " chunk=" << maxChunk;
        return os.str();
    }
};

// The stream value at absolute index q: the ramp from the start position to
// the end of the file, silence outside it.
StereoFrame<double> streamAt(int64_t q, unsigned int begin, unsigned int total)
{
    if (q < static_cast<int64_t>(begin) || q >= static_cast<int64_t>(total))
        return {0.0, 0.0};
    return testsignals::ramp(q);
}

// Frames a run must deliver from the start position on: the stream moved D
// frames later, extended by the flushed shift, less the out overlap that is
// never finished. An empty stream with nothing to flush ends at once.
long expectedLength(const LoopCase& c)
{
    const long n = static_cast<long>(c.total) - static_cast<long>(c.offset);
    if (n == 0 && c.inOverlap == 0 && c.shift == 0)
        return 0;
    return std::max(0L, n + static_cast<long>(c.delay) + static_cast<long>(c.shift) - static_cast<long>(c.outOverlap));
}

void runCase(const LoopCase& c)
{
    SCOPED_TRACE(c.describe());
    SoundBuffer::setDefaultSize(c.defaultSize);
    const unsigned int total = c.total;
    const unsigned int begin = c.offset;
    MemoryReader reader([](unsigned int i) { return testsignals::ramp(i); }, total, 1000);
    reader.setMaxChunk(c.maxChunk);
    reader.open(QString());
    reader.setStartPoint(c.offset / 1000.0);
    reader.rewind();
    ASSERT_EQ(reader.getOffset(), static_cast<int>(c.offset));

    MemoryWriter writer(1000);
    writer.setRange(static_cast<int>(c.offset), INT_MAX);
    auto* node = new ShiftNode(c.inOverlap, c.delay, c.outOverlap, c.shift,
                               [begin, total](int64_t q) { return streamAt(q, begin, total); });

    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(node->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    SoundTools::Status s;
    int guard = 0;
    while ((s = node->singleProcessLoop(reader, ctx, &writer)) == SoundTools::StatusOk)
        ASSERT_LT(++guard, 100000) << "loop does not end";
    EXPECT_EQ(s, SoundTools::StatusFinished);
    const unsigned int processed = ctx.frameNbProcessed;
    node->endProcessLoop(ctx);

    EXPECT_EQ(node->errors, "");
    const long length = expectedLength(c);
    ASSERT_EQ(static_cast<long>(writer.frameCount()), length);
    for (long k = 0; k < length; ++k) {
        const int64_t p = static_cast<int64_t>(c.offset) + k;
        const StereoFrame<double> want = streamAt(p - c.delay, begin, total);
        ASSERT_EQ(writer.samples[2 * k], want.left) << "position " << p;
        ASSERT_EQ(writer.samples[2 * k + 1], want.right) << "position " << p;
    }
    const unsigned int n = total - c.offset;
    const bool flushed = c.inOverlap != 0 || c.shift != 0;
    EXPECT_EQ(processed, n + (flushed ? c.shift : 0));
    node->release();
}

class ProcessLoop : public DefaultSizeTest {};

} // namespace

// In overlap 2, default size 8, 20 frames: the input buffer holds 10 frames,
// blocks write 8, 8, 2 and, after the end, the 2 frames that needed their
// look-ahead.
TEST_F(ProcessLoop, WorkedRun)
{
    SoundBuffer::setDefaultSize(8);
    MemoryReader reader(testsignals::rampFrames(20), 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    auto* node = new SoundAlgoBypass(2, 0, 0);

    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(node->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), 8u);
    EXPECT_EQ(ctx.inBuffer->getFrameNBAllocated(), 10u);
    EXPECT_EQ(node->getOutBuffer(0)->getFrameNBAllocated(), 10u);

    const int firstOut[] = {0, 8, 16, 18};
    const unsigned int outFrames[] = {8, 8, 2, 2};
    const int inOrigin[] = {0, 8, 16, 18};
    const unsigned int inFrames[] = {10, 10, 4, 4};
    for (int block = 0; block < 4; ++block) {
        const SoundTools::Status s = node->singleProcessLoop(reader, ctx, &writer);
        EXPECT_EQ(s, block < 3 ? SoundTools::StatusOk : SoundTools::StatusFinished) << block;
        EXPECT_EQ(ctx.inBuffer->getOrigin(), inOrigin[block]) << block;
        EXPECT_EQ(ctx.inBuffer->getFrameNB(), inFrames[block]) << block;
        EXPECT_EQ(ctx.outBuffer->getOrigin(), firstOut[block]) << block;
        EXPECT_EQ(ctx.outBuffer->getFrameNB(), outFrames[block]) << block;
        EXPECT_EQ(writer.callSizes.at(static_cast<size_t>(block)), outFrames[block]) << block;
    }
    EXPECT_EQ(ctx.frameNbProcessed, 20u);
    node->endProcessLoop(ctx);

    ASSERT_EQ(writer.frameCount(), 20u);
    for (unsigned int i = 0; i < 20; ++i)
        EXPECT_EQ(writer.samples[2 * i], testsignals::ramp(i).left);
    node->release();
}

TEST_F(ProcessLoop, SingleNodesDeliverEveryFrameOnce)
{
    const std::vector<LoopCase> cases = {
        {0, 0, 0, 0, 8, 20, 0, 0},   {2, 0, 0, 0, 8, 20, 0, 0},   {0, 3, 0, 0, 8, 20, 0, 0},
        {2, 3, 0, 0, 8, 20, 0, 0},   {0, 0, 3, 3, 8, 20, 0, 0},   {2, 5, 3, 3, 8, 21, 4, 0},
        {0, 20, 0, 0, 8, 30, 0, 0},  {3, 50, 2, 4, 4, 100, 7, 3}, {4, 0, 0, 0, 8, 1, 0, 0},
        {4, 2, 0, 0, 8, 3, 0, 0},    {0, 5, 0, 0, 8, 0, 0, 0},    {2, 5, 0, 0, 8, 0, 0, 0},
        {2, 0, 0, 0, 8, 19, 0, 0},   {0, 0, 5, 2, 8, 40, 0, 0},   {1, 1, 1, 1, 1, 10, 2, 1},
    };
    for (const auto& c : cases)
        runCase(c);
}

// Random block sizes, overlaps, delays, shifts, lengths, start points and
// short reads. The seed is printed so that a failing case can be replayed.
TEST_F(ProcessLoop, RandomSingleNodesDeliverEveryFrameOnce)
{
    const unsigned int seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&rng](unsigned int lo, unsigned int hi) { return std::uniform_int_distribution<unsigned int>(lo, hi)(rng); };
    for (int run = 0; run < 1500; ++run) {
        LoopCase c{};
        c.inOverlap = pick(0, 3) == 0 ? 0 : pick(1, 12);
        c.delay = pick(0, 3) == 0 ? 0 : pick(1, 40);
        c.outOverlap = pick(0, 2) == 0 ? 0 : pick(1, 12);
        c.shift = pick(0, 2) == 0 ? c.outOverlap : pick(0, 20);
        c.defaultSize = pick(1, 64);
        c.total = pick(0, 4) == 0 ? pick(0, 5) : pick(0, 400);
        c.offset = c.total == 0 ? 0 : pick(0, std::min(c.total, 20u));
        c.maxChunk = pick(0, 1) == 0 ? 0 : pick(1, 2 * c.defaultSize);
        runCase(c);
        if (HasFailure())
            return;
    }
}

TEST_F(ProcessLoop, SignalsAndEmptyStream)
{
    MemoryReader reader(testsignals::rampFrames(0), 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    auto* node = new SoundAlgoBypass();
    QSignalSpy begin(node, &SoundAlgo::notifyBegin);
    QSignalSpy progress(node, &SoundAlgo::notifyInProgress);
    QSignalSpy end(node, &SoundAlgo::notifyEnd);

    EXPECT_EQ(node->processAll(reader, &writer), SoundTools::StatusOk);
    ASSERT_EQ(begin.count(), 1);
    EXPECT_EQ(begin.at(0).at(0).toUInt(), 0u);
    EXPECT_EQ(progress.count(), 0);
    ASSERT_EQ(end.count(), 1);
    EXPECT_EQ(end.at(0).at(0).toInt(), 0);
    EXPECT_EQ(writer.frameCount(), 0u);
    node->release();
}

TEST_F(ProcessLoop, ProgressAndStopRequests)
{
    SoundBuffer::setDefaultSize(100);
    MemoryReader reader(testsignals::rampFrames(1000), 44100);
    reader.open(QString());
    reader.rewind();
    auto* node = new SoundAlgoBypass();

    // A stop requested before the run is forgotten when the run starts.
    node->pleaseStop();
    QSignalSpy progress(node, &SoundAlgo::notifyInProgress);
    QSignalSpy end(node, &SoundAlgo::notifyEnd);
    MemoryWriter all(44100);
    EXPECT_EQ(node->processAll(reader, &all), SoundTools::StatusOk);
    EXPECT_EQ(all.frameCount(), 1000u);
    ASSERT_EQ(progress.count(), 10);
    EXPECT_EQ(progress.at(9).at(0).toUInt(), 1000u);
    EXPECT_EQ(progress.at(9).at(1).toUInt(), 1000u);

    // A stop requested during a block ends the run after that block.
    reader.rewind();
    MemoryWriter some(44100);
    QObject::connect(node, &SoundAlgo::notifyInProgress, node, &SoundAlgo::pleaseStop);
    EXPECT_EQ(node->processAll(reader, &some), SoundTools::StatusStopped);
    EXPECT_EQ(some.frameCount(), 100u);
    EXPECT_EQ(end.last().at(0).toInt(), static_cast<int>(SoundTools::StatusStopped));
    node->release();
}

TEST_F(ProcessLoop, FailuresEndTheRun)
{
    SoundBuffer::setDefaultSize(64);
    MemoryReader reader(testsignals::rampFrames(1000), 44100);
    reader.open(QString());
    reader.rewind();

    // A failing writer: the block's progress is still announced.
    auto* node = new SoundAlgoBypass();
    QSignalSpy progress(node, &SoundAlgo::notifyInProgress);
    MemoryWriter writer(44100);
    writer.failAfter(100);
    EXPECT_EQ(node->processAll(reader, &writer), SoundTools::StatusError);
    EXPECT_EQ(progress.count(), 2);
    node->release();

    // A failing node: nothing is written for the failing block.
    reader.rewind();
    auto* failing = new vexatest::FailingNode(3);
    MemoryWriter w2(44100);
    EXPECT_EQ(failing->processAll(reader, &w2), SoundTools::StatusError);
    EXPECT_EQ(w2.frameCount(), 128u);
    failing->release();

    // A writer at another sample rate refuses the first block.
    reader.rewind();
    auto* bypass = new SoundAlgoBypass();
    MemoryWriter w3(48000);
    EXPECT_EQ(bypass->processAll(reader, &w3), SoundTools::StatusError);
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("SoundWriter::WriteBuffer : Samplerate conversion not implemented"));

    // No writer: the whole stream is processed.
    reader.rewind();
    EXPECT_EQ(bypass->processAll(reader, nullptr), SoundTools::StatusOk);
    bypass->release();

    // Only a node with one input and one output can head a run.
    reader.rewind();
    auto* add = new SoundAlgoAdd();
    SoundAlgo::LoopContext ctx;
    EXPECT_EQ(add->initProcessLoop(reader, ctx), SoundTools::StatusError);
    EXPECT_EQ(add->processAll(reader, nullptr), SoundTools::StatusError);
    add->release();
}
