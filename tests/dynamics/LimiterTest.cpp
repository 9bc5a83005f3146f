#include "DynamicsTestUtil.h"
#include "MemoryReader.h"
#include "MemoryWriter.h"

#include "SoundAlgoComposite.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoNoiseGate.h"
#include "SoundAlgoRMSAmplifier.h"
#include "SoundReaderSndfile.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using namespace dyntest;

namespace {

class Limiter : public BlockSizeFixture {};

template <class T>
struct Owned {
    explicit Owned(T* n) : node(n) {}
    ~Owned() { node->release(); }
    T* operator->() const { return node; }
    T& operator*() const { return *node; }
    T* node;
};

Owned<SoundAlgoLimiter> makeLimiter(double levelDb, double lookAhead = 0.01, double release = 0.1,
                                    const char* trace = nullptr)
{
    return Owned<SoundAlgoLimiter>(new SoundAlgoLimiter(levelDb, lookAhead, release, trace));
}

} // namespace

// Level 0 dB on material that never reaches the ceiling: a copy, frame for
// frame, at every block size (also blocks shorter than the look-ahead).
TEST_F(Limiter, QuietMaterialAtUnityLevelIsCopied)
{
    auto lim = makeLimiter(0.0);
    EXPECT_EQ(lim->getInOverlap(44100), 441u + 4410u);
    const Frames input = musicLike(30000, 0.97);
    for (unsigned int block : {50u, 441u, 5000u, 65536u}) {
        SCOPED_TRACE(block);
        const Frames out = runStream(*lim, input, block);
        ASSERT_EQ(out.size(), input.size());
        for (size_t i = 0; i < input.size(); ++i) {
            ASSERT_EQ(out[i].left, input[i].left) << i;
            ASSERT_EQ(out[i].right, input[i].right) << i;
        }
        EXPECT_EQ(lim->getAttackCount(), 0);
        EXPECT_EQ(lim->getClippingCount(), 0);
    }
}

// The promise, measured: material amplified by up to +12 dB never comes
// out beyond the last-resort threshold, and steady material stays within a
// few parts in 10^4 of the ceiling once the look-ahead is primed.
TEST_F(Limiter, AmplifiedMaterialStaysUnderTheCeiling)
{
    struct Case {
        const char* name;
        Frames input;
        bool steady;
    };
    const unsigned int n = 3 * 44100;
    std::vector<Case> cases;
    cases.push_back({"sine", sine(n, 1000.0, 0.5), true});
    // A period longer than the look-ahead: the straight attacks cannot
    // follow the crest closely; only the last resort bounds it.
    cases.push_back({"low sine", sine(n, 60.0, 0.7), false});
    cases.push_back({"music", musicLike(n, 0.9), true});
    cases.push_back({"bursts", bursts(n, 3000, 11000, 440.0, 0.9), false});
    cases.push_back({"clicks", clicks(n, 7919, 1.0), false});
    cases.push_back({"noise", noise(n, 11u, 0.8), false});
    cases.push_back({"clicks on music", mix(musicLike(n, 0.4), clicks(n, 5003, 0.6)), false});
    for (const Case& c : cases) {
        for (double levelDb : {0.0, 6.0, 12.0}) {
            for (unsigned int block : {300u, 8192u, 65536u}) {
                SCOPED_TRACE(std::string(c.name) + " +" + std::to_string(levelDb) + " dB, block " + std::to_string(block));
                auto lim = makeLimiter(levelDb);
                const Frames out = runStream(*lim, c.input, block);
                ASSERT_EQ(out.size(), c.input.size());
                EXPECT_LE(peakOf(out), SoundAlgoLimiter::kLastResort);
                if (c.steady) {
                    EXPECT_LE(peakOf(out, 441), 0.98 * (1.0 + 5e-4));
                }
                // Limiting must not silence the material: the loudest frames
                // come out near the ceiling.
                if (levelDb >= 6.0) {
                    EXPECT_GT(peakOf(out, 441), 0.95);
                }
            }
        }
    }
}

// Where the look-ahead sees no peak, the output is the level times the
// input; a burst in the middle only touches the frames from A before it to
// the end of the release after it.
TEST_F(Limiter, OutsideTheLimitedStretchTheGainIsTheLevel)
{
    const unsigned int a = 441;
    const unsigned int r = 4410;
    const Frames quiet = musicLike(40000, 0.2);
    Frames input = quiet;
    const unsigned int b = 15000;
    const unsigned int e = 18000;
    for (unsigned int i = b; i < e; ++i)
        input[i] = {0.9 * std::sin(0.05 * i), 0.9 * std::cos(0.05 * i)};
    const double level = std::pow(10.0, 6.0 / 20.0);
    for (unsigned int block : {100u, 4096u, 65536u}) {
        SCOPED_TRACE(block);
        auto lim = makeLimiter(6.0);
        const Frames out = runStream(*lim, input, block);
        ASSERT_EQ(out.size(), input.size());
        for (size_t i = 0; i < input.size(); ++i) {
            if (i + a >= b && i < e + r + 2)
                continue;
            ASSERT_EQ(out[i].left, level * input[i].left) << i;
            ASSERT_EQ(out[i].right, level * input[i].right) << i;
        }
        EXPECT_LE(peakOf(out, b, e), SoundAlgoLimiter::kLastResort);
        EXPECT_EQ(lim->getClippingCount(), 0);
    }
}

// A full-scale click after near-silence, level 0 dB, A = 441: the gain falls
// along a straight line over the 441 frames before the click, the click
// comes out at 0.98 without last-resort correction, and the gain returns to
// 1 over R frames.
TEST_F(Limiter, ClickIsMetByAStraightAttack)
{
    const unsigned int a = 441;
    const unsigned int r = 4410;
    const unsigned int click = 10000;
    const double floor = 1e-6; // lets the gain be read off every frame
    Frames input = constant(20000, floor, floor);
    input[click] = {1.0, 1.0};
    for (unsigned int block : {200u, 441u, 65536u}) {
        SCOPED_TRACE(block);
        auto lim = makeLimiter(0.0);
        const Frames out = runStream(*lim, input, block);
        ASSERT_EQ(out.size(), input.size());
        const double slope = (0.98 - 1.0) / a;
        for (unsigned int i = 0; i <= click - a; ++i)
            ASSERT_EQ(out[i].left, floor) << i;
        for (unsigned int j = 0; j < a; ++j)
            ASSERT_NEAR(out[click - a + j].left / floor, 1.0 + j * slope, 1e-9) << j;
        EXPECT_NEAR(out[click].left, 0.98, 1e-12);
        EXPECT_EQ(lim->getClippingCount(), 0);
        // Release: linear from 0.98 back to 1.
        EXPECT_NEAR(out[click + r / 2].left / floor, 0.99, 1e-6);
        EXPECT_EQ(out[click + r + 1].left, floor);
        EXPECT_LT(out[click + r - 10].left, floor);
    }
}

// Without look-ahead only the last resort acts: each click is counted and
// brought down to the ceiling on its own (the frames before it are already
// as they should be).
TEST_F(Limiter, WithoutLookAheadTheLastResortCatchesEveryPeak)
{
    auto lim = makeLimiter(0.0, 0.0, 0.01);
    EXPECT_EQ(lim->getInOverlap(44100), 441u);
    Frames input = constant(20000, 0.3, 0.3);
    const unsigned int at[3] = {3000, 9000, 15000};
    for (unsigned int p : at)
        input[p] = {1.0, -0.5};
    for (unsigned int block : {100u, 65536u}) {
        SCOPED_TRACE(block);
        const Frames out = runStream(*lim, input, block);
        ASSERT_EQ(out.size(), input.size());
        EXPECT_EQ(lim->getClippingCount(), 3);
        EXPECT_EQ(lim->getAttackCount(), 0);
        for (unsigned int p : at) {
            EXPECT_NEAR(out[p].left, 0.98, 1e-12);
            EXPECT_EQ(out[p - 1].left, 0.3);
            // The gain then rises back within the release (441 frames).
            EXPECT_NEAR(out[p + 1].left, 0.3 * 0.98, 1e-3);
            EXPECT_EQ(out[p + 500].left, 0.3);
        }
    }
}

// The first frames of a run were never seen by the look-ahead; a peak there
// is caught by the last resort, which bends the frames before it down and
// never lets the peak itself through.
TEST_F(Limiter, LastResortAtTheStartOfARun)
{
    auto lim = makeLimiter(12.0);
    const Frames input = sine(5000, 1000.0, 0.5);
    const Frames out = runStream(*lim, input, 65536);
    EXPECT_GT(lim->getClippingCount(), 0);
    EXPECT_LE(peakOf(out), SoundAlgoLimiter::kLastResort);
    EXPECT_LE(peakOf(out, 441), 0.98 * (1.0 + 5e-4));
}

// setLevel during a run takes effect at once; getLevel reports it; reset and
// changeSong leave the level alone.
TEST_F(Limiter, LevelChangedWhileRunning)
{
    SoundBuffer::setDefaultSize(2000);
    const Frames input = sine(10000, 300.0, 0.2);
    MemoryReader reader(input, 44100);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(44100);
    auto lim = makeLimiter(0.0);
    SoundAlgo::LoopContext ctx;
    ASSERT_EQ(lim->initProcessLoop(reader, ctx), SoundTools::StatusOk);
    ASSERT_EQ(lim->singleProcessLoop(reader, ctx, &writer), SoundTools::StatusOk);
    const size_t first = writer.frameCount();
    ASSERT_GT(first, 0u);
    lim->setLevel(-6.0);
    EXPECT_NEAR(lim->getLevel(0.0), -6.0, 1e-12);
    lim->changeSong();
    lim->reset();
    EXPECT_NEAR(lim->getLevel(123.0), -6.0, 1e-12);
    while (lim->singleProcessLoop(reader, ctx, &writer) == SoundTools::StatusOk) {
    }
    lim->endProcessLoop(ctx);
    ASSERT_EQ(writer.frameCount(), input.size());
    const double g = std::pow(10.0, -6.0 / 20.0);
    EXPECT_EQ(writer.samples[2 * (first - 1)], input[first - 1].left);
    for (size_t i = first; i < input.size(); ++i)
        ASSERT_NEAR(writer.samples[2 * i], g * input[i].left, 1e-15) << i;
}

// The trace file: one mono 16-bit frame per frame processed, holding the
// gain relative to the level; the counters are reported in debug mode.
TEST_F(Limiter, TraceFileAndReport)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("trace.wav").toStdString();
    const unsigned int click = 10000;
    Frames input = constant(20000, 1e-6, 1e-6);
    input[click] = {1.0, 1.0};
    Frames input0 = input;
    input0[3000] = {1.0, 1.0}; // caught by the last resort without look-ahead

    std::ostringstream report;
    SoundDebuggableClass::setOStream(&report);
    SoundDebuggableClass::setDebug(true);
    auto lim = makeLimiter(0.0, 0.01, 0.1, path.c_str());
    const Frames out = runStream(*lim, input, 4096);
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setOStream(&std::cout);
    ASSERT_EQ(out.size(), input.size());
    EXPECT_EQ(report.str(), "");
    EXPECT_EQ(lim->getDebugFile(), "") << "the name is used once";

    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(QString::fromStdString(path)), SoundTools::StatusOk);
    reader.rewind();
    ASSERT_EQ(reader.getFrameNB(), input.size());
    EXPECT_EQ(reader.getInputFormat(), SoundTools::PCM16);
    auto buffer = SoundBuffer::createNew(44100);
    buffer->alloc(static_cast<unsigned int>(input.size()), 2, 1, 1);
    ASSERT_EQ(reader.stereoRead(buffer, 0), input.size());
    const double* trace = buffer->getRelFrame(0);
    const double lsb = 1.0 / 32768;
    for (size_t i = 0; i < input.size(); ++i) {
        const double gain = out[i].left / input[i].left;
        ASSERT_NEAR(trace[2 * i], gain - 1.0, 1.5 * lsb) << i;
    }
    EXPECT_NEAR(trace[2 * click], -0.02, lsb);
    reader.close();

    // Counters reported at the end of a run in debug mode.
    std::ostringstream report2;
    SoundDebuggableClass::setOStream(&report2);
    SoundDebuggableClass::setDebug(true);
    auto lim0 = makeLimiter(0.0, 0.0, 0.1);
    runStream(*lim0, input0, 4096);
    SoundDebuggableClass::setDebug(false);
    SoundDebuggableClass::setOStream(&std::cout);
    EXPECT_EQ(report2.str(), "SoundAlgoAmplify : 2 clippings filtered\n");
}

// Frame counts in chains: a gate then a limiter (the delay comes first), an
// amplifier then a limiter, at block sizes around the look-ahead.
TEST_F(Limiter, ChainsDeliverEveryFrame)
{
    const Frames input = musicLike(25000, 0.6);
    const Frames quieter = musicLike(25000, 0.4);
    const double g6 = std::pow(10.0, 6.0 / 20.0);
    for (unsigned int block : {64u, 441u, 4851u, 65536u}) {
        SCOPED_TRACE(block);
        {
            auto chain = Owned<SoundAlgoComposite>(new SoundAlgoComposite());
            chain->pushAlgo(new SoundAlgoRMSAmplifier(6.0, nullptr, 5.0, 0, 100.0, 30.0));
            chain->pushAlgo(new SoundAlgoLimiter(0.0, 0.01, 0.1, nullptr));
            const Frames out = runStream(*chain, quieter, block);
            ASSERT_EQ(out.size(), quieter.size());
            for (size_t i = 0; i < quieter.size(); ++i)
                ASSERT_NEAR(out[i].left, g6 * quieter[i].left, 1e-15) << i;
            const Frames loud = runStream(*chain, input, block);
            ASSERT_EQ(loud.size(), input.size());
            EXPECT_LE(peakOf(loud), SoundAlgoLimiter::kLastResort);
        }
        {
            auto chain = Owned<SoundAlgoComposite>(new SoundAlgoComposite());
            chain->pushAlgo(new SoundAlgoNoiseGate(-60.0, 0.05, 0.01));
            chain->pushAlgo(new SoundAlgoLimiter(-6.0, 0.01, 0.1, nullptr));
            const Frames out = runStream(*chain, input, block);
            ASSERT_EQ(out.size(), input.size() + 220);
            const double g = std::pow(10.0, -6.0 / 20.0);
            for (size_t i = 0; i + 441 < input.size(); ++i)
                ASSERT_NEAR(out[i + 220].left, g * input[i].left, 1e-12) << i;
        }
    }
}

// A trace file keeps every frame in the frame loop; without one, stretches at
// rest are scaled in bulk. Both must give the same frames, bit for bit, on
// material that rests, clicks and pumps, at every level and block size.
TEST_F(Limiter, BulkScalingAtRestMatchesTheFrameLoop)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Frames clicks = musicLike(30000, 0.2);
    // Peaks above the last resort, and between the ceiling and it (only the
    // look-ahead acts on those).
    for (size_t i = 700; i < clicks.size(); i += 3001)
        clicks[i] = {i % 2 ? 0.99 : 0.9805, -0.7};
    const struct {
        const char* name;
        Frames input;
    } cases[] = {{"music 0.3", musicLike(30000, 0.3)}, {"music 0.8", musicLike(30000, 0.8)}, {"clicks", clicks}};
    for (const auto& sig : cases) {
        for (double levelDb : {0.0, 6.0, 14.0}) {
            for (double lookAhead : {0.0, 0.01}) {
                for (unsigned int block : {50u, 4096u}) {
                    SCOPED_TRACE(testing::Message() << sig.name << ", " << levelDb << " dB, look-ahead " << lookAhead
                                                    << ", block " << block);
                    const std::string trace = dir.filePath("t.wav").toStdString();
                    auto traced = makeLimiter(levelDb, lookAhead, 0.1, trace.c_str());
                    auto bulk = makeLimiter(levelDb, lookAhead, 0.1);
                    const Frames expected = runStream(*traced, sig.input, block);
                    const Frames got = runStream(*bulk, sig.input, block);
                    ASSERT_EQ(got.size(), expected.size());
                    for (size_t i = 0; i < got.size(); ++i) {
                        ASSERT_EQ(got[i].left, expected[i].left) << i;
                        ASSERT_EQ(got[i].right, expected[i].right) << i;
                    }
                }
            }
        }
    }
}
