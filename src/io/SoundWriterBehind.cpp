#include "SoundWriterBehind.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct SoundWriterBehind::Private {
    std::unique_ptr<SoundWriter> target;
    unsigned int blockFrames;
    unsigned int blocks;
    unsigned int channels = 2;

    struct Block {
        std::vector<double> samples; // interleaved, `channels` per frame
        unsigned int frames = 0;
    };
    std::deque<Block> pending;
    std::vector<Block> spare;
    bool busy = false;     // the thread is writing a block
    bool closing = false;  // no more blocks: the thread ends when done
    bool failed = false;
    std::mutex lock;
    std::condition_variable changed;
    std::thread worker;

    // Waits for every block to be written and ends the thread.
    void finish()
    {
        if (!worker.joinable())
            return;
        {
            std::lock_guard<std::mutex> guard(lock);
            closing = true;
        }
        changed.notify_all();
        worker.join();
        closing = false;
    }
};

void SoundWriterBehind::writeBehind(Private* d)
{
    for (;;) {
        Private::Block block;
        {
            std::unique_lock<std::mutex> guard(d->lock);
            d->changed.wait(guard, [d] { return d->closing || !d->pending.empty(); });
            if (d->pending.empty())
                return; // closing, and everything written
            block = std::move(d->pending.front());
            d->pending.pop_front();
            d->busy = true;
        }
        bool ok = true;
        if (!d->failed) {
            const unsigned int n = writeTo(d->target.get(), block.frames, block.samples.data());
            advanceOffset(d->target.get(), static_cast<int>(n));
            ok = n == block.frames;
        }
        {
            std::lock_guard<std::mutex> guard(d->lock);
            if (!ok)
                d->failed = true;
            d->busy = false;
            d->spare.push_back(std::move(block));
        }
        d->changed.notify_all();
    }
}

SoundWriterBehind::SoundWriterBehind(SoundWriter* target, unsigned int blockFrames, unsigned int blocks)
    : SoundWriter(target ? target->getSampleRate() : 44100)
    , d(new Private)
{
    d->target.reset(target);
    d->blockFrames = std::max(1u, blockFrames);
    d->blocks = std::max(1u, blocks);
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
    std::lock_guard<std::mutex> guard(d->lock);
    return d->failed;
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
    d->failed = false;
    d->worker = std::thread(&SoundWriterBehind::writeBehind, d.get());
    return s;
}

void SoundWriterBehind::close()
{
    if (!d->target)
        return;
    const bool wasOpen = d->worker.joinable();
    d->finish();
    if (wasOpen) {
        d->target->close();
        mClipped = d->target->getClippedSamples();
    }
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
    while (done < frames) {
        Private::Block block;
        {
            std::unique_lock<std::mutex> guard(d->lock);
            d->changed.wait(guard, [this] { return d->failed || d->pending.size() < d->blocks; });
            if (d->failed)
                return done;
            if (!d->spare.empty()) {
                block = std::move(d->spare.back());
                d->spare.pop_back();
            }
        }
        const unsigned int n = std::min(frames - done, d->blockFrames);
        const size_t values = static_cast<size_t>(n) * d->channels;
        block.samples.resize(static_cast<size_t>(d->blockFrames) * d->channels);
        std::memcpy(block.samples.data(), src + static_cast<size_t>(done) * d->channels, values * sizeof(double));
        block.frames = n;
        {
            std::lock_guard<std::mutex> guard(d->lock);
            d->pending.push_back(std::move(block));
        }
        d->changed.notify_all();
        done += n;
    }
    return done;
}
