#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// Captures the diagnostic stream for the lifetime of the object.
struct CapturedDiagnostics {
    std::ostringstream text;
    CapturedDiagnostics() { SoundDebuggableClass::setOStream(&text); }
    ~CapturedDiagnostics() { SoundDebuggableClass::setOStream(nullptr); }
};

// A stereo buffer whose frames hold their own absolute index.
std::shared_ptr<SoundBuffer> indexedBuffer(int origin, unsigned int frames, unsigned int capacity)
{
    auto b = SoundBuffer::createNew(44100);
    b->alloc(capacity, 2, 1, 1);
    b->setOrigin(origin);
    b->setFrameNB(frames);
    for (unsigned int i = 0; i < frames; ++i) {
        b->getRelFrame(static_cast<int>(i))[0] = origin + static_cast<int>(i);
        b->getRelFrame(static_cast<int>(i))[1] = -(origin + static_cast<int>(i));
    }
    return b;
}

} // namespace

TEST(SoundBuffer, NewBufferIsEmpty)
{
    SoundBuffer b(48000);
    EXPECT_EQ(b.getFrameNB(), 0u);
    EXPECT_EQ(b.getFrameNBAllocated(), 0u);
    EXPECT_EQ(b.getOrigin(), 0);
    EXPECT_EQ(b.getEnd(), -1);
    EXPECT_EQ(b.getSampleRate(), 48000u);
}

TEST(SoundBuffer, AllocKeepsOrReplacesMemory)
{
    SoundBuffer b(44100);
    b.alloc(10, 2, 1, 1);
    b.setFrameNB(10);
    b.getRelFrame(3)[0] = 7.0;

    // Smaller or equal total: same memory, same content, no valid frame.
    b.alloc(5, 2, 1, 1);
    EXPECT_EQ(b.getFrameNB(), 0u);
    EXPECT_EQ(b.getFrameNBAllocated(), 5u);
    EXPECT_EQ(b.getRelFrame(3)[0], 7.0);

    // Larger total than the current layout: fresh zeroed memory.
    b.alloc(8, 2, 1, 1);
    EXPECT_EQ(b.getRelFrame(3)[0], 0.0);

    // A frequency-domain layout: stride is channels x bins x element size.
    b.alloc(4, 2, 513, 2);
    EXPECT_EQ(b.getFrameStride(), 2052u);
    EXPECT_FALSE(b.isStereo());
    EXPECT_EQ(b.getRelFrame(1) - b.getRelFrame(0), 2052);
}

TEST(SoundBuffer, DefaultSize)
{
    const unsigned int before = SoundBuffer::getDefaultSize();
    EXPECT_EQ(before, 1048576u); // nothing in this executable changed it yet
    SoundBuffer::setDefaultSize(0);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), before);
    SoundBuffer::setDefaultSize(4096);
    EXPECT_EQ(SoundBuffer::getDefaultSize(), 4096u);
    SoundBuffer::setDefaultSize(before);
}

TEST(SoundBuffer, KeepMarginMovesTheTail)
{
    auto b = indexedBuffer(100, 10, 16);
    EXPECT_EQ(b->keepMargin(3), 3u);
    EXPECT_EQ(b->getOrigin(), 107);
    for (int i = 107; i <= 109; ++i)
        EXPECT_EQ(b->getFrame(i)[0], i);

    // No more valid frames than the margin: everything stays in place.
    auto c = indexedBuffer(100, 3, 16);
    EXPECT_EQ(c->keepMargin(3), 3u);
    EXPECT_EQ(c->getOrigin(), 100);
    EXPECT_EQ(c->getFrame(102)[0], 102);
    EXPECT_EQ(c->keepMargin(5), 3u);
    EXPECT_EQ(c->getOrigin(), 100);

    auto empty = indexedBuffer(0, 0, 16);
    EXPECT_EQ(empty->keepMargin(4), 0u);
}

TEST(SoundBuffer, InitialDelayGivesSilentLeadIn)
{
    auto b = indexedBuffer(0, 10, 16);
    b->setInitialDelay(5);
    EXPECT_EQ(b->getOrigin(), -5);
    EXPECT_EQ(b->getFrameNB(), 0u);
    EXPECT_EQ(b->keepMargin(2), 5u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(b->getRelFrame(i)[0], 0.0) << i;
        EXPECT_EQ(b->getRelFrame(i)[1], 0.0) << i;
    }
    EXPECT_EQ(b->getRelFrame(7)[0], 7.0); // beyond the lead-in: untouched
}

TEST(SoundBuffer, RotateDropsConsumedFrames)
{
    auto b = indexedBuffer(0, 10, 16);
    b->rotate(4);
    EXPECT_EQ(b->getOrigin(), 4);
    EXPECT_EQ(b->getFrame(4)[0], 4.0);
    EXPECT_EQ(b->getFrame(9)[0], 9.0);

    // Asking for more than there is drops everything.
    auto c = indexedBuffer(0, 10, 16);
    c->rotate(12);
    EXPECT_EQ(c->getOrigin(), 10);
}

TEST(SoundBuffer, OutOfRangeFramesAreReported)
{
    CapturedDiagnostics diag;
    auto b = indexedBuffer(50, 4, 8);
    EXPECT_EQ(b->getFrame(49), nullptr);
    EXPECT_EQ(b->getStereoFrame(49), nullptr);
    EXPECT_EQ(b->getRelFrame(-1), nullptr);
    EXPECT_EQ(diag.text.str(), "Frame 49 inferior to 50\nFrame 49 inferior to 50\nFrame negative\n");
    EXPECT_EQ(reinterpret_cast<double*>(b->getStereoFrame(52)), b->getFrame(52));
}

TEST(SoundBuffer, AppendMarginGrowsAndKeepsFrames)
{
    auto b = indexedBuffer(20, 6, 6);
    b->appendMargin(4);
    EXPECT_EQ(b->getFrameNB(), 10u);
    EXPECT_GE(b->getFrameNBAllocated(), 10u);
    EXPECT_EQ(b->getOrigin(), 20);
    for (int i = 20; i < 26; ++i)
        EXPECT_EQ(b->getFrame(i)[0], i);
    for (int i = 26; i < 30; ++i) {
        EXPECT_EQ(b->getFrame(i)[0], 0.0);
        EXPECT_EQ(b->getFrame(i)[1], 0.0);
    }
}

TEST(SoundBuffer, SetFrameNBGrowthKeepsValidFrames)
{
    auto b = indexedBuffer(0, 4, 4);
    b->setFrameNB(9);
    EXPECT_EQ(b->getFrameNBAllocated(), 9u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(b->getFrame(i)[0], i);
    for (int i = 4; i < 9; ++i)
        EXPECT_EQ(b->getFrame(i)[0], 0.0);
}

TEST(SoundBuffer, ArithmeticAndCopy)
{
    auto b = indexedBuffer(3, 4, 8);
    b->addBuffer(1.0);
    b->mulBuffer(2.0);
    b->normBuffer(-1.0, 0.5);
    // ((x + 1) * 2 - 1) * 0.5 = x + 0.5
    for (int i = 3; i < 7; ++i) {
        EXPECT_DOUBLE_EQ(b->getFrame(i)[0], i + 0.5);
        EXPECT_DOUBLE_EQ(b->getFrame(i)[1], -i + 0.5);
    }
    b->setInitialDelay(0);
    b->setFrameNB(4);
    SoundBuffer copy(8000);
    copy = *b;
    EXPECT_EQ(copy.getOrigin(), b->getOrigin());
    EXPECT_EQ(copy.getFrameNB(), 4u);
    EXPECT_EQ(copy.getSampleRate(), 44100u);
    EXPECT_EQ(copy.getRelFrame(2)[0], b->getRelFrame(2)[0]);
    EXPECT_NE(copy.getRelFrame(0), b->getRelFrame(0));
    b->reset();
    EXPECT_EQ(b->getRelFrame(2)[0], 0.0);
    EXPECT_EQ(b->getFrameNB(), 4u);
}
