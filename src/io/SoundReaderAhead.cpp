#include "SoundReaderAhead.h"

#include "detail/BlockQueue.h"

#include <algorithm>
#include <cstring>
#include <thread>

struct SoundReaderAhead::Private {
    explicit Private(unsigned int blocks) : queue(blocks) {}

    std::unique_ptr<SoundReader> source;
    unsigned int blockFrames = 1;
    // Blocks decoded and not taken yet; a block shorter than blockFrames is
    // the last one.
    vexa::detail::BlockQueue queue;
    vexa::detail::BlockQueue::Block current; // the block being taken by read
    unsigned int taken = 0;                 // frames of `current` already taken
    bool finished = false;                  // `current` is the last block
    std::thread worker;

    // Ends the thread; the blocks it decoded stay queued.
    void stop()
    {
        if (!worker.joinable())
            return;
        queue.close();
        worker.join();
    }

    // Stops the thread and forgets what it decoded.
    void reset()
    {
        stop();
        queue.clear();
        current.frames = 0;
        taken = 0;
        finished = false;
    }
};

// The decoding thread: fills blocks from the source until the source comes
// back short (its end, or a failure) or the reader stops it.
void SoundReaderAhead::decodeAhead(Private* d)
{
    vexa::detail::BlockQueue::Block block;
    while (d->queue.acquire(block)) {
        block.samples.resize(2 * static_cast<size_t>(d->blockFrames));
        block.frames = d->source->read(d->blockFrames, block.samples.data());
        const bool last = block.frames < d->blockFrames;
        d->queue.push(std::move(block));
        if (last)
            return;
    }
}

SoundReaderAhead::SoundReaderAhead(SoundReader* source, unsigned int blockFrames, unsigned int blocks)
    : d(new Private(blocks))
{
    d->source.reset(source);
    d->blockFrames = std::max(1u, blockFrames);
}

SoundReaderAhead::~SoundReaderAhead()
{
    d->stop();
}

SoundReader* SoundReaderAhead::getSource() const
{
    return d->source.get();
}

SoundTools::Status SoundReaderAhead::open(QString fileName)
{
    d->reset();
    const SoundTools::Status s = d->source ? d->source->open(fileName) : SoundTools::StatusError;
    mOffset = d->source ? d->source->getOffset() : 0;
    resetAtEnd();
    return s;
}

void SoundReaderAhead::close()
{
    d->reset();
    if (d->source)
        d->source->close();
}

unsigned int SoundReaderAhead::getFrameNB()
{
    return d->source ? d->source->getFrameNB() : 0u;
}

unsigned int SoundReaderAhead::getSampleRate()
{
    return d->source ? d->source->getSampleRate() : 0u;
}

void SoundReaderAhead::rewind()
{
    d->reset();
    if (!d->source)
        return;
    d->source->setStartPoint(getStartPoint());
    d->source->rewind();
    mOffset = d->source->getOffset();
    resetAtEnd();
}

SoundTools::SoundFormat SoundReaderAhead::getInputFormat()
{
    return d->source ? d->source->getInputFormat() : SoundTools::PCM16;
}

bool SoundReaderAhead::getTags(SoundIDTag& tags)
{
    // The decoder's handle is not shared with the thread while it runs: the
    // thread stops (what it decoded stays queued) and starts again with the
    // next read.
    d->stop();
    return d->source && d->source->getTags(tags);
}

unsigned int SoundReaderAhead::read(unsigned int frames, double* dst)
{
    if (!d->source)
        return 0;
    if (!d->worker.joinable() && !d->finished) {
        d->queue.open();
        d->worker = std::thread(&SoundReaderAhead::decodeAhead, d.get());
    }
    unsigned int done = 0;
    while (done < frames) {
        if (d->taken == d->current.frames) {
            if (d->finished)
                break;
            // The current block is used up: take the next one. The thread
            // always queues a last, short block before it ends.
            if (!d->current.samples.empty())
                d->queue.recycle(std::move(d->current));
            if (!d->queue.pop(d->current))
                break;
            d->taken = 0;
            d->finished = d->current.frames < d->blockFrames;
            continue;
        }
        const unsigned int n = std::min(frames - done, d->current.frames - d->taken);
        std::memcpy(dst + 2 * static_cast<size_t>(done), d->current.samples.data() + 2 * static_cast<size_t>(d->taken),
                    2 * static_cast<size_t>(n) * sizeof(double));
        d->taken += n;
        done += n;
    }
    return done;
}
