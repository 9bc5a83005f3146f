#include "SoundAlgoDevice.h"

#include "SoundAlgoBypass.h"
#include "detail/BlockRing.h"
#include "detail/Pcm16.h"
#include "detail/SyncAnnotations.h"

#include <QDebug>

#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>

using vexa::detail::BlockClaim;
using vexa::detail::BlockRing;
using vexa::detail::ReadLocker;
using vexa::detail::WriteLocker;

std::atomic<int> SoundAlgoDevice::sCurrentSize{3};

namespace {

// End of the playable part of a block: its last out-overlap frames are not
// final yet and come again at the head of the next block.
int playableEnd(const SoundBuffer& b, unsigned int outOverlap)
{
    return b.getOrigin() + static_cast<int>(b.getFrameNB()) - static_cast<int>(outOverlap);
}

bool isEnd(SoundTools::Status status)
{
    return status == SoundTools::StatusFinished || status == SoundTools::StatusFinishedContinuous;
}

} // namespace

SoundAlgoDevice::SoundAlgoDevice(std::shared_ptr<SoundReader> reader, SoundAlgo* algo)
    : mRing(std::make_unique<BlockRing>(sCurrentSize.load()))
    , mReader(std::move(reader))
{
    if (algo) {
        mAlgo = algo;
        mAlgo->addRef();
    } else {
        mAlgo = new SoundAlgoBypass();
    }
}

SoundAlgoDevice::~SoundAlgoDevice()
{
    stop();
    mAlgo->release();
    mAlgo = nullptr;
}

// ---------------------------------------------------------------------------
// Status and accessors

SoundTools::Status SoundAlgoDevice::getStatus() const
{
    ReadLocker lock(mStateLock);
    return mStatus;
}

void SoundAlgoDevice::setStatus(SoundTools::Status status)
{
    {
        WriteLocker lock(mStateLock);
        if (mStatus == SoundTools::StatusOk)
            mStatus = status;
    }
    wakeWaiters();
}

void SoundAlgoDevice::resetStatus()
{
    WriteLocker lock(mStateLock);
    mStatus = SoundTools::StatusOk;
}

bool SoundAlgoDevice::isRunning() const
{
    ReadLocker lock(mStateLock);
    return mRunning > 0;
}

int SoundAlgoDevice::getThread() const
{
    ReadLocker lock(mStateLock);
    return mRunning;
}

void SoundAlgoDevice::setThread(int running)
{
    WriteLocker lock(mStateLock);
    mRunning = running;
}

unsigned int SoundAlgoDevice::getSampleRate() const
{
    std::shared_ptr<SoundReader> reader = getReader();
    return reader ? reader->getSampleRate() : 44100u;
}

std::shared_ptr<SoundReader> SoundAlgoDevice::getReader() const
{
    ReadLocker lock(mStateLock);
    return mReader;
}

void SoundAlgoDevice::statusFinished()
{
    bool wake = false;
    {
        WriteLocker lock(mStateLock);
        if (mStatus == SoundTools::StatusFinishedContinuous) {
            mStatus = SoundTools::StatusFinished;
            wake = true;
        }
    }
    if (wake)
        wakeWaiters();
}

// ---------------------------------------------------------------------------
// Starting and stopping

void SoundAlgoDevice::resetRing()
{
    const unsigned int sampleRate = getSampleRate();
    WriteLocker lock(mStateLock);
    mRing->reset(sampleRate);
}

void SoundAlgoDevice::start()
{
    if (isRunning())
        return;
    std::shared_ptr<SoundReader> reader = getReader();
    if (!reader) {
        setError(QStringLiteral("no reader to play"), "SoundAlgoDevice::start");
        WriteLocker lock(mStateLock);
        mStatus = SoundTools::StatusError;
        return;
    }
    // A worker that has ended may still be returning from its last signal.
    joinWorker();
    reader->rewind();
    const SoundTools::Status st = mAlgo->initProcessLoop(*reader, mLoop);
    {
        WriteLocker lock(mStateLock);
        mStatus = st;
        mRing->beginStream(reader->getOffset(), true);
        mFramesDone = 0;
        mFramesToProcess = mLoop.frameNbToProcess;
        mFramesProcessed = 0;
    }
    if (st != SoundTools::StatusOk)
        return;
    resetRing();
    if (!isOpen())
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    launchThread();
}

void SoundAlgoDevice::launchThread()
{
    {
        WriteLocker lock(mStateLock);
        if (mRunning > 0)
            return;
        // Marked running before the thread exists, so that a caller asking
        // right after start() never sees a stopped device and starts it twice.
        mRunning = 1;
    }
    joinWorker();
    qDebug() << "device launched.";
    try {
        mWorker = std::thread([this] { MTStart(); });
    } catch (const std::system_error& e) {
        setError(QString::fromLocal8Bit(e.what()), "SoundAlgoDevice::launchThread");
        {
            WriteLocker lock(mStateLock);
            mRunning = 0;
            if (mStatus == SoundTools::StatusOk)
                mStatus = SoundTools::StatusError;
        }
        wakeWaiters();
    }
}

void SoundAlgoDevice::joinWorker()
{
    if (!mWorker.joinable())
        return;
    if (mWorker.get_id() == std::this_thread::get_id())
        mWorker.detach(); // called from the worker's own last signal
    else
        mWorker.join();
}

void SoundAlgoDevice::stop()
{
    MTStop();
    if (isOpen()) {
        close();
        qDebug() << "Device closed";
    }
}

void SoundAlgoDevice::MTStop()
{
    const bool wasRunning = isRunning();
    {
        // A device waiting for the next stream of a continuous run ends too.
        WriteLocker lock(mStateLock);
        if (mStatus == SoundTools::StatusOk || mStatus == SoundTools::StatusFinishedContinuous)
            mStatus = SoundTools::StatusStopped;
    }
    if (wasRunning)
        qDebug() << "stopping running device";
    // The worker waiting for a slot and readData waiting for blocks both see
    // the status and end.
    wakeWaiters();
    joinWorker();
    if (wasRunning) {
        WriteLocker lock(mStateLock);
        mRing->clear();
    }
}

bool SoundAlgoDevice::setReader(std::shared_ptr<SoundReader> next)
{
    std::shared_ptr<SoundReader> current = getReader();
    if (!next || !current || next->getSampleRate() != current->getSampleRate()) {
        qDebug() << "Incorrect frame rate";
        return false;
    }
    qDebug() << "Stopping";
    const bool wasRunning = isRunning();
    // After a continuous stream the ring still holds its last blocks, which
    // play before the new stream. In any other state it starts afresh.
    const bool keepRing = !wasRunning && getStatus() == SoundTools::StatusFinishedContinuous;
    if (wasRunning)
        MTStop();
    else
        joinWorker();
    qDebug() << "Stopped";

    {
        WriteLocker lock(mStateLock);
        mReader = next;
    }
    if (mAlgo->initProcessLoop(*next, mLoop) != SoundTools::StatusOk)
        return false;
    {
        WriteLocker lock(mStateLock);
        mRing->beginStream(next->getOffset(), !keepRing);
        mFramesToProcess = mLoop.frameNbToProcess;
        mFramesProcessed = 0;
    }
    if (!keepRing)
        resetRing();
    qDebug() << "Reset";
    resetStatus();
    qDebug() << "Starting";
    launchThread();
    return true;
}

void SoundAlgoDevice::addResource()
{
    const unsigned int sampleRate = getSampleRate();
    int size = 0;
    {
        WriteLocker lock(mStateLock);
        mRing->addSlot(sampleRate);
        size = mRing->slotCount();
        int expected = sCurrentSize.load();
        while (expected < size && !sCurrentSize.compare_exchange_weak(expected, size)) {
        }
    }
    qDebug() << "buffer number set to " << size;
    wakeWaiters();
}

// ---------------------------------------------------------------------------
// Waiting: a waiter checks its condition under the state lock while it holds
// mWaitMutex, and a thread that changes the state takes mWaitMutex to notify
// once it has released the state lock, so no wake-up falls between the
// check and the wait.

void SoundAlgoDevice::wakeWaiters()
{
    std::lock_guard<std::mutex> lock(mWaitMutex);
    mWaitCv.notify_all();
}

template <typename Ready>
void SoundAlgoDevice::waitUntil(Ready ready)
{
    std::unique_lock<std::mutex> wait(mWaitMutex);
    for (;;) {
        {
            ReadLocker lock(mStateLock);
            if (ready())
                return;
        }
        // Every change a waiter looks for is followed by wakeWaiters; the
        // bound only limits the harm of a wake-up that goes astray.
        mWaitCv.wait_for(wait, std::chrono::milliseconds(250));
    }
}

// ---------------------------------------------------------------------------
// Worker

void SoundAlgoDevice::MTStart()
{
    while (waitForFreeSlot()) {
        loadBuffer();
        wakeWaiters(); // a new block, or the end of the stream
    }
    finishRun();
}

bool SoundAlgoDevice::waitForFreeSlot()
{
    bool go = false;
    waitUntil([this, &go] {
        go = mStatus == SoundTools::StatusOk && mRing->hasFree();
        return go || mStatus != SoundTools::StatusOk;
    });
    return go;
}

SoundTools::Status SoundAlgoDevice::runLoopStep()
{
    vexa::detail::lockWrite(mAlgoLock);
    SoundTools::Status st = mAlgo->singleProcessLoop(*mReader, mLoop, nullptr);
    vexa::detail::unlockWrite(mAlgoLock);
    if (st == SoundTools::StatusFinished && mContinuousPlaying.load())
        st = SoundTools::StatusFinishedContinuous;
    if (st != SoundTools::StatusOk)
        qDebug() << "loadBuffer status " << st;
    return st;
}

void SoundAlgoDevice::loadBuffer()
{
    const SoundTools::Status st = runLoopStep();
    const std::shared_ptr<SoundBuffer> out = mLoop.outBuffer;
    const int playEnd = out ? playableEnd(*out, mLoop.outOverlap) : 0;
    std::shared_ptr<SoundBuffer> slot;
    {
        WriteLocker lock(mStateLock);
        // The frames processed count what is in the ring or still to come
        // (bytesAvailable): they move together with the block they include.
        mFramesToProcess = mLoop.frameNbToProcess;
        const bool usable = st == SoundTools::StatusOk || isEnd(st);
        if (usable && out && out->getFrameNB() > 0 && mRing->isNew(playEnd))
            slot = mRing->takeFree();
        if (!slot) {
            mFramesProcessed = mLoop.frameNbProcessed;
            if (mStatus == SoundTools::StatusOk)
                mStatus = st;
            return;
        }
    }
    *slot = *out; // the slot is the worker's until published
    int pending = 0;
    {
        WriteLocker lock(mStateLock);
        mRing->publish(slot, playEnd);
        mFramesProcessed = mLoop.frameNbProcessed;
        // The end of the stream becomes visible together with its last block.
        if (mStatus == SoundTools::StatusOk)
            mStatus = st;
        pending = mRing->pendingCount();
    }
    qDebug() << pending << " written";
}

void SoundAlgoDevice::finishRun()
{
    const SoundTools::Status st = getStatus();
    mAlgo->endProcessLoop(mLoop);
    const bool finished = isEnd(st);
    double time = 0.0;
    {
        WriteLocker lock(mStateLock);
        if (finished) {
            mFramesDone += static_cast<int>(mLoop.frameNbProcessed);
            time = mLoop.sampleRate ? static_cast<double>(mFramesDone) / mLoop.sampleRate : 0.0;
        }
        // From here on the worker touches nothing of the loop: the owner may
        // call setReader (even from a handler of loadFinished).
        mRunning = 0;
    }
    wakeWaiters();
    if (finished)
        emit loadFinished(time);
    qDebug() << "device finished.";
}

// ---------------------------------------------------------------------------
// Audio side

qint64 SoundAlgoDevice::readData(char* data, qint64 maxSize)
{
    // Only whole frames are delivered.
    const qint64 room = maxSize / 4;
    qint64 done = 0;
    while (done < room) {
        const BlockClaim chunk = nextChunk(room - done);
        if (chunk.freedSlot)
            wakeWaiters();
        if (chunk.kind == BlockClaim::Wait) {
            waitForBlocks();
            continue;
        }
        if (chunk.kind == BlockClaim::End) {
            qDebug() << "readData:status " << getStatus();
            if (chunk.firstEnd)
                emit readChannelFinished();
            break;
        }
        vexa::detail::storeStereoPcm16(chunk.frames, static_cast<size_t>(chunk.count), data + 4 * done);
        done += chunk.count;
    }
    return 4 * done;
}

BlockClaim SoundAlgoDevice::nextChunk(qint64 maxFrames)
{
    WriteLocker lock(mStateLock);
    BlockClaim chunk = mRing->claim(mStatus, static_cast<int>(std::min<qint64>(maxFrames, INT_MAX)));
    if (chunk.kind == BlockClaim::Play) {
        // Kernels keep state (history, clip gain): filtering writes them.
        for (auto& f : mFilters)
            if (f)
                f->filter(chunk.frames, chunk.frames, static_cast<unsigned int>(chunk.count));
    }
    return chunk;
}

void SoundAlgoDevice::waitForBlocks()
{
    waitUntil([this] { return mRing->waitOver(mStatus); });
}

qint64 SoundAlgoDevice::writeData(const char*, qint64)
{
    return 0;
}

qint64 SoundAlgoDevice::bytesAvailable() const
{
    ReadLocker lock(mStateLock);
    qint64 frames = mRing->framesLeft();
    if (mStatus == SoundTools::StatusOk && mFramesToProcess > mFramesProcessed)
        frames += mFramesToProcess - mFramesProcessed;
    return 4 * frames;
}

bool SoundAlgoDevice::atEnd() const
{
    ReadLocker lock(mStateLock);
    // A continuous run that waits for its next stream is not at its end.
    return mStatus != SoundTools::StatusOk && mStatus != SoundTools::StatusFinishedContinuous &&
           mRing->framesLeft() == 0;
}
