#include "BlockRing.h"

#include <algorithm>

namespace vexa::detail {

void BlockRing::reset(unsigned int sampleRate)
{
    for (auto& slot : mSlots)
        slot = SoundBuffer::createNew(sampleRate);
    mFree.assign(mSlots.begin(), mSlots.end());
    mPending.clear();
    mCurrent = Block();
    mCurrentHeld = false;
    mEndReported = false;
}

void BlockRing::clear()
{
    for (auto& slot : mSlots)
        slot.reset();
    mFree.clear();
    mPending.clear();
    mCurrent = Block();
    mCurrentHeld = false;
}

void BlockRing::addSlot(unsigned int sampleRate)
{
    auto slot = SoundBuffer::createNew(sampleRate);
    mSlots.push_back(slot);
    mFree.push_back(slot);
}

void BlockRing::beginStream(int start, bool restartPlayback)
{
    ++mStream;
    mStreamStart = start;
    mHavePublished = false;
    if (restartPlayback) {
        mReadPos = start;
        mPlayingStream = mStream;
    }
}

bool BlockRing::isNew(int playEnd) const
{
    return !mHavePublished || playEnd > mLastPlayEnd;
}

std::shared_ptr<SoundBuffer> BlockRing::takeFree()
{
    if (mFree.empty())
        return nullptr;
    std::shared_ptr<SoundBuffer> slot = mFree.front();
    mFree.pop_front();
    return slot;
}

void BlockRing::publish(std::shared_ptr<SoundBuffer> block, int playEnd)
{
    const int origin = block->getOrigin();
    mPending.push_back(Block{std::move(block), origin, playEnd, mStream, mStreamStart});
    mLastPlayEnd = playEnd;
    mHavePublished = true;
}

BlockRing::Claim BlockRing::claim(SoundTools::Status status, int maxFrames)
{
    Claim c;
    const bool playable = status == SoundTools::StatusOk || status == SoundTools::StatusFinished ||
                          status == SoundTools::StatusFinishedContinuous;
    if (!playable)
        return end(c);
    for (;;) {
        if (mCurrentHeld) {
            // Frames before a block's origin do not exist: a gap is skipped.
            const int from = std::max(mReadPos, mCurrent.origin);
            if (from < mCurrent.playEnd) {
                c.kind = Claim::Play;
                c.block = mCurrent.buffer;
                c.frames = mCurrent.buffer->getStereoFrame(from);
                c.count = std::min(mCurrent.playEnd - from, maxFrames);
                mReadPos = from + c.count;
                return c;
            }
            // Played: back to the worker.
            mFree.push_back(mCurrent.buffer);
            mCurrentHeld = false;
            c.freedSlot = true;
        }
        if (mPending.empty())
            return waitOrEnd(status, c);
        takeNext();
    }
}

BlockRing::Claim BlockRing::waitOrEnd(SoundTools::Status status, Claim c)
{
    if (status == SoundTools::StatusFinished)
        return end(c);
    if (status == SoundTools::StatusOk) {
        // Ran dry while playing: a larger reserve before going on.
        if (mCurrent.buffer && mPrefill < slotCount())
            ++mPrefill;
        mWanted = mPrefill;
    } else {
        mWanted = 1; // between two streams: the next one plays at once
    }
    c.kind = Claim::Wait;
    return c;
}

BlockRing::Claim BlockRing::end(Claim c)
{
    c.kind = Claim::End;
    c.firstEnd = !mEndReported;
    mEndReported = true;
    return c;
}

void BlockRing::takeNext()
{
    mCurrent = mPending.front();
    mPending.pop_front();
    mCurrentHeld = true;
    if (mCurrent.stream != mPlayingStream) {
        // First block of the next stream.
        mPlayingStream = mCurrent.stream;
        mReadPos = mCurrent.streamStart;
    }
}

bool BlockRing::waitOver(SoundTools::Status status) const
{
    if (status == SoundTools::StatusOk)
        return pendingCount() >= mWanted;
    if (status == SoundTools::StatusFinishedContinuous)
        return pendingCount() >= 1;
    return true;
}

qint64 BlockRing::framesLeft() const
{
    qint64 left = 0;
    int pos = mReadPos;
    int stream = mPlayingStream;
    auto count = [&](const Block& b) {
        if (b.stream != stream) {
            stream = b.stream;
            pos = b.streamStart;
        }
        const int begin = std::max(pos, b.origin);
        if (b.playEnd > begin) {
            left += b.playEnd - begin;
            pos = b.playEnd;
        }
    };
    if (mCurrentHeld)
        count(mCurrent);
    for (const Block& b : mPending)
        count(b);
    return left;
}

} // namespace vexa::detail
