#include "SoundReaderAhead.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct SoundReaderAhead::Private {
    std::unique_ptr<SoundReader> source;
    unsigned int blockFrames;
    unsigned int blocks;

    // Blocks decoded and not yet taken, in order; a block shorter than
    // blockFrames is the last one. Free blocks wait in `spare`.
    struct Block {
        std::vector<double> samples; // interleaved stereo
        unsigned int frames = 0;
    };
    std::deque<Block> ready;
    std::vector<Block> spare;
    Block current;           // the block being taken by read
    unsigned int taken = 0;  // frames of `current` already taken
    bool finished = false;   // `current` is the last block
    bool stopping = false;
    std::mutex lock;
    std::condition_variable changed;
    std::thread worker;

    void stop()
    {
        if (!worker.joinable())
            return;
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
        stopping = false;
    }

    void reset()
    {
        for (Block& b : ready)
            spare.push_back(std::move(b));
        ready.clear();
        current.frames = 0;
        taken = 0;
        finished = false;
    }
};

// The decoding thread: fills free blocks from the source until the source
// comes back short (its end, or a failure) or the reader stops it.
void SoundReaderAhead::decodeAhead(Private* d)
{
    for (;;) {
        Private::Block block;
        {
            std::unique_lock<std::mutex> guard(d->lock);
            d->changed.wait(guard, [d] { return d->stopping || d->ready.size() < d->blocks; });
            if (d->stopping)
                return;
            if (!d->spare.empty()) {
                block = std::move(d->spare.back());
                d->spare.pop_back();
            }
        }
        block.samples.resize(2 * static_cast<size_t>(d->blockFrames));
        block.frames = d->source->read(d->blockFrames, block.samples.data());
        const bool last = block.frames < d->blockFrames;
        {
            std::lock_guard<std::mutex> guard(d->lock);
            d->ready.push_back(std::move(block));
        }
        d->changed.notify_all();
        if (last)
            return;
    }
}

SoundReaderAhead::SoundReaderAhead(SoundReader* source, unsigned int blockFrames, unsigned int blocks)
    : d(new Private)
{
    d->source.reset(source);
    d->blockFrames = std::max(1u, blockFrames);
    d->blocks = std::max(1u, blocks);
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
    d->stop();
    d->reset();
    const SoundTools::Status s = d->source ? d->source->open(fileName) : SoundTools::StatusError;
    mOffset = d->source ? d->source->getOffset() : 0;
    resetAtEnd();
    return s;
}

void SoundReaderAhead::close()
{
    d->stop();
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
    d->stop();
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
    // The decoder's handle is not shared with the thread while it runs.
    d->stop();
    const bool found = d->source && d->source->getTags(tags);
    return found;
}

unsigned int SoundReaderAhead::read(unsigned int frames, double* dst)
{
    if (!d->source)
        return 0;
    if (!d->worker.joinable() && !d->finished)
        d->worker = std::thread(&SoundReaderAhead::decodeAhead, d.get());
    unsigned int done = 0;
    while (done < frames) {
        if (d->taken == d->current.frames) {
            if (d->finished)
                break;
            // The current block is used up: take the next one. The thread
            // always queues a last, short block before it ends.
            std::unique_lock<std::mutex> guard(d->lock);
            d->changed.wait(guard, [this] { return !d->ready.empty(); });
            if (!d->current.samples.empty())
                d->spare.push_back(std::move(d->current));
            d->current = std::move(d->ready.front());
            d->ready.pop_front();
            d->taken = 0;
            d->finished = d->current.frames < d->blockFrames;
            guard.unlock();
            d->changed.notify_all();
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
