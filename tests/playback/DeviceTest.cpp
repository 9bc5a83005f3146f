#include "PlaybackTestUtil.h"

#include "MemoryReader.h"
#include "MemoryWriter.h"
#include "TestSignals.h"

#include "BiquadClipFilter.h"
#include "BiquadEqBuilder.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoDevice.h"
#include "SoundAlgoScale.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

using namespace playtest;
using namespace std::chrono_literals;

namespace {

class Device : public BlockSizeFixture {};

std::shared_ptr<MemoryReader> memoryReader(const Frames& frames, unsigned int rate = 44100, double startPoint = 0.0)
{
    auto r = std::make_shared<MemoryReader>(frames, rate);
    r->open(QString());
    r->setStartPoint(startPoint);
    r->rewind();
    return r;
}

// Counts a device's signals from whatever thread emits them.
struct DeviceSignals {
    explicit DeviceSignals(SoundAlgoDevice& device)
    {
        QObject::connect(&device, &QIODevice::readChannelFinished, &device, [this] { ++ends; }, Qt::DirectConnection);
        QObject::connect(
            &device, &SoundAlgoDevice::loadFinished, &device,
            [this](double t) {
                std::lock_guard<std::mutex> lock(mutex);
                loadTimes.push_back(t);
            },
            Qt::DirectConnection);
    }
    std::vector<double> times()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return loadTimes;
    }
    std::atomic<int> ends{0};
    std::mutex mutex;
    std::vector<double> loadTimes;
};

Frames offlineOutput(SoundAlgo& node, const Frames& input, unsigned int blockSize)
{
    SoundBuffer::setDefaultSize(blockSize);
    MemoryReader reader(input, 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    EXPECT_EQ(node.processAll(reader, &writer), SoundTools::StatusOk);
    Frames out(writer.frameCount());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = {writer.samples[2 * i], writer.samples[2 * i + 1]};
    return out;
}

} // namespace

TEST_F(Device, OnlyWholeFramesAreDelivered)
{
    const Frames in = exactFrames(10, 100);
    SoundBuffer::setDefaultSize(64);
    SoundAlgoDevice device(memoryReader(in), nullptr);
    device.start();
    std::vector<char> all;
    char buf[64];
    ASSERT_EQ(device.readData(buf, 7), 4); // room for one frame and 3 bytes
    all.insert(all.end(), buf, buf + 4);
    EXPECT_EQ(device.readData(buf, 3), 0);
    qint64 n;
    while ((n = device.readData(buf, 10)) > 0) {
        EXPECT_TRUE(n == 8 || n == 4) << n;
        all.insert(all.end(), buf, buf + n);
    }
    EXPECT_EQ(decodePcm(all), expectedPcm(in));
    device.stop();
}

// Every frame of the stream comes out once, in order, whatever the block
// size, the reader's chunks and the size of the audio side's requests; the
// end is reported once and the time played matches the stream.
TEST_F(Device, WholeStreamComesOutOnceAtAnyBlockAndRequestSize)
{
    const Frames in = exactFrames(9001, 5);
    const std::vector<int16_t> expected = expectedPcm(in);
    for (unsigned int block : {64u, 1000u, 4096u}) {
        for (qint64 chunk : {qint64(4), qint64(4 * 333 + 3), qint64(65536)}) {
            for (unsigned int maxChunk : {0u, 97u}) {
                SCOPED_TRACE(testing::Message() << "block " << block << " chunk " << chunk << " maxChunk " << maxChunk);
                SoundBuffer::setDefaultSize(block);
                auto reader = memoryReader(in);
                reader->setMaxChunk(maxChunk);
                SoundAlgoDevice device(reader, nullptr);
                DeviceSignals sig(device);
                device.start();
                EXPECT_EQ(device.bytesAvailable(), 4 * 9001);
                Puller puller(device, chunk);
                ASSERT_TRUE(puller.waitDone(20s));
                EXPECT_EQ(decodePcm(puller.bytes()), expected);
                EXPECT_TRUE(device.atEnd());
                EXPECT_EQ(device.bytesAvailable(), 0);
                char b[8];
                EXPECT_EQ(device.readData(b, 8), 0);
                device.stop(); // joins the worker: its signals are all in
                EXPECT_EQ(sig.ends.load(), 1);
                ASSERT_EQ(sig.times().size(), 1u);
                EXPECT_DOUBLE_EQ(sig.times()[0], 9001.0 / 44100.0);
            }
        }
    }
}

// The device plays what the graph outputs: the same frames that an offline
// run of the same graph writes, for nodes with overlaps and delay.
TEST_F(Device, PlaysTheGraphOutput)
{
    const Frames in = testsignals::noiseFrames(7000, 11, 0.9);
    struct Case {
        const char* name;
        std::function<SoundAlgo*()> make;
    };
    const std::vector<Case> cases = {
        {"scale -6 dB", [] { return new SoundAlgoScale(-6.0); }},
        {"bypass delay 5", [] { return new SoundAlgoBypass(0, 5, 0); }},
        {"bypass in overlap 3", [] { return new SoundAlgoBypass(3, 0, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SoundAlgo* offline = c.make();
        const Frames expectedFrames = offlineOutput(*offline, in, 512);
        offline->release();
        ASSERT_GT(expectedFrames.size(), 6000u);

        SoundBuffer::setDefaultSize(512);
        SoundAlgo* node = c.make();
        {
            SoundAlgoDevice device(memoryReader(in), node);
            node->release(); // the device holds its own reference
            device.start();
            Puller puller(device, 4 * 1000 + 1);
            ASSERT_TRUE(puller.waitDone(20s));
            EXPECT_EQ(decodePcm(puller.bytes()), expectedPcm(expectedFrames));
        }
    }
}

TEST_F(Device, LiveFiltersRunInOrderAcrossRequests)
{
    const Frames in = testsignals::noiseFrames(12000, 3, 0.3);
    SoundTools::BiquadEqBuilder band(SoundTools::BandEq, 1000.0, 1.0, 6.0);
    const double b[1] = {0.5};
    const double a[1] = {1.0};
    auto half = [&] { return std::make_shared<SoundTools::Filter>(std::valarray<double>(b, 1), std::valarray<double>(a, 1)); };

    // Reference: the same kernels over the whole signal in one call each.
    Frames ref = in;
    auto k1 = band.buildFilter(44100);
    auto k2 = half();
    k1->filter(ref.data(), ref.data(), static_cast<unsigned int>(ref.size()));
    k2->filter(ref.data(), ref.data(), static_cast<unsigned int>(ref.size()));

    SoundBuffer::setDefaultSize(1000);
    SoundAlgoDevice device(memoryReader(in), nullptr);
    device.addFilter(band.buildFilter(44100));
    device.addFilter(half());
    ASSERT_EQ(device.getFilterNumber(), 2u);
    device.start();
    Puller puller(device, 4 * 777);
    ASSERT_TRUE(puller.waitDone(20s));
    EXPECT_EQ(decodePcm(puller.bytes()), expectedPcm(ref));
    device.stop();
}

TEST_F(Device, FilterListOperations)
{
    SoundAlgoDevice device(memoryReader(exactFrames(10)), nullptr);
    SoundTools::BiquadEqBuilder band(SoundTools::BandEq, 1000.0, 1.0, 3.0);
    auto f0 = band.buildFilter(44100);
    auto f1 = band.buildFilter(44100);
    auto clip = band.buildClipFilter(44100, 0.5);
    device.addFilter(f0);
    device.addFilter(f1);
    device.addFilter(clip);
    device.setFilter(5, band.buildFilter(44100)); // beyond the list: ignored
    ASSERT_EQ(device.getFilterNumber(), 3u);
    EXPECT_EQ(device.getFilter(0), f0);
    EXPECT_EQ(device.getFilter(1), f1);
    EXPECT_EQ(device.getFilter(2), clip);
    EXPECT_EQ(device.getFilter(3), nullptr);
    EXPECT_DOUBLE_EQ(device.getFilterGain(2), 0.5);
    EXPECT_DOUBLE_EQ(device.getFilterGain(7), 1.0);
    device.resetFilterGain(2); // a clip filter ramps back to 1
    EXPECT_EQ(static_cast<SoundTools::BiquadClipFilter&>(*clip).getRampFramesLeft(), 440000u);
    device.resetFilterGain(9);
    device.setFilter(1, f0);
    EXPECT_EQ(device.getFilter(1), f0);
    device.clearFilters();
    EXPECT_FALSE(device.hasFilters());
}

// Continuous playing: streams handed over with setReader follow each other
// without a gap or a repeated frame, including one that starts past its
// first frame; readData waits at the end until statusFinished.
TEST_F(Device, ContinuousStreamsFollowEachOtherExactly)
{
    SoundBuffer::setDefaultSize(256);
    const std::vector<unsigned int> lengths = {700, 1, 1500, 333, 2048, 64};
    std::vector<std::shared_ptr<MemoryReader>> readers;
    Frames expectedFrames;
    int first = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        const Frames f = exactFrames(lengths[i], first);
        first += static_cast<int>(lengths[i]);
        // The fourth stream starts 100 frames in.
        const unsigned int skip = i == 3 ? 100 : 0;
        readers.push_back(memoryReader(f, 44100, skip / 44100.0));
        expectedFrames.insert(expectedFrames.end(), f.begin() + skip, f.end());
    }

    SoundAlgoDevice device(readers[0], nullptr);
    device.setContinuousPlaying(true);
    DeviceSignals sig(device);
    device.start();
    Puller puller(device, 4 * 500 + 2);
    auto endedContinuous = [&] {
        return !device.isRunning() && device.getStatus() == SoundTools::StatusFinishedContinuous;
    };
    for (size_t i = 1; i < readers.size(); ++i) {
        ASSERT_TRUE(waitFor(endedContinuous, 10s)) << "stream " << i - 1;
        ASSERT_TRUE(device.setReader(readers[i]));
    }
    ASSERT_TRUE(waitFor(endedContinuous, 10s));
    // readData waits for what comes next (holding the frames of its request).
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(puller.isDone());
    EXPECT_FALSE(device.atEnd());
    device.statusFinished();
    ASSERT_TRUE(puller.waitDone(10s));
    EXPECT_EQ(decodePcm(puller.bytes()), expectedPcm(expectedFrames));
    EXPECT_TRUE(device.atEnd());
    device.stop();
    EXPECT_EQ(sig.ends.load(), 1);
    // One loadFinished per stream, with the time played so far.
    const std::vector<double> times = sig.times();
    ASSERT_EQ(times.size(), readers.size());
    double total = 0;
    for (size_t i = 0; i < lengths.size(); ++i) {
        total += lengths[i] - (i == 3 ? 100 : 0);
        EXPECT_NEAR(times[i], total / 44100.0, 1e-12) << i;
    }
}

// Stopping a device that waits for the next stream ends readData.
TEST_F(Device, StopEndsAWaitingRead)
{
    SoundBuffer::setDefaultSize(256);
    const Frames in = exactFrames(1000);
    SoundAlgoDevice device(memoryReader(in), nullptr);
    device.setContinuousPlaying(true);
    DeviceSignals sig(device);
    device.start();
    // A request the stream fills exactly; the next one waits.
    Puller puller(device, 4000);
    ASSERT_TRUE(waitFor([&] { return puller.bytesSoFar() == 4000; }, 10s));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(puller.isDone());
    device.stop();
    ASSERT_TRUE(puller.waitDone(5s));
    EXPECT_EQ(device.getStatus(), SoundTools::StatusStopped);
    EXPECT_TRUE(device.atEnd());
    EXPECT_EQ(sig.ends.load(), 1);
    EXPECT_EQ(decodePcm(puller.bytes()), expectedPcm(in));
}

// setReader on a running device stops the worker and starts the new stream
// on a fresh ring; a reader of another rate is refused.
TEST_F(Device, SetReaderWhileRunningStartsTheNewStreamCleanly)
{
    SoundBuffer::setDefaultSize(1024);
    const Frames a = exactFrames(200000, 0);
    const Frames b = exactFrames(5000, 40000);
    SoundAlgoDevice device(memoryReader(a), nullptr);
    device.start();
    {
        Puller head(device, 4 * 1000, 4 * 3000);
        ASSERT_TRUE(head.waitDone(10s));
        const Frames aHead(a.begin(), a.begin() + 3000);
        EXPECT_EQ(decodePcm(head.bytes()), expectedPcm(aHead));
    }
    ASSERT_TRUE(waitFor([&] { return device.isRunning(); }, 1s));

    EXPECT_FALSE(device.setReader(memoryReader(b, 48000)));
    EXPECT_FALSE(device.setReader(nullptr));
    auto rb = memoryReader(b);
    ASSERT_TRUE(device.setReader(rb));
    EXPECT_EQ(device.getReader(), rb);
    Puller rest(device, 4 * 999);
    ASSERT_TRUE(rest.waitDone(10s));
    EXPECT_EQ(decodePcm(rest.bytes()), expectedPcm(b));
    device.stop();
}

// Starting and stopping over and over, with the audio side reading while
// the stop comes: what was read is always the exact head of the stream.
TEST_F(Device, ManyStartStopCycles)
{
    SoundBuffer::setDefaultSize(512);
    const Frames in = exactFrames(20000, 7);
    const std::vector<int16_t> expected = expectedPcm(in);
    SoundAlgoDevice device(memoryReader(in), nullptr);
    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE(cycle);
        device.start();
        ASSERT_TRUE(device.isRunning() || device.getStatus() != SoundTools::StatusOk);
        const qint64 limit = 4 * ((cycle * 997) % 20000 + 1);
        Puller puller(device, 4 * 300 + 1, limit);
        if (cycle % 2)
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (cycle % 7)));
        else
            ASSERT_TRUE(waitFor([&] { return puller.isDone(); }, 10s));
        device.stop();
        ASSERT_TRUE(puller.waitDone(10s));
        EXPECT_FALSE(device.isRunning());
        const std::vector<int16_t> got = decodePcm(puller.bytes());
        ASSERT_LE(got.size(), expected.size());
        if (cycle % 2 == 0) {
            EXPECT_GE(got.size() * 2, static_cast<size_t>(limit));
        }
        EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
    }
}

namespace {
class GrowingDevice : public SoundAlgoDevice {
public:
    using SoundAlgoDevice::SoundAlgoDevice;
    void grow() { addResource(); }
};
} // namespace

// A slot added while playing joins the ring without disturbing the order.
TEST_F(Device, AddedSlotKeepsThePlayOrder)
{
    SoundBuffer::setDefaultSize(128);
    const Frames in = exactFrames(6000, 1);
    GrowingDevice device(memoryReader(in), nullptr);
    device.start();
    Puller puller(device, 4 * 50);
    ASSERT_TRUE(waitFor([&] { return puller.bytesSoFar() > 4 * 1000; }, 10s));
    const int before = SoundAlgoDevice::getCurrentSize();
    device.grow();
    EXPECT_GE(SoundAlgoDevice::getCurrentSize(), before + 1);
    ASSERT_TRUE(puller.waitDone(10s));
    EXPECT_EQ(decodePcm(puller.bytes()), expectedPcm(in));
    device.stop();
}
