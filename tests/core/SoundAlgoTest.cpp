#include "DefaultSizeTest.h"
#include "MemoryReader.h"
#include "TestSignals.h"

#include "SoundAlgo.h"
#include "SoundAlgoAdd.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <QtGlobal>
#include <cstring>
#include <sstream>

namespace vexatest {

// A pass-through node with no overrides but process; exposes the protected
// bookkeeping for the tests.
class PassThrough : public SoundAlgo {
public:
    PassThrough() = default;
    explicit PassThrough(QString id) : SoundAlgo(std::move(id)) {}

    SoundTools::Status process() override
    {
        const unsigned int n = getOutFrameNb();
        if (n)
            std::memcpy(mOutBuffers[0]->getFrame(getOutOrigin()), mInBuffers[0]->getFrame(getInOrigin()), n * 2 * sizeof(double));
        return SoundTools::StatusOk;
    }

    using SoundAlgo::debugBuffers;
    using SoundAlgo::getInFrameNb;
    using SoundAlgo::getInOrigin;
    using SoundAlgo::getOutBufferOverlap;
    using SoundAlgo::getOutFrameNb;
    using SoundAlgo::getOutOrigin;
    using SoundAlgo::getPreferredBufferSize;
    using SoundAlgo::initProcess;
    using SoundAlgo::setOutOrigin;
    using SoundAlgo::updateOutput;
    using SoundAlgo::useInputs;
    using SoundAlgo::endProcess;
};

class Overlapping : public PassThrough {
public:
    Overlapping(unsigned int i, unsigned int d, unsigned int o, unsigned int s) : mI(i), mD(d), mO(o), mS(s) {}
    unsigned int getInOverlap(unsigned int) const override { return mI; }
    unsigned int getDelay(unsigned int) const override { return mD; }
    unsigned int getOutOverlap(unsigned int) const override { return mO; }
    unsigned int getSampleShift(unsigned int) const override { return mS; }

private:
    unsigned int mI, mD, mO, mS;
};

// Two inputs, for the input-sharing checks.
class TwoInputs : public PassThrough {
public:
    unsigned int getInputNumber() const override { return 2; }
};

class WideElements : public PassThrough {
public:
    unsigned int getInElementSize() const override { return 2; }
};

} // namespace vexatest

using namespace vexatest;

namespace {

SoundAlgo::LoopContext contextAt(unsigned int sampleRate, int offset = 0)
{
    SoundAlgo::LoopContext ctx;
    ctx.sampleRate = sampleRate;
    ctx.offset = offset;
    return ctx;
}

QStringList gCritical;
void captureCritical(QtMsgType type, const QMessageLogContext&, const QString& msg)
{
    if (type == QtCriticalMsg)
        gCritical << msg;
}

class SoundAlgoNode : public DefaultSizeTest {};

} // namespace

TEST_F(SoundAlgoNode, BaseAnswersAndNames)
{
    auto* node = new PassThrough();
    EXPECT_EQ(node->getInputNumber(), 1u);
    EXPECT_EQ(node->getOutputNumber(), 1u);
    EXPECT_EQ(node->getDelay(44100), 0u);
    EXPECT_EQ(node->getInOverlap(44100), 0u);
    EXPECT_EQ(node->getOutOverlap(44100), 0u);
    EXPECT_EQ(node->getSampleShift(44100), 0u);
    EXPECT_EQ(node->getRefCount(), 1);
    EXPECT_EQ(node->getName(), QStringLiteral("vexatest::PassThrough"));
    node->setId(QStringLiteral("left"));
    EXPECT_EQ(node->getName(), QStringLiteral("vexatest::PassThrough(left)"));

    auto* add = new SoundAlgoAdd();
    EXPECT_EQ(add->getName(), QStringLiteral("SoundAlgoAdd"));
    EXPECT_EQ(QString::fromLatin1(add->metaObject()->className()), QStringLiteral("SoundAlgoAdd"));
    EXPECT_NE(add->qt_metacast("SoundAlgo"), nullptr);
    EXPECT_NE(add->qt_metacast("SoundRefCounted"), nullptr);
    EXPECT_NE(add->qt_metacast("SoundDebuggableClass"), nullptr);
    add->release();

    QJsonObject json;
    node->writeToJSon(json);
    EXPECT_EQ(json.value("Id").toString(), QStringLiteral("left"));
    node->release();
}

TEST_F(SoundAlgoNode, ReferenceCount)
{
    auto* node = new PassThrough();
    node->addRef();
    EXPECT_EQ(node->getRefCount(), 2);
    EXPECT_FALSE(node->release());
    EXPECT_EQ(node->getRefCount(), 1);
    EXPECT_TRUE(node->release()); // deleted; the sanitizer build checks the rest
}

TEST_F(SoundAlgoNode, PassThroughOriginsAndSizes)
{
    SoundBuffer::setDefaultSize(16);
    PassThrough node;
    auto ctx = contextAt(44100, 30);
    ASSERT_EQ(node.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    EXPECT_EQ(node.getSampleRate(), 44100u);
    auto in = node.getInBuffer(0);
    EXPECT_EQ(in->getFrameNBAllocated(), 16u);
    EXPECT_EQ(node.getOutBuffer(0)->getFrameNBAllocated(), 16u);
    in->setOrigin(30);
    node.setOutOrigin();
    in->setFrameNB(12);
    node.updateOutput(0);
    EXPECT_EQ(node.getInOrigin(), 30);
    EXPECT_EQ(node.getOutOrigin(), 30);
    EXPECT_EQ(node.getInFrameNb(), 12u);
    EXPECT_EQ(node.getOutFrameNb(), 12u);
    EXPECT_EQ(node.getOutBuffer(0)->getOrigin(), 30);
    EXPECT_EQ(node.getOutBufferOverlap(44100), 0u);
    node.endProcess(0, 12);
}

TEST_F(SoundAlgoNode, DeclaredLatenciesPlaceTheOutput)
{
    SoundBuffer::setDefaultSize(32);
    Overlapping node(4, 10, 3, 3);
    auto ctx = contextAt(8000);
    ASSERT_EQ(node.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    auto in = node.getInBuffer(0);
    EXPECT_EQ(in->getFrameNBAllocated(), 36u); // default size + in overlap
    EXPECT_EQ(node.getOutBuffer(0)->getFrameNBAllocated(), 39u); // + out buffer overlap
    in->setOrigin(100);
    node.setOutOrigin();
    EXPECT_EQ(node.getOutBuffer(0)->getOrigin(), 100 - 3 + 10);
    in->setFrameNB(20);
    node.updateOutput(0);
    EXPECT_EQ(node.getOutOrigin(), 100 - 3 + 10);
    // out overlap + input frames - in overlap
    EXPECT_EQ(node.getOutBuffer(0)->getFrameNB(), 3u + 20u - 4u);
    EXPECT_EQ(node.getOutFrameNb(), 19u);
}

TEST_F(SoundAlgoNode, PreferredSizeAndHeadOfRun)
{
    SoundBuffer::setDefaultSize(64);
    Overlapping big(100, 0, 30, 50);
    EXPECT_EQ(big.getPreferredBufferSize(44100), 100u);
    Overlapping shifted(10, 0, 30, 50);
    EXPECT_EQ(shifted.getPreferredBufferSize(44100), 80u);
    Overlapping small(1, 0, 1, 1);
    EXPECT_EQ(small.getPreferredBufferSize(44100), 64u);

    // The head of a run raises the default size; a bad channel count is
    // refused before any buffer exists.
    auto ctx = contextAt(44100);
    ctx.channelNb = 1;
    EXPECT_EQ(shifted.initProcess(ctx, nullptr, nullptr), SoundTools::StatusError);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), 80u);
    EXPECT_EQ(shifted.getInputNumber(), 1u);
}

TEST_F(SoundAlgoNode, UseInputsChecksBothNodes)
{
    QtMessageHandler previous = qInstallMessageHandler(captureCritical);
    gCritical.clear();
    auto ctx = contextAt(44100);
    PassThrough one;
    TwoInputs two;
    WideElements wide;
    ASSERT_EQ(one.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    ASSERT_EQ(two.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    ASSERT_EQ(wide.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    auto twoIn0 = two.getInBuffer(0);

    EXPECT_EQ(two.useInputs(&one), SoundTools::StatusError);
    EXPECT_EQ(two.getInBuffer(0), twoIn0);
    ASSERT_EQ(gCritical.size(), 1);
    EXPECT_EQ(gCritical[0], QStringLiteral("Error in sharing inputs : vexatest::PassThrough has 1 inputs whereas "
                                           "vexatest::TwoInputs has 2 inputs."));

    EXPECT_EQ(wide.useInputs(&one), SoundTools::StatusError);
    EXPECT_TRUE(gCritical.last().contains(QStringLiteral("has elements of size 1 whereas")));

    EXPECT_EQ(one.useInputs(&two), SoundTools::StatusOk);
    EXPECT_EQ(one.getInBuffer(0), twoIn0);
    qInstallMessageHandler(previous);
}

TEST_F(SoundAlgoNode, DebugBuffersDump)
{
    SoundBuffer::setDefaultSize(8);
    Overlapping node(2, 1, 0, 0);
    node.setId(QStringLiteral("x"));
    auto ctx = contextAt(8000);
    ASSERT_EQ(node.initProcess(ctx, nullptr, nullptr), SoundTools::StatusOk);
    node.getInBuffer(0)->setOrigin(5);
    node.setOutOrigin();
    node.getInBuffer(0)->setFrameNB(6);
    node.updateOutput(0);
    std::ostringstream os;
    SoundDebuggableClass::setOStream(&os);
    node.debugBuffers();
    SoundDebuggableClass::setOStream(nullptr);
    EXPECT_EQ(os.str(),
              "=================================\n"
              "vexatest::Overlapping(x) :\n"
              "InBuffer.getOrigin :5 InBuffer.getEnd : 10 InBuffer.getFrameNB :6\n"
              "OutBuffer.getOrigin :6 OutBuffer.getEnd : 9 OutBuffer.getFrameNB :4\n"
              "getInOverlap :2 getOutOverlap :0 getOutBufferOverlap :0\n"
              "getInOrigin :5 getInFrameNb :6 getInEnd :10\n"
              "getOutOrigin :6 getOutFrameNb :4 getOutEnd :9\n"
              "getDelay :1\n"
              "\n");
}
