// Loudness against values known without the meter: the minimum-requirement
// signals of EBU Tech 3341 and 3342 (1 kHz stereo sines in level segments,
// whose loudness is the sine's peak level in dBFS), sines whose samples miss
// their peaks, silence, mono programmes (one channel weighed once), albums,
// and FFmpeg's meter on real music.
#include "StatsTestSupport.h"

#include "SoundAlgoLoudness.h"
#include "SoundReaderSndfile.h"
#include "SoundStatFile.h"
#include "TestSignals.h"

#include <ebur128.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <string>

using namespace statstest;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSilent = -std::numeric_limits<double>::infinity();

struct Segment {
    double dbfs;    // sine peak level, both channels
    double seconds;
};

// Runs a 1 kHz stereo sine through segments of the given levels. The stream
// fades in and out over 5 ms: a sine cut off abruptly rings in the true-peak
// interpolator above its own peak.
void measureSegments(SoundAlgoLoudness& node, unsigned int rate, std::initializer_list<Segment> segments,
                     double freq = 1000.0, double phase = 0.0)
{
    std::vector<std::pair<unsigned int, double>> ends; // end frame, amplitude
    unsigned int total = 0;
    for (const Segment& s : segments) {
        total += static_cast<unsigned int>(std::lround(s.seconds * rate));
        ends.push_back({total, std::pow(10.0, s.dbfs / 20.0)});
    }
    MemoryReader reader(
        [&](unsigned int i) {
            size_t k = 0;
            while (ends[k].first <= i)
                ++k;
            const double edge = std::min(i + 1, total - i) / (0.005 * rate);
            const double fade = edge < 1.0 ? 0.5 - 0.5 * std::cos(kPi * edge) : 1.0;
            const double v = fade * ends[k].second * std::sin(2.0 * kPi * freq * i / rate + phase);
            return StereoFrame<double>{v, v};
        },
        total, rate);
    reader.open(QString());
    reader.rewind();
    ASSERT_EQ(node.processAll(reader, nullptr), SoundTools::StatusOk);
}

// The benchmark corpus's ten minutes of stereo music.
QString musicPath()
{
    const char* env = std::getenv("VEXA_BENCH_AUDIO");
    return QDir(QString::fromLocal8Bit(env ? env : VEXA_MUSIC_DIR)).filePath(QStringLiteral("music10.wav"));
}

using Node = std::unique_ptr<SoundAlgoLoudness, void (*)(SoundAlgoLoudness*)>;
Node makeNode()
{
    return Node(new SoundAlgoLoudness(), [](SoundAlgoLoudness* n) { n->release(); });
}

} // namespace

TEST(LoudnessTest, Tech3341IntegratedLoudness)
{
    const struct {
        std::initializer_list<Segment> segments;
        double lufs;
    } cases[] = {
        {{{-23, 20}}, -23.0},
        {{{-33, 20}}, -33.0},
        {{{-36, 10}, {-23, 60}, {-36, 10}}, -23.0},
        {{{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, -23.0},
        {{{-26, 20}, {-20, 20.1}, {-26, 20}}, -23.0},
    };
    for (unsigned int rate : {48000u, 44100u}) {
        for (size_t c = 0; c < std::size(cases); ++c) {
            auto node = makeNode();
            measureSegments(*node, rate, cases[c].segments);
            EXPECT_NEAR(node->getIntegratedLoudness(), cases[c].lufs, 0.1) << "case " << c + 1 << " at " << rate;
            EXPECT_TRUE(node->hasLoudness());
        }
    }
}

TEST(LoudnessTest, Tech3342LoudnessRange)
{
    const struct {
        std::initializer_list<Segment> segments;
        double lu;
    } cases[] = {
        {{{-20, 20}, {-30, 20}}, 10.0},
        {{{-20, 20}, {-15, 20}}, 5.0},
        {{{-40, 20}, {-20, 20}}, 20.0},
        {{{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}, 15.0},
    };
    for (size_t c = 0; c < std::size(cases); ++c) {
        auto node = makeNode();
        measureSegments(*node, 48000, cases[c].segments);
        EXPECT_NEAR(node->getLoudnessRange(), cases[c].lu, 1.0) << "case " << c + 1;
    }
}

// Momentary and short-term maxima of a 1 s burst at -20 dBFS: a 400 ms
// window fits in it, a 3 s window holds it for a third of its length.
TEST(LoudnessTest, MaximaOfABurst)
{
    auto node = makeNode();
    measureSegments(*node, 48000, {{-20, 1}, {kSilent, 5}});
    EXPECT_NEAR(node->getMaxMomentaryLoudness(), -20.0, 0.05);
    EXPECT_NEAR(node->getMaxShortTermLoudness(), -20.0 - 10.0 * std::log10(3.0), 0.05);
    EXPECT_EQ(node->getMomentaryLoudness(), kSilent);

    measureSegments(*node, 44100, {{-23, 5}});
    EXPECT_NEAR(node->getMomentaryLoudness(), -23.0, 0.05);
    EXPECT_NEAR(node->getShortTermLoudness(), -23.0, 0.05);
    EXPECT_NEAR(node->getMaxShortTermLoudness(), -23.0, 0.05);
}

// Sines of full-scale amplitude at fs/4, fs/6 and fs/8 whose phase puts no
// sample on a peak: the true peak is the amplitude, the sample peak the
// largest |sin| on the sampling grid. Tolerance +0.2 / -0.4 dB.
TEST(LoudnessTest, TruePeakBetweenSamples)
{
    const struct {
        double divisor, phaseDeg, dbfs;
    } cases[] = {{4, 45, 0.0}, {4, 45, -6.0}, {6, 60, 0.0}, {8, 67.5, 0.0}, {4, 0, -6.0}};
    for (unsigned int rate : {48000u, 44100u}) {
        for (const auto& c : cases) {
            auto node = makeNode();
            const double phase = c.phaseDeg * kPi / 180.0;
            measureSegments(*node, rate, {{c.dbfs, 2}}, rate / c.divisor, phase);
            double samplePeak = 0.0;
            for (int n = 0; n < 48; ++n)
                samplePeak = std::max(samplePeak, std::abs(std::sin(2.0 * kPi * n / c.divisor + phase)));
            samplePeak *= std::pow(10.0, c.dbfs / 20.0);
            const std::string what = "fs/" + std::to_string(c.divisor) + " at " + std::to_string(rate);
            EXPECT_NEAR(node->getSamplePeak(), samplePeak, 1e-9) << what;
            EXPECT_NEAR(node->getTruePeakDb(), c.dbfs, 0.4) << what;
            EXPECT_LT(node->getTruePeakDb(), c.dbfs + 0.2) << what;
            EXPECT_NEAR(node->getTruePeak(0), node->getTruePeak(1), 1e-12) << what;
        }
    }
}

// The true peak against libebur128's own meter, given the whole signal at
// once while the node gets it 7 frames at a time (fewer than a phase's
// taps) or, for music, in blocks: noise, sines near Nyquist, sample pairs
// of opposite signs (they overshoot between the samples), the first minute
// of music, and a mono run.
TEST_F(StatsTest, TruePeakAgainstLibebur128)
{
    struct Case {
        std::string name;
        unsigned int rate;
        Frames frames;
        unsigned int channels = 2;
        unsigned int chunk = 7;
    };
    std::vector<Case> cases;
    for (unsigned int rate : {44100u, 48000u, 96000u}) {
        Frames sines(rate / 2);
        Frames clicks(rate / 2);
        for (size_t i = 0; i < sines.size(); ++i) {
            sines[i] = {0.8 * std::sin(2.0 * kPi * 3.0 / 8.0 * i + kPi / 8.0), 0.7 * std::sin(2.0 * kPi * 0.45 * i + 0.3)};
            const double c = 0.3 + 0.6 * ((i / 4999) % 5) / 4.0;
            clicks[i] = {i % 4999 == 17 ? c : i % 4999 == 18 ? -c : 0.0, i % 3001 == 5 ? c : 0.0};
        }
        const std::string at = " at " + std::to_string(rate);
        cases.push_back({"noise" + at, rate, testsignals::noiseFrames(rate / 2, rate, 0.9)});
        cases.push_back({"sines" + at, rate, sines});
        cases.push_back({"clicks" + at, rate, clicks});
    }
    cases.push_back({"mono clicks", 48000, cases[5].frames, 1});
    SoundReaderSndfile reader;
    if (reader.open(musicPath()) == SoundTools::StatusOk) {
        const unsigned int rate = reader.getSampleRate();
        auto buffer = SoundBuffer::createNew(rate);
        buffer->alloc(60 * rate, 2, 1, 1);
        reader.rewind();
        const unsigned int n = reader.stereoRead(buffer, 0);
        ASSERT_GT(n, 0u);
        cases.push_back({"music", rate, Frames(buffer->getStereoFrame(0), buffer->getStereoFrame(0) + n), 2, 4096});
    }

    for (const Case& c : cases) {
        ebur128_state* meter = ebur128_init(c.channels, c.rate, EBUR128_MODE_TRUE_PEAK);
        ASSERT_NE(meter, nullptr);
        std::vector<double> samples;
        for (const StereoFrame<double>& f : c.frames) {
            samples.push_back(f.left);
            if (c.channels == 2)
                samples.push_back(f.right);
        }
        ebur128_add_frames_double(meter, samples.data(), c.frames.size());
        auto node = makeNode();
        node->setChannelCount(static_cast<int>(c.channels));
        runStreamAt(*node, c.frames, c.rate, 4096, c.chunk);
        for (unsigned int ch = 0; ch < c.channels; ++ch) {
            double expected = 0.0;
            ebur128_true_peak(meter, ch, &expected);
            EXPECT_NEAR(db(node->getTruePeak(static_cast<int>(ch))), db(expected), 0.1) << c.name << " channel " << ch;
            EXPECT_GE(node->getTruePeak(static_cast<int>(ch)), node->getSamplePeak(static_cast<int>(ch))) << c.name;
        }
        ebur128_destroy(&meter);
    }
}

// A mono programme read as two equal channels counts its channel once:
// 3.01 dB below the same samples measured as stereo.
TEST(LoudnessTest, MonoWeighsItsChannelOnce)
{
    auto node = makeNode();
    EXPECT_FALSE(node->setChannelCount(3));
    EXPECT_TRUE(node->setChannelCount(1));
    measureSegments(*node, 44100, {{-20, 10}});
    EXPECT_NEAR(node->getIntegratedLoudness(), -20.0 - 10.0 * std::log10(2.0), 0.05);
    EXPECT_NEAR(node->getSamplePeak(1), std::pow(10.0, -1.0), 1e-3);
}

TEST(LoudnessTest, SilenceAndNoRun)
{
    auto idle = makeNode();
    auto node = makeNode();
    measureSegments(*node, 48000, {{kSilent, 5}});
    for (SoundAlgoLoudness* n : {idle.get(), node.get()}) {
        EXPECT_FALSE(n->hasLoudness());
        EXPECT_EQ(n->getIntegratedLoudness(), kSilent);
        EXPECT_EQ(n->getMaxMomentaryLoudness(), kSilent);
        EXPECT_EQ(n->getLoudnessRange(), 0.0);
        EXPECT_EQ(n->getTruePeakDb(), kSilent);
    }
    EXPECT_EQ(SoundAlgoLoudness::albumLoudness({idle.get(), node.get()}), kSilent);
}

// Two steady tracks of equal length gate as one programme: the mean of
// their energies. The node passes its input through and a rerun of the
// same node starts afresh.
TEST_F(StatsTest, AlbumPassThroughAndRerun)
{
    auto a = makeNode();
    auto b = makeNode();
    measureSegments(*a, 44100, {{-20, 10}});
    measureSegments(*b, 48000, {{-30, 10}});
    EXPECT_NEAR(SoundAlgoLoudness::albumLoudness({a.get(), b.get()}), 10.0 * std::log10((0.01 + 0.001) / 2), 0.05);
    EXPECT_NEAR(SoundAlgoLoudness::albumPeak({a.get(), b.get()}), 0.1, 0.002);

    const Frames input = testsignals::noiseFrames(30000, 7, 0.5);
    for (unsigned int block : {1048576u, 1000u}) {
        const Frames out = runStreamAt(*b, input, 44100, block, 333);
        ASSERT_EQ(out.size(), input.size());
        for (size_t i = 0; i < out.size(); ++i)
            ASSERT_EQ(out[i].left, input[i].left) << i;
        EXPECT_EQ(b->getFrameCount(), input.size());
    }
    measureSegments(*b, 48000, {{-30, 10}});
    EXPECT_NEAR(b->getIntegratedLoudness(), -30.0, 0.05);
}

// Files written without loudness read without it; written with it, read
// back the same values, silence included.
TEST(LoudnessTest, StatisticsFileRoundTrip)
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("song.wav"));
    SoundStatFile file;
    ASSERT_TRUE(file.writeJSonFile(name));
    SoundStatFile read;
    read.setLoudness(SoundStatFile::Loudness{-1, 1, 1, 1});
    ASSERT_TRUE(read.readJSonFile(name));
    EXPECT_FALSE(read.hasLoudnessResults());

    for (const SoundStatFile::Loudness& l : {SoundStatFile::Loudness{-23.25, 7.5, -1.125, 0.75}, SoundStatFile::Loudness{}}) {
        file.setLoudness(l);
        ASSERT_TRUE(file.writeJSonFile(name));
        ASSERT_TRUE(read.readJSonFile(name));
        ASSERT_TRUE(read.hasLoudnessResults());
        const SoundStatFile::Loudness got = read.getLoudness();
        EXPECT_EQ(got.integratedLufs, l.integratedLufs);
        EXPECT_EQ(got.rangeLu, l.rangeLu);
        EXPECT_EQ(got.truePeakDbtp, l.truePeakDbtp);
        EXPECT_EQ(got.samplePeak, l.samplePeak);
    }
}

// Ten minutes of stereo music against FFmpeg's meter.
TEST(LoudnessTest, MusicAgainstFFmpeg)
{
    const QString path = musicPath();
    if (!QFile::exists(path) || std::system("ffmpeg -version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs ffmpeg and " << path.toStdString();
    const std::string command =
        "ffmpeg -nostats -hide_banner -i '" + path.toStdString() + "' -af ebur128=peak=true -f null - 2>&1";
    double ffmpegLufs = std::numeric_limits<double>::quiet_NaN();
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char line[512];
        // The summary's "I:" line comes last.
        while (std::fgets(line, sizeof line, pipe))
            std::sscanf(line, " I: %lf LUFS", &ffmpegLufs);
        pclose(pipe);
    }
    ASSERT_TRUE(std::isfinite(ffmpegLufs));

    SoundReaderSndfile reader;
    ASSERT_EQ(reader.open(path), SoundTools::StatusOk);
    reader.rewind();
    auto node = makeNode();
    ASSERT_EQ(node->processAll(reader, nullptr), SoundTools::StatusOk);
    EXPECT_NEAR(node->getIntegratedLoudness(), ffmpegLufs, 0.1);
}
