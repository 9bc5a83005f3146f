// Pull device that feeds an audio output from an algorithm graph.
//
// A worker thread reads the stream through a SoundReader, runs it block by
// block through a SoundAlgo graph (the processing loop's singleProcessLoop,
// under algoLock) and publishes every output block into a small ring of
// buffers. The audio output pulls bytes through readData on its own thread:
// frames are taken from the ring, run through the live filter list (the
// player's equalizer) and converted to interleaved signed 16-bit
// little-endian stereo. The ring and its protocol between the two threads
// are in detail/BlockRing.h; a thread that has to wait (the worker for a
// free slot, readData for blocks) sleeps until the other side wakes it.
// Once the input is exhausted the status says so, together with the last
// block, and readData ends when that block is played.
//
// In continuous-playing mode the end of a stream does not end the device:
// the worker stops with the status StatusFinishedContinuous and readData,
// once the ring is played, waits for setReader (the next stream follows
// without a gap) or statusFinished (the end).
#ifndef VEXA_SOUNDALGODEVICE_H
#define VEXA_SOUNDALGODEVICE_H

#include "SoundAlgo.h"
#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundFilter.h"
#include "SoundReader.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QIODevice>
#include <QReadWriteLock>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa::detail {
class BlockRing;
struct BlockClaim;
}

class VEXA_EXPORT SoundAlgoDevice : public QIODevice, private SoundDebuggableClass {
    Q_OBJECT

public:
    // A null algo plays the stream unchanged (a bypass node is made). The
    // device takes one reference on the graph and releases it when deleted.
    SoundAlgoDevice(std::shared_ptr<SoundReader> reader, SoundAlgo* algo);
    ~SoundAlgoDevice() override;

    // Rewinds the reader, prepares the processing loop, makes a fresh ring,
    // opens the device for reading and launches the worker. Nothing when the
    // worker already runs.
    void start();
    // Stops the worker and closes the device.
    void stop();

    // Continues with another stream of the same sample rate, which must be
    // open and positioned. After a continuous stream has ended the ring is
    // kept, so the new stream follows the frames still to play without a gap;
    // in any other state the worker is stopped and the ring starts afresh.
    // False (nothing changed) for a missing reader or another sample rate, or
    // when the loop cannot be prepared.
    bool setReader(std::shared_ptr<SoundReader> next);

    void setContinuousPlaying(bool on) { mContinuousPlaying.store(on); }
    bool getContinuousPlaying() const { return mContinuousPlaying.load(); }
    // Ends a continuous run: a device waiting for the next stream finishes.
    void statusFinished();

    SoundTools::Status getStatus() const;
    bool isRunning() const;
    int getThread() const;

    // The reader's sample rate; 44100 without a reader.
    unsigned int getSampleRate() const;
    std::shared_ptr<SoundReader> getReader() const;

    // Live filters, applied in order by readData. Safe from any thread.
    void addFilter(std::shared_ptr<SoundTools::Filter> filter);
    // An index beyond the list changes nothing (a debug line says so).
    void setFilter(unsigned int index, std::shared_ptr<SoundTools::Filter> filter);
    // Replaces the whole list at once, so that no block is played through a
    // partly built chain.
    void setFilters(std::vector<std::shared_ptr<SoundTools::Filter>> filters);
    void clearFilters();
    bool hasFilters() const;
    unsigned int getFilterNumber() const;
    // The filter at that index; null beyond the list.
    std::shared_ptr<SoundTools::Filter> getFilter(unsigned int index) const;
    // The filter's current gain; 1.0 beyond the list.
    double getFilterGain(unsigned int index) const;
    // setGain(1.0) on that filter (a clip filter ramps back to it).
    void resetFilterGain(unsigned int index);

    // Excludes the worker's graph steps while another thread changes the
    // graph (write lock on algoLock).
    void lockAlgo();
    void unlockAlgo();

    // Interleaved signed 16-bit little-endian stereo, 4 bytes a frame, only
    // whole frames. Samples are saturated to [-32768, 32767]. Blocks until
    // the worker has delivered when the ring is empty. Returns the bytes
    // written, which may be fewer than maxSize at the end of the data.
    qint64 readData(char* data, qint64 maxSize) override;
    // Bytes still to come: frames waiting in the ring plus frames the worker
    // has yet to produce, 4 bytes each.
    qint64 bytesAvailable() const override;
    // True once the stream has ended (or failed or was stopped) and every
    // frame of the ring has been played; false while a continuous run waits
    // for its next stream.
    bool atEnd() const override;
    bool isSequential() const override { return true; }

    // Number of slots of the rings of new devices (3 at start).
    static int getCurrentSize() { return sCurrentSize.load(); }

signals:
    // The input of a run is exhausted; time is the total played, in seconds.
    void loadFinished(double time);

protected:
    qint64 writeData(const char* data, qint64 maxSize) override;

    void launchThread();
    // Changes the status only while it is StatusOk.
    void setStatus(SoundTools::Status status);
    void resetStatus();
    void setThread(int running);
    // One more slot, for this device and for devices made from now on.
    void addResource();

private:
    void MTStart();
    void MTStop();
    bool waitForFreeSlot();
    void loadBuffer();
    SoundTools::Status runLoopStep();
    void finishRun();
    void joinWorker();
    // Fresh slots; with no worker running.
    void resetRing();
    // The next chunk of frames for readData, filtered: the audio side's one
    // pass under the state lock.
    vexa::detail::BlockClaim nextChunk(qint64 maxFrames);
    void waitForBlocks();
    // Wakes whichever thread waits (worker or readData); never under the
    // state lock.
    void wakeWaiters();
    // Sleeps until ready() holds; ready is checked under the state lock.
    template <typename Ready>
    void waitUntil(Ready ready);

    // Guarded by mStateLock: the ring, the filters, the status and the
    // figures below.
    std::unique_ptr<vexa::detail::BlockRing> mRing;
    std::vector<std::shared_ptr<SoundTools::Filter>> mFilters;
    SoundTools::Status mStatus = SoundTools::StatusOk;
    std::shared_ptr<SoundReader> mReader;
    int mRunning = 0;
    // Copies of the loop's figures for the other threads.
    qint64 mFramesToProcess = 0;
    qint64 mFramesProcessed = 0;
    int mFramesDone = 0;
    mutable QReadWriteLock mStateLock;

    // The worker's, and the owner's while no worker runs.
    SoundAlgo* mAlgo = nullptr;
    SoundAlgo::LoopContext mLoop;
    QReadWriteLock mAlgoLock;
    std::thread mWorker;

    std::atomic<bool> mContinuousPlaying{false};
    std::mutex mWaitMutex;
    std::condition_variable mWaitCv;

    static std::atomic<int> sCurrentSize;
};

#endif
