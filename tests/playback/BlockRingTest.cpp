// The ring between the device's worker and its audio thread, driven by hand
// from one thread: the frames the claims hand out against the blocks
// published, the waits they ask for and the end.
#include "detail/BlockRing.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

using vexa::detail::BlockClaim;
using vexa::detail::BlockRing;

namespace {

// Publishes frames [origin, origin + frames) of the stream, each holding its
// position; the last outOverlap of them are not final.
void publishBlock(BlockRing& ring, int origin, int frames, int outOverlap = 0)
{
    auto slot = ring.takeFree();
    ASSERT_NE(slot, nullptr);
    slot->alloc(static_cast<unsigned int>(frames), 2, 1, 1);
    slot->setFrameNB(static_cast<unsigned int>(frames));
    slot->setOrigin(origin);
    for (int i = 0; i < frames; ++i)
        *slot->getStereoFrame(origin + i) = {double(origin + i), 0.0};
    ring.publish(slot, origin + frames - outOverlap);
}

// Claims until the ring says to wait or ends: the positions played and the
// last claim.
std::vector<int> drain(BlockRing& ring, SoundTools::Status status, int maxFrames, BlockClaim& last)
{
    std::vector<int> played;
    for (;;) {
        last = ring.claim(status, maxFrames);
        if (last.kind != BlockClaim::Play)
            return played;
        for (int i = 0; i < last.count; ++i)
            played.push_back(static_cast<int>(last.frames[i].left));
    }
}

std::vector<int> positions(std::initializer_list<std::pair<int, int>> ranges)
{
    std::vector<int> out;
    for (auto [from, to] : ranges)
        for (int p = from; p < to; ++p)
            out.push_back(p);
    return out;
}

BlockRing freshRing(int slots)
{
    BlockRing ring(slots);
    ring.reset(44100);
    ring.beginStream(0, true);
    return ring;
}

} // namespace

// Overlapping heads and tails play once; frames missing between two blocks
// are skipped.
TEST(BlockRing, EveryFramePlaysOnceInOrder)
{
    BlockRing ring = freshRing(3);
    publishBlock(ring, 0, 10, 4); // 0..5 final
    publishBlock(ring, 4, 12, 4); // 4..5 again, 6..11 new
    publishBlock(ring, 20, 5);    // 12..19 missing
    EXPECT_FALSE(ring.hasFree());
    EXPECT_EQ(ring.framesLeft(), 6 + 6 + 5);
    BlockClaim last;
    EXPECT_EQ(drain(ring, SoundTools::StatusOk, 4, last), positions({{0, 12}, {20, 25}}));
    EXPECT_EQ(last.kind, BlockClaim::Wait);
    EXPECT_TRUE(last.freedSlot);
    EXPECT_EQ(ring.framesLeft(), 0);
    EXPECT_TRUE(ring.hasFree());
}

// Running dry while the stream is produced: the audio side waits for one
// block at first, then for one more each time, up to the number of slots.
TEST(BlockRing, ReserveGrowsEachTimeThePlayRunsDry)
{
    BlockRing ring = freshRing(3);
    BlockClaim last = ring.claim(SoundTools::StatusOk, 100);
    int origin = 0;
    for (int wanted : {1, 2, 3, 3}) {
        SCOPED_TRACE(wanted);
        EXPECT_EQ(last.kind, BlockClaim::Wait);
        for (int i = 0; i < wanted; ++i, origin += 10) {
            EXPECT_FALSE(ring.waitOver(SoundTools::StatusOk));
            publishBlock(ring, origin, 10);
        }
        EXPECT_TRUE(ring.waitOver(SoundTools::StatusOk));
        EXPECT_EQ(drain(ring, SoundTools::StatusOk, 7, last).size(), 10u * wanted);
    }
    // A change of status ends the wait; between two streams one block does.
    EXPECT_FALSE(ring.waitOver(SoundTools::StatusFinishedContinuous));
    EXPECT_TRUE(ring.waitOver(SoundTools::StatusFinished));
    EXPECT_TRUE(ring.waitOver(SoundTools::StatusStopped));
}

// Continuous playing: the next stream's blocks follow the previous one's and
// play from that stream's start; the end is reported once.
TEST(BlockRing, NextStreamFollowsAndTheEndIsReportedOnce)
{
    BlockRing ring = freshRing(3);
    publishBlock(ring, 0, 8);
    ring.beginStream(100, false); // its reader starts past frame 90
    publishBlock(ring, 90, 20);
    EXPECT_EQ(ring.framesLeft(), 8 + 10);
    BlockClaim last;
    EXPECT_EQ(drain(ring, SoundTools::StatusFinished, 5, last), positions({{0, 8}, {100, 110}}));
    EXPECT_EQ(last.kind, BlockClaim::End);
    EXPECT_TRUE(last.firstEnd);
    EXPECT_FALSE(ring.claim(SoundTools::StatusFinished, 5).firstEnd);
    // A stop ends playing with blocks still pending.
    ring.reset(44100);
    publishBlock(ring, 110, 10);
    EXPECT_EQ(ring.claim(SoundTools::StatusStopped, 5).kind, BlockClaim::End);
}
