// Helpers of the playback tests: pulling a device from a thread of its own
// with a deadline, and the 16-bit values expected for known samples.
#ifndef VEXA_TESTS_PLAYBACKTESTUTIL_H
#define VEXA_TESTS_PLAYBACKTESTUTIL_H

#include "DefaultSizeTest.h"
#include "SoundAlgoDevice.h"
#include "SoundBuffer.h"
#include "SoundReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace playtest {

using Frame = SoundTools::StereoFrame<double>;
using Frames = std::vector<Frame>;

// Restores the default block size after each test.
using BlockSizeFixture = DefaultSizeTest;

// The 16-bit sample expected for x: x * 32768 truncated toward zero,
// saturated to the 16-bit range.
int16_t expectedPcm(double x);
// Both channels of every frame, interleaved.
std::vector<int16_t> expectedPcm(const Frames& frames);

// Frames whose samples are exact 16-bit steps, distinct along the stream:
// left = v / 32768 and right = -v / 32768, v running from `first` on (and
// wrapping within the 16-bit range).
Frames exactFrames(unsigned int count, int first = 0);

// Decodes little-endian 16-bit samples.
std::vector<int16_t> decodePcm(const std::vector<char>& bytes);

// Pulls readData on a thread of its own, chunk by chunk, until a call
// returns 0 (or a byte limit is reached).
class Puller {
public:
    // pause: time between two requests, as an audio output paces them.
    Puller(SoundAlgoDevice& device, qint64 chunkBytes, qint64 limitBytes = -1,
           std::chrono::microseconds pause = std::chrono::microseconds(0));
    ~Puller();
    // True when the thread finished within the time; otherwise the test
    // fails, the device is stopped (which wakes readData) and the thread is
    // joined.
    bool waitDone(std::chrono::milliseconds timeout);
    bool isDone() const { return mDone.load(); }
    qint64 bytesSoFar() const { return mBytes.load(); }
    std::vector<char> bytes();
    std::vector<qint64> callResults();

private:
    SoundAlgoDevice& mDevice;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mCv;
    std::atomic<bool> mDone{false};
    std::atomic<qint64> mBytes{0};
    std::vector<char> mData;
    std::vector<qint64> mResults;
};

// Polls a condition until it holds or the time runs out.
template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace playtest

#endif
