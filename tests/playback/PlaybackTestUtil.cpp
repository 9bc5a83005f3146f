#include "PlaybackTestUtil.h"

#include <algorithm>
#include <cmath>

namespace playtest {

int16_t expectedPcm(double x)
{
    const double t = std::trunc(x * 32768.0);
    return static_cast<int16_t>(std::min(32767.0, std::max(-32768.0, t)));
}

std::vector<int16_t> expectedPcm(const Frames& frames)
{
    std::vector<int16_t> out;
    out.reserve(frames.size() * 2);
    for (const Frame& f : frames) {
        out.push_back(expectedPcm(f.left));
        out.push_back(expectedPcm(f.right));
    }
    return out;
}

Frames exactFrames(unsigned int count, int first)
{
    Frames frames(count);
    for (unsigned int i = 0; i < count; ++i) {
        const int v = ((first + static_cast<int>(i)) % 65535) - 32767; // -32767 .. 32767
        frames[i] = {v / 32768.0, -v / 32768.0};
    }
    return frames;
}

std::vector<int16_t> decodePcm(const std::vector<char>& bytes)
{
    std::vector<int16_t> out(bytes.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        const auto lo = static_cast<unsigned char>(bytes[2 * i]);
        const auto hi = static_cast<unsigned char>(bytes[2 * i + 1]);
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(lo | (hi << 8)));
    }
    return out;
}

Puller::Puller(SoundAlgoDevice& device, qint64 chunkBytes, qint64 limitBytes, std::chrono::microseconds pause)
    : mDevice(device)
{
    mThread = std::thread([this, chunkBytes, limitBytes, pause] {
        std::vector<char> chunk(static_cast<size_t>(chunkBytes));
        for (;;) {
            const qint64 n = mDevice.readData(chunk.data(), chunkBytes);
            {
                std::lock_guard<std::mutex> lock(mMutex);
                mResults.push_back(n);
                if (n > 0)
                    mData.insert(mData.end(), chunk.begin(), chunk.begin() + n);
            }
            if (n <= 0)
                break;
            mBytes += n;
            if (limitBytes >= 0 && mBytes.load() >= limitBytes)
                break;
            if (pause.count() > 0)
                std::this_thread::sleep_for(pause);
        }
        mDone = true;
        std::lock_guard<std::mutex> lock(mMutex);
        mCv.notify_all();
    });
}

Puller::~Puller()
{
    if (mThread.joinable()) {
        if (!waitDone(std::chrono::seconds(20)))
            ADD_FAILURE() << "puller still running at destruction";
    }
}

bool Puller::waitDone(std::chrono::milliseconds timeout)
{
    bool done;
    {
        std::unique_lock<std::mutex> lock(mMutex);
        done = mCv.wait_for(lock, timeout, [this] { return mDone.load(); });
    }
    if (!done) {
        ADD_FAILURE() << "readData did not return in time; stopping the device";
        mDevice.stop();
    }
    if (mThread.joinable())
        mThread.join();
    return done;
}

std::vector<char> Puller::bytes()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mData;
}

std::vector<qint64> Puller::callResults()
{
    std::lock_guard<std::mutex> lock(mMutex);
    return mResults;
}

} // namespace playtest
