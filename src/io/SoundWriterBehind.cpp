#include "SoundWriterBehind.h"

#include "detail/BlockQueue.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

struct SoundWriterBehind::Private {
    explicit Private(unsigned int blocks) : queue(blocks) {}

    std::unique_ptr<SoundWriter> target;
    unsigned int blockFrames = 1;
    unsigned int channels = 2;
    // Blocks waiting to be written, in order.
    vexa::detail::BlockQueue queue;
    std::atomic<bool> failed{false};
    std::thread worker;

    // Waits for every block to be written and ends the thread.
    void finish()
    {
        if (!worker.joinable())
            return;
        queue.close();
        worker.join();
        queue.open();
    }
};

// The writing thread: writes the blocks in order until the queue is closed
// and empty. After a failure the blocks are dropped (the caller has been
// told at its next write).
void SoundWriterBehind::writeBehind(Private* d)
{
    vexa::detail::BlockQueue::Block block;
    while (d->queue.pop(block)) {
        if (!d->failed.load()) {
            const unsigned int n = writeTo(d->target.get(), block.frames, block.samples.data());
            advanceOffset(d->target.get(), static_cast<int>(n));
            if (n != block.frames)
                d->failed.store(true);
        }
        d->queue.recycle(std::move(block));
    }
}

SoundWriterBehind::SoundWriterBehind(SoundWriter* target, unsigned int blockFrames, unsigned int blocks)
    : SoundWriter(target ? target->getSampleRate() : 44100)
    , d(new Private(blocks))
{
    d->target.reset(target);
    d->blockFrames = std::max(1u, blockFrames);
}

SoundWriterBehind::~SoundWriterBehind()
{
    close();
}

SoundWriter* SoundWriterBehind::getTarget() const
{
    return d->target.get();
}

bool SoundWriterBehind::hasFailed() const
{
    return d->failed.load();
}

SoundTools::Status SoundWriterBehind::open(QString fileName)
{
    close();
    if (!d->target)
        return SoundTools::StatusError;
    const SoundTools::Status s = d->target->open(fileName);
    if (s != SoundTools::StatusOk)
        return s;
    d->channels = std::max(1u, d->target->getChannelNum());
    d->failed.store(false);
    d->worker = std::thread(&SoundWriterBehind::writeBehind, d.get());
    return s;
}

void SoundWriterBehind::close()
{
    if (!d->target || !d->worker.joinable())
        return;
    d->finish();
    d->target->close();
    mClipped = d->target->getClippedSamples();
}

void SoundWriterBehind::flush()
{
    if (!d->worker.joinable())
        return;
    d->finish();
    d->worker = std::thread(&SoundWriterBehind::writeBehind, d.get());
}

void SoundWriterBehind::setTags(const SoundIDTag& tags)
{
    if (d->target)
        d->target->setTags(tags);
}

unsigned int SoundWriterBehind::getChannelNum() const
{
    return d->target ? d->target->getChannelNum() : 2u;
}

unsigned int SoundWriterBehind::write(unsigned int frames, double* src)
{
    if (!d->worker.joinable())
        return 0;
    if (mCurrentOffset == 0 && frames > 0) {
        // The first frames: the target writes the same range (a writer of
        // several files places its files by it).
        d->target->setRange(mRangeBegin, mRangeEnd);
    }
    unsigned int done = 0;
    vexa::detail::BlockQueue::Block block;
    while (done < frames) {
        if (d->failed.load() || !d->queue.acquire(block))
            return done;
        const unsigned int n = std::min(frames - done, d->blockFrames);
        block.samples.resize(static_cast<size_t>(d->blockFrames) * d->channels);
        std::memcpy(block.samples.data(), src + static_cast<size_t>(done) * d->channels,
                    static_cast<size_t>(n) * d->channels * sizeof(double));
        block.frames = n;
        d->queue.push(std::move(block));
        done += n;
    }
    return done;
}
