// A bounded queue of sample blocks between two threads, in order, with the
// blocks taken off it recycled: the hand-over of the reader that decodes
// ahead and of the writer that encodes behind.
#ifndef VEXA_DETAIL_BLOCKQUEUE_H
#define VEXA_DETAIL_BLOCKQUEUE_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace vexa::detail {

class BlockQueue {
public:
    struct Block {
        std::vector<double> samples; // interleaved
        unsigned int frames = 0;
    };

    explicit BlockQueue(unsigned int capacity) : mCapacity(capacity > 0 ? capacity : 1) {}

    // Producer: waits for room, then gives a free block (a recycled one when
    // there is one). False once the queue is closed.
    bool acquire(Block& block)
    {
        std::unique_lock<std::mutex> guard(mLock);
        mChanged.wait(guard, [this] { return mClosed || mQueued.size() < mCapacity; });
        if (mClosed)
            return false;
        if (!mSpare.empty()) {
            block = std::move(mSpare.back());
            mSpare.pop_back();
        }
        return true;
    }

    void push(Block&& block)
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mQueued.push_back(std::move(block));
        }
        mChanged.notify_all();
    }

    // Consumer: waits for the next block. False when the queue is closed and
    // every block queued before was taken.
    bool pop(Block& block)
    {
        std::unique_lock<std::mutex> guard(mLock);
        mChanged.wait(guard, [this] { return mClosed || !mQueued.empty(); });
        if (mQueued.empty())
            return false;
        block = std::move(mQueued.front());
        mQueued.pop_front();
        guard.unlock();
        mChanged.notify_all();
        return true;
    }

    // A block done with, kept for acquire.
    void recycle(Block&& block)
    {
        std::lock_guard<std::mutex> guard(mLock);
        mSpare.push_back(std::move(block));
    }

    // Wakes both sides: acquire fails from now on; pop gives what is queued,
    // then fails.
    void close()
    {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mClosed = true;
        }
        mChanged.notify_all();
    }

    // Open again, with what was queued still queued.
    void open()
    {
        std::lock_guard<std::mutex> guard(mLock);
        mClosed = false;
    }

    // Empty: the blocks queued become spare ones.
    void clear()
    {
        std::lock_guard<std::mutex> guard(mLock);
        for (Block& b : mQueued)
            mSpare.push_back(std::move(b));
        mQueued.clear();
    }

private:
    const unsigned int mCapacity;
    std::deque<Block> mQueued;
    std::vector<Block> mSpare;
    bool mClosed = false;
    std::mutex mLock;
    std::condition_variable mChanged;
};

} // namespace vexa::detail

#endif
