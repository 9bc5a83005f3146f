#include "SoundAlgoDevice.h"

#include "SoundAlgoBypass.h"
#include "detail/SyncAnnotations.h"

#include <QDebug>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <system_error>

using vexa_detail::ReadLocker;
using vexa_detail::WriteLocker;

std::atomic<int> SoundAlgoDevice::sCurrentSize{3};

namespace {

// End of the playable part of a block: its last out-overlap frames are not
// final yet and come again at the head of the next block.
int playableEnd(const SoundBuffer& b, unsigned int outOverlap)
{
    return b.getOrigin() + static_cast<int>(b.getFrameNB()) - static_cast<int>(outOverlap);
}

inline int16_t toPcm16(double v)
{
    const double s = v * 32768.0;
    if (s >= 32767.0)
        return 32767;
    if (s <= -32768.0)
        return -32768;
    if (s != s) // NaN from a diverging filter: silence rather than noise
        return 0;
    return static_cast<int16_t>(s); // truncation toward zero
}

inline void storeLE16(char* p, int16_t v)
{
    const auto u = static_cast<uint16_t>(v);
    p[0] = static_cast<char>(u & 0xff);
    p[1] = static_cast<char>(u >> 8);
}

} // namespace

SoundAlgoDevice::SoundAlgoDevice(std::shared_ptr<SoundReader> reader, SoundAlgo* algo)
    : mReader(std::move(reader))
    , mFreeSlots(sCurrentSize.load())
    , mFilledSlots(sCurrentSize.load())
{
    mRing.resize(static_cast<size_t>(sCurrentSize.load()));
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

bool SoundAlgoDevice::isPlayable(SoundTools::Status status)
{
    return status == SoundTools::StatusOk || status == SoundTools::StatusFinished ||
           status == SoundTools::StatusFinishedContinuous;
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
    wakeReader();
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
    if (wake) {
        vexa_detail::semRelease(mFilledSlots);
        wakeReader();
    }
}

// ---------------------------------------------------------------------------
// Filters

void SoundAlgoDevice::addFilter(std::shared_ptr<SoundTools::Filter> filter)
{
    WriteLocker lock(mStateLock);
    mFilters.push_back(std::move(filter));
}

void SoundAlgoDevice::setFilter(unsigned int index, std::shared_ptr<SoundTools::Filter> filter)
{
    WriteLocker lock(mStateLock);
    if (index >= mFilters.size()) {
        qDebug() << "Error in setFilter fsize=" << mFilters.size() << "," << index;
        return;
    }
    mFilters[index] = std::move(filter);
}

void SoundAlgoDevice::setFilters(std::vector<std::shared_ptr<SoundTools::Filter>> filters)
{
    WriteLocker lock(mStateLock);
    mFilters.swap(filters);
}

void SoundAlgoDevice::clearFilters()
{
    WriteLocker lock(mStateLock);
    mFilters.clear();
}

bool SoundAlgoDevice::hasFilters() const
{
    ReadLocker lock(mStateLock);
    return !mFilters.empty();
}

unsigned int SoundAlgoDevice::getFilterNumber() const
{
    ReadLocker lock(mStateLock);
    return static_cast<unsigned int>(mFilters.size());
}

std::shared_ptr<SoundTools::Filter> SoundAlgoDevice::getFilter(unsigned int index) const
{
    ReadLocker lock(mStateLock);
    return index < mFilters.size() ? mFilters[index] : nullptr;
}

double SoundAlgoDevice::getFilterGain(unsigned int index) const
{
    ReadLocker lock(mStateLock);
    if (index >= mFilters.size() || !mFilters[index])
        return 1.0;
    return mFilters[index]->getGain();
}

void SoundAlgoDevice::resetFilterGain(unsigned int index)
{
    WriteLocker lock(mStateLock);
    if (index < mFilters.size() && mFilters[index])
        mFilters[index]->setGain(1.0);
}

void SoundAlgoDevice::lockAlgo()
{
    vexa_detail::lockWrite(mAlgoLock);
}

void SoundAlgoDevice::unlockAlgo()
{
    vexa_detail::unlockWrite(mAlgoLock);
}

// ---------------------------------------------------------------------------
// Starting and stopping

void SoundAlgoDevice::resetRing()
{
    const size_t size = mRing.size();
    const unsigned int sampleRate = getSampleRate();
    {
        WriteLocker lock(mStateLock);
        for (auto& slot : mRing)
            slot = SoundBuffer::createNew(sampleRate);
        mFreeSlotPool.assign(mRing.begin(), mRing.end());
        mPending.clear();
        mCurrent = Slot();
        mCurrentReleased = true;
        mEndSignalled = false;
    }
    vexa_detail::semReset(mFreeSlots, static_cast<int>(size));
    vexa_detail::semReset(mFilledSlots, 0);
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
        mReadPos = reader->getOffset();
        ++mStream;
        mStreamStart = reader->getOffset();
        mPlayingStream = mStream;
        mOutOverlap = mLoop.outOverlap;
        mHaveWritten = false;
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
        wakeReader();
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
    if (wasRunning) {
        qDebug() << "stopping running device";
        vexa_detail::semRelease(mFreeSlots); // wakes a worker waiting for a slot
    }
    wakeReader();
    joinWorker();
    if (wasRunning) {
        WriteLocker lock(mStateLock);
        for (auto& slot : mRing)
            slot.reset();
        mFreeSlotPool.clear();
        mPending.clear();
        mCurrent = Slot();
        mCurrentReleased = true;
    }
    // Back to full: a reader blocked in readData wakes and sees the status.
    const int size = static_cast<int>(mRing.size());
    vexa_detail::semReset(mFreeSlots, size);
    vexa_detail::semReset(mFilledSlots, size);
    wakeReader();
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
        ++mStream;
        mStreamStart = next->getOffset();
        mOutOverlap = mLoop.outOverlap;
        mHaveWritten = false;
        mFramesToProcess = mLoop.frameNbToProcess;
        mFramesProcessed = 0;
        if (!keepRing) {
            mReadPos = mStreamStart;
            mPlayingStream = mStream;
        }
    }
    if (!keepRing)
        resetRing();
    qDebug() << "Reset";
    resetStatus();
    qDebug() << "Starting";
    launchThread();
    return true;
}

// ---------------------------------------------------------------------------
// Worker

void SoundAlgoDevice::MTStart()
{
    bool holding = false; // a free slot acquired and not yet filled
    for (;;) {
        if (getStatus() != SoundTools::StatusOk)
            break;
        if (!holding) {
            vexa_detail::semAcquire(mFreeSlots);
            holding = true;
            continue; // the status may have changed while waiting
        }
        if (loadBuffer()) {
            holding = false;
            vexa_detail::semRelease(mFilledSlots);
            wakeReader();
        }
    }
    if (holding)
        vexa_detail::semRelease(mFreeSlots);

    const SoundTools::Status st = getStatus();
    if (st != SoundTools::StatusFinishedContinuous) {
        // The end marker: nothing else will come.
        vexa_detail::semRelease(mFilledSlots);
    }
    mAlgo->endProcessLoop(mLoop);

    const bool finished = st == SoundTools::StatusFinished || st == SoundTools::StatusFinishedContinuous;
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
    wakeReader();
    if (finished)
        emit loadFinished(time);
    qDebug() << "device finished.";
}

bool SoundAlgoDevice::loadBuffer()
{
    SoundTools::Status st;
    vexa_detail::lockWrite(mAlgoLock);
    st = mAlgo->singleProcessLoop(*mReader, mLoop, nullptr);
    vexa_detail::unlockWrite(mAlgoLock);
    if (st == SoundTools::StatusFinished && mContinuousPlaying.load())
        st = SoundTools::StatusFinishedContinuous;

    std::shared_ptr<SoundBuffer> out = mLoop.outBuffer;
    bool fresh = false;
    std::shared_ptr<SoundBuffer> slot;
    {
        WriteLocker lock(mStateLock);
        // The frames processed count what is in the ring or still to come
        // (bytesAvailable): they move together with the block they include.
        mFramesToProcess = mLoop.frameNbToProcess;
        if (st != SoundTools::StatusOk) {
            qDebug() << "loadBuffer status " << st;
            if (st != SoundTools::StatusFinished && st != SoundTools::StatusFinishedContinuous) {
                mFramesProcessed = mLoop.frameNbProcessed;
                if (mStatus == SoundTools::StatusOk)
                    mStatus = st;
                return false;
            }
        }
        // A loop that ends without processing a block leaves the previous
        // output in place: only frames past what the ring got are new.
        fresh = out && out->getFrameNB() > 0 &&
                (!mHaveWritten || playableEnd(*out, mOutOverlap) > mLastWrittenEnd);
        if (fresh && !mFreeSlotPool.empty()) {
            slot = mFreeSlotPool.front();
            mFreeSlotPool.pop_front();
        }
        if (!slot) {
            mFramesProcessed = mLoop.frameNbProcessed;
            if (mStatus == SoundTools::StatusOk)
                mStatus = st; // the status changes together with the last block below
        }
    }
    if (!slot)
        return false;

    // The slot belongs to the worker until it is published.
    *slot = *out;
    {
        WriteLocker lock(mStateLock);
        mPending.push_back(Slot{slot, mStream, mStreamStart});
        mFramesProcessed = mLoop.frameNbProcessed;
        mLastWrittenEnd = playableEnd(*slot, mOutOverlap);
        mHaveWritten = true;
        // The end of the stream becomes visible together with its last block.
        if (mStatus == SoundTools::StatusOk)
            mStatus = st;
        qDebug() << mPending.size() << " written";
    }
    return true;
}

// ---------------------------------------------------------------------------
// Audio side

void SoundAlgoDevice::wakeReader()
{
    std::lock_guard<std::mutex> lock(mWaitMutex);
    mWaitCv.notify_all();
}

void SoundAlgoDevice::signalEnd()
{
    bool first = false;
    {
        WriteLocker lock(mStateLock);
        first = !mEndSignalled;
        mEndSignalled = true;
    }
    if (first)
        emit readChannelFinished();
}

qint64 SoundAlgoDevice::readData(char* data, qint64 maxSize)
{
    // Only whole frames are delivered.
    if (maxSize < 4)
        return 0;
    qint64 total = 0;
    for (;;) {
        const SoundTools::Status status = getStatus();
        if (!isPlayable(status)) {
            vexa_detail::semRelease(mFreeSlots);
            qDebug() << "readData:status " << status;
            signalEnd();
            return total;
        }

        std::shared_ptr<SoundBuffer> cur;
        int readPos = 0;
        unsigned int outOverlap = 0;
        {
            ReadLocker lock(mStateLock);
            cur = mCurrent.buffer;
            readPos = mReadPos;
            outOverlap = mOutOverlap;
        }

        // Frames before a block's origin do not exist: a gap is skipped.
        if (cur && readPos < cur->getOrigin())
            readPos = cur->getOrigin();
        if (!cur || playableEnd(*cur, outOverlap) <= readPos) {
            // The current slot is played: hand it back to the worker.
            bool released = false;
            size_t pending = 0;
            {
                WriteLocker lock(mStateLock);
                if (mCurrent.buffer && !mCurrentReleased) {
                    mFreeSlotPool.push_back(mCurrent.buffer);
                    mCurrentReleased = true;
                    released = true;
                }
                pending = mPending.size();
            }
            if (released) {
                vexa_detail::semRelease(mFreeSlots);
                qDebug() << "loading ; read avail :" << mFilledSlots.available()
                         << " write avail :" << mFreeSlots.available();
            }

            if (pending == 0) {
                if (status == SoundTools::StatusFinished) {
                    signalEnd();
                    return total;
                }
                if (status == SoundTools::StatusOk) {
                    // Ran dry: wait for a larger reserve before playing again.
                    int prefill = 1;
                    {
                        WriteLocker lock(mStateLock);
                        if (mCurrent.buffer && mPrefill < static_cast<int>(mRing.size()))
                            ++mPrefill;
                        prefill = mPrefill;
                    }
                    std::unique_lock<std::mutex> wait(mWaitMutex);
                    for (;;) {
                        {
                            ReadLocker lock(mStateLock);
                            if (mStatus != SoundTools::StatusOk ||
                                mPending.size() >= static_cast<size_t>(prefill))
                                break;
                        }
                        mWaitCv.wait_for(wait, std::chrono::milliseconds(250));
                    }
                }
            }

            vexa_detail::semAcquire(mFilledSlots);
            SoundTools::Status now;
            bool gotBlock = false;
            {
                WriteLocker lock(mStateLock);
                now = mStatus;
                if (isPlayable(now) && !mPending.empty()) {
                    mCurrent = mPending.front();
                    mPending.pop_front();
                    mCurrentReleased = false;
                    if (mCurrent.stream != mPlayingStream) {
                        // First block of the next stream.
                        mPlayingStream = mCurrent.stream;
                        mReadPos = mCurrent.streamStart;
                    }
                    gotBlock = true;
                }
            }
            if (!gotBlock) {
                // The end marker, a stop or a failure: nothing more to play.
                qDebug() << "readData:status " << now;
                signalEnd();
                return total;
            }
            continue;
        }

        const qint64 n = std::min<qint64>(playableEnd(*cur, outOverlap) - readPos, (maxSize - total) / 4);
        SoundTools::StereoFrame<double>* frames = cur->getStereoFrame(readPos);
        {
            // Kernels keep state (history, clip gain): filtering writes them.
            WriteLocker lock(mStateLock);
            for (auto& f : mFilters)
                if (f)
                    f->filter(frames, frames, static_cast<unsigned int>(n));
        }
        char* dst = data + total;
        for (qint64 i = 0; i < n; ++i) {
            storeLE16(dst + 4 * i, toPcm16(frames[i].left));
            storeLE16(dst + 4 * i + 2, toPcm16(frames[i].right));
        }
        {
            WriteLocker lock(mStateLock);
            if (mCurrent.buffer == cur)
                mReadPos = readPos + static_cast<int>(n);
        }
        total += 4 * n;
        if (maxSize - total < 4)
            return total;
    }
}

qint64 SoundAlgoDevice::writeData(const char*, qint64)
{
    return 0;
}

qint64 SoundAlgoDevice::framesLeftLocked() const
{
    qint64 left = 0;
    int pos = mReadPos;
    int stream = mPlayingStream;
    auto count = [&](const Slot& s) {
        if (!s.buffer)
            return;
        if (s.stream != stream) {
            stream = s.stream;
            pos = s.streamStart;
        }
        const int begin = std::max(pos, s.buffer->getOrigin());
        const int end = playableEnd(*s.buffer, mOutOverlap);
        if (end > begin) {
            left += end - begin;
            pos = end;
        }
    };
    count(mCurrent);
    for (const Slot& s : mPending)
        count(s);
    return left;
}

qint64 SoundAlgoDevice::bytesAvailable() const
{
    ReadLocker lock(mStateLock);
    qint64 frames = framesLeftLocked();
    if (mStatus == SoundTools::StatusOk && mFramesToProcess > mFramesProcessed)
        frames += mFramesToProcess - mFramesProcessed;
    return 4 * frames;
}

bool SoundAlgoDevice::atEnd() const
{
    ReadLocker lock(mStateLock);
    // A continuous run that waits for its next stream is not at its end.
    return mStatus != SoundTools::StatusOk && mStatus != SoundTools::StatusFinishedContinuous &&
           framesLeftLocked() == 0;
}

void SoundAlgoDevice::addResource()
{
    const unsigned int sampleRate = getSampleRate();
    int size = 0;
    {
        WriteLocker lock(mStateLock);
        size = static_cast<int>(mRing.size()) + 1;
        int expected = sCurrentSize.load();
        while (expected < size && !sCurrentSize.compare_exchange_weak(expected, size)) {
        }
        auto slot = SoundBuffer::createNew(sampleRate);
        mRing.push_back(slot);
        mFreeSlotPool.push_back(slot);
    }
    qDebug() << "buffer number set to " << size;
    vexa_detail::semRelease(mFreeSlots);
}
