// The blocks on their way from the playback device's worker (which runs the
// graph) to the audio thread (which pulls bytes through readData).
//
// A fixed set of slots goes round one cycle:
//
//   free pool --takeFree--> filled by the worker --publish--> pending
//       ^                                                        |
//       +--- claim, once played <--- current block <--- claim ---+
//
// Protocol. The ring has no lock of its own: every call is made under the
// owner's state lock, held for writing, except the const queries, for which
// reading is enough.
// - Worker: waits (outside the lock) until hasFree, runs one step of the
//   graph, then takeFree if the output is new (isNew). The slot taken is the
//   worker's alone: it copies the block into it with the lock released, then
//   publishes it, after which the audio thread must be woken.
// - Audio thread: one claim per chunk of output. It hands back the current
//   block once played (the worker must then be woken), takes the next pending
//   one, and returns the next run of frames of the current block, or says to
//   wait (until waitOver) or that the stream has ended. The current block is
//   the audio thread's alone from the claim that takes it to the claim that
//   hands it back, so the frames of a claim are filtered and converted after
//   the lock is released.
// - Owner, with no worker running: reset, clear, beginStream. They drop slots
//   rather than reuse them, so a chunk still being converted when the device
//   stops keeps its block (the claim holds a reference). addSlot may come
//   at any time.
//
// Prefill: each time the pending blocks run out while a stream is still
// being produced, the audio thread waits for one block more than the last
// time before playing again, up to the number of slots: a source that cannot
// keep up makes fewer, longer gaps.
//
// Streams: each block carries its stream and that stream's first position.
// In continuous playing the next stream's blocks follow the last ones of the
// previous stream; the first of them moves the read position to its start.
#ifndef VEXA_PLAYBACK_DETAIL_BLOCKRING_H
#define VEXA_PLAYBACK_DETAIL_BLOCKRING_H

#include "SoundBuffer.h"
#include "SoundTools.h"

#include <QtGlobal>

#include <deque>
#include <memory>
#include <vector>

namespace vexa::detail {

// What one claim of the audio side gives.
struct BlockClaim {
    enum Kind { Play, Wait, End };
    Kind kind = End;
    // Play: count frames of block from frames on.
    std::shared_ptr<SoundBuffer> block;
    SoundTools::StereoFrame<double>* frames = nullptr;
    int count = 0;
    // A played block went back to the free pool: wake the worker.
    bool freedSlot = false;
    // End: the first end since the last reset (readChannelFinished).
    bool firstEnd = false;
};

class BlockRing {
public:
    using Claim = BlockClaim;

    // Slots that exist only once reset makes them.
    explicit BlockRing(int count) : mSlots(static_cast<size_t>(count)) {}

    // Fresh slots, as many as before, all free; the blocks to play and the
    // end report are dropped. The read position and the streams are kept
    // (beginStream).
    void reset(unsigned int sampleRate);
    // Drops every slot and block, keeping their number (the device was
    // stopped while running).
    void clear();
    void addSlot(unsigned int sampleRate);
    int slotCount() const { return static_cast<int>(mSlots.size()); }

    // A new stream starting at position start. With restartPlayback the
    // audio thread plays it from there at once; otherwise it gets there once
    // the blocks of the previous stream are played.
    void beginStream(int start, bool restartPlayback);

    // Worker side. playEnd: where the final frames of a block end (its last
    // out-overlap frames come again at the head of the next block).
    bool hasFree() const { return !mFree.empty(); }
    // False for a block with nothing past what was published last (a loop
    // that ends without processing a block leaves its output in place).
    bool isNew(int playEnd) const;
    // Null when the pool is empty.
    std::shared_ptr<SoundBuffer> takeFree();
    void publish(std::shared_ptr<SoundBuffer> block, int playEnd);
    int pendingCount() const { return static_cast<int>(mPending.size()); }

    // Audio side. status is the device's status at the time of the claim:
    // Ok while the stream is produced, Finished (or FinishedContinuous, when
    // the next stream may follow) once its last block is published; any
    // other ends playing at once.
    Claim claim(SoundTools::Status status, int maxFrames);
    // True when the wait a claim asked for is over: enough blocks pending,
    // or a status change the next claim has to look at.
    bool waitOver(SoundTools::Status status) const;

    // Frames still to play: the rest of the current block and the pending
    // blocks.
    qint64 framesLeft() const;

private:
    struct Block {
        std::shared_ptr<SoundBuffer> buffer;
        int origin = 0;
        int playEnd = 0;
        int stream = 0;      // stream the block belongs to
        int streamStart = 0; // that stream's first position
    };

    // No block left to play: wait for more, or the end.
    Claim waitOrEnd(SoundTools::Status status, Claim c);
    Claim end(Claim c);
    void takeNext();

    std::vector<std::shared_ptr<SoundBuffer>> mSlots;
    std::deque<std::shared_ptr<SoundBuffer>> mFree;
    std::deque<Block> mPending; // in play order
    Block mCurrent;             // null buffer before the first block
    bool mCurrentHeld = false;  // false once handed back to the pool
    int mReadPos = 0;
    int mPlayingStream = 0;
    int mPrefill = 1;
    int mWanted = 1; // blocks the current wait is for
    bool mEndReported = false;

    // Worker side: the stream being produced and the end of the last block
    // published.
    int mStream = 0;
    int mStreamStart = 0;
    bool mHavePublished = false;
    int mLastPlayEnd = 0;
};

} // namespace vexa::detail

#endif
