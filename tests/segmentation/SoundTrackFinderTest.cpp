// The track finder on synthetic sides built like real ones: music-like
// tracks over noise beds of every common kind, gaps of silence or noise,
// fades, dropouts, quiet passages, several sample rates and file formats.
// The true boundaries come from the clean tracks alone: a track starts and
// ends where its own 50 ms level crosses the floor (the bed's RMS, or
// -90 dBFS without a bed), so that a fade ends where it meets the floor.
#include "MemoryReader.h"
#include "SoundReader.h"
#include "SoundTrackFinder.h"
#include "SoundWriter.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

enum class Bed { None, White, Pink, Brown, Hiss, Hum50, Hum60, Crackle, Dc, Drift };
enum class Fade { None, Linear, Log, Exp };

struct Piece {
    double seconds;
    double levelDb;               // RMS of the music
    Fade fade = Fade::None;       // fade-out over the last fadeSeconds
    bool fadeToZero = false;      // the whole signal (music and bed) fades to exact zero
    double pianissimoDb = 0;      // a passage this far below the rest, in the middle
    double dropoutSeconds = 0;    // exact zeros in the middle
    double gapAfter = 3.0;        // seconds; 0: the next piece follows at once (one track)
    bool zeroGap = false;         // the gap is exact digital silence
};

struct Side {
    const char* name;
    unsigned int rate;
    Bed bed;
    double bedDb;                 // RMS of the bed
    std::vector<Piece> pieces;
    double leadZeros = 0;         // digital silence before the run-in
    double trailZeros = 0;
    double runIn = 2.0;
    double runOut = 3.0;
    bool mono = false;
};

struct Synth {
    bool mono = false;
    std::vector<double> music, bed, silence; // silence: 1 where the whole signal is zero
    std::vector<std::pair<double, double>> truth; // seconds
};

// Legato notes of two harmonics with a slowly moving phrase level: a signal
// whose level varies like music and never rests for long.
std::vector<double> musicLike(size_t n, unsigned int rate, double rmsDb, std::mt19937& rng)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(n, 0.0);
    size_t at = 0;
    double phase = 0.0;
    while (at < n) {
        const size_t len = static_cast<size_t>((0.2 + 0.3 * u(rng)) * rate);
        const double freq = 150.0 * std::pow(2.0, 3.0 * u(rng));
        const double accent = 0.5 + 0.5 * u(rng);
        for (size_t i = 0; i < len && at + i < n; ++i) {
            const double t = static_cast<double>(i) / rate;
            const double env = accent * std::min(1.0, t / 0.01) * (0.6 + 0.4 * std::exp(-t * 6.0));
            phase += 2.0 * M_PI * freq / rate;
            const double phrase = 1.0 + 0.4 * std::sin(2.0 * M_PI * 0.15 * static_cast<double>(at + i) / rate);
            x[at + i] = env * phrase * (std::sin(phase) + 0.3 * std::sin(2.0 * phase));
        }
        at += len;
    }
    double power = 0.0;
    for (double v : x)
        power += v * v;
    const double scale = std::pow(10.0, rmsDb / 20.0) / std::sqrt(power / static_cast<double>(n));
    for (double& v : x)
        v *= scale;
    return x;
}

std::vector<double> bedNoise(Bed bed, size_t n, unsigned int rate, double rmsDb, std::mt19937& rng)
{
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(n, 0.0);
    double b0 = 0, b1 = 0, b2 = 0, prev = 0, walk = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = g(rng);
        const double t = static_cast<double>(i) / rate;
        switch (bed) {
        case Bed::Pink: // Paul Kellet's economy filter
            b0 = 0.99765 * b0 + w * 0.0990460;
            b1 = 0.96300 * b1 + w * 0.2965164;
            b2 = 0.57000 * b2 + w * 1.0526913;
            x[i] = b0 + b1 + b2 + w * 0.1848;
            break;
        case Bed::Brown:
            walk = 0.998 * walk + w;
            x[i] = walk;
            break;
        case Bed::Hiss:
            x[i] = w - prev;
            prev = w;
            break;
        case Bed::Hum50:
        case Bed::Hum60: {
            const double f = bed == Bed::Hum50 ? 50.0 : 60.0;
            x[i] = std::sin(2 * M_PI * f * t) + 0.5 * std::sin(2 * M_PI * 2 * f * t) + 0.3 * std::sin(2 * M_PI * 3 * f * t)
                + 0.2 * std::sin(2 * M_PI * 5 * f * t) + 0.05 * w;
            break;
        }
        default:
            x[i] = w;
        }
    }
    double power = 0.0;
    for (double v : x)
        power += v * v;
    const double scale = std::pow(10.0, rmsDb / 20.0) / std::sqrt(power / static_cast<double>(n));
    for (size_t i = 0; i < n; ++i) {
        x[i] *= scale;
        if (bed == Bed::Drift) // +-6 dB over the side
            x[i] *= std::pow(10.0, 6.0 * std::sin(2 * M_PI * static_cast<double>(i) / static_cast<double>(n)) / 20.0);
    }
    if (bed == Bed::Crackle) { // a few loud clicks a second
        std::uniform_real_distribution<double> level(-40.0, -10.0);
        for (size_t i = 0; i < n; i += static_cast<size_t>((0.1 + 0.4 * u(rng)) * rate)) {
            const double a = std::pow(10.0, level(rng) / 20.0) * (u(rng) < 0.5 ? -1 : 1);
            for (size_t k = 0; k < rate / 1000 && i + k < n; ++k)
                x[i + k] += a * std::exp(-static_cast<double>(k) * 4000.0 / rate);
        }
    }
    if (bed == Bed::Dc) {
        for (double& v : x)
            v += 0.01;
    }
    return x;
}

double fadeGain(Fade fade, double x) // x from 0 to 1 over the fade
{
    switch (fade) {
    case Fade::Linear:
        return 1.0 - x;
    case Fade::Log: // straight in dB, 60 dB down
        return std::pow(10.0, -3.0 * x);
    case Fade::Exp:
        return (std::exp(-4.0 * x) - std::exp(-4.0)) / (1.0 - std::exp(-4.0));
    case Fade::None:
        break;
    }
    return 1.0;
}

Synth synthesise(const Side& side)
{
    const unsigned int rate = side.rate;
    const auto frames = [&](double s) { return static_cast<size_t>(std::llround(s * rate)); };
    std::mt19937 rng(2024);
    Synth out;
    out.mono = side.mono;
    std::vector<std::pair<size_t, size_t>> spans; // music pieces
    size_t at = frames(side.leadZeros + side.runIn);
    for (const Piece& p : side.pieces) {
        spans.emplace_back(at, at + frames(p.seconds));
        at += frames(p.seconds + p.gapAfter);
    }
    at = spans.back().second + frames(side.runOut);
    const size_t total = at + frames(side.trailZeros);
    out.music.assign(total, 0.0);
    out.silence.assign(total, 0.0);
    out.bed = side.bed == Bed::None ? std::vector<double>(total, 0.0) : bedNoise(side.bed, total, rate, side.bedDb, rng);
    for (size_t i = 0; i < frames(side.leadZeros); ++i)
        out.silence[i] = 1;
    for (size_t i = total - frames(side.trailZeros); i < total; ++i)
        out.silence[i] = 1;
    for (size_t k = 0; k < spans.size(); ++k) {
        const Piece& p = side.pieces[k];
        const auto [begin, end] = spans[k];
        std::vector<double> m = musicLike(end - begin, rate, p.levelDb, rng);
        const size_t middle = (end - begin) / 2;
        if (p.pianissimoDb != 0) { // 8 s quiet passage with 1 s ramps
            for (size_t i = 0; i < m.size(); ++i) {
                const double d = std::fabs(static_cast<double>(i) - static_cast<double>(middle)) / rate;
                const double depth = d < 4.0 ? 1.0 : d < 5.0 ? 5.0 - d : 0.0;
                m[i] *= std::pow(10.0, p.pianissimoDb * depth / 20.0);
            }
        }
        const size_t fadeFrames = frames(8.0);
        for (size_t i = 0; p.fade != Fade::None && i < fadeFrames; ++i)
            m[m.size() - fadeFrames + i] *= fadeGain(p.fade, static_cast<double>(i) / static_cast<double>(fadeFrames));
        std::copy(m.begin(), m.end(), out.music.begin() + static_cast<long>(begin));
        for (size_t i = 0; i < frames(p.dropoutSeconds); ++i)
            out.silence[begin + middle + i] = 1;
        if (p.fadeToZero) { // the bed goes with the music, then 1 s of zeros
            for (size_t i = 0; i < fadeFrames; ++i)
                out.bed[end - fadeFrames + i] *= fadeGain(p.fade, static_cast<double>(i) / static_cast<double>(fadeFrames));
            for (size_t i = end; i < std::min(total, end + frames(1.0)); ++i)
                out.silence[i] = 1;
        }
        if (p.zeroGap) {
            for (size_t i = end; i < std::min(total, end + frames(p.gapAfter)); ++i)
                out.silence[i] = 1;
        }
    }
    // Truth: the first and last 50 ms window (10 ms steps) of each track,
    // pieces without a gap joined, where the clean music reaches the floor.
    const size_t hop = frames(0.01), win = frames(0.05);
    const double floorDb = side.bed == Bed::None ? -90.0 : side.bedDb;
    for (size_t k = 0; k < spans.size();) {
        size_t last = k;
        while (last + 1 < spans.size() && side.pieces[last].gapAfter == 0)
            ++last;
        double first = -1, end = -1;
        for (size_t w = spans[k].first; w + win <= spans[last].second; w += hop) {
            double power = 0.0;
            for (size_t i = w; i < w + win; ++i)
                power += out.silence[i] ? 0.0 : out.music[i] * out.music[i];
            const double rms = std::sqrt(power / static_cast<double>(win));
            const double floorHere = side.bed == Bed::Drift
                ? floorDb + 6.0 * std::sin(2 * M_PI * static_cast<double>(w) / static_cast<double>(total))
                : floorDb;
            if (20.0 * std::log10(rms + 1e-30) >= floorHere) {
                if (first < 0)
                    first = static_cast<double>(w) / rate;
                end = static_cast<double>(w + win) / rate;
            }
        }
        out.truth.emplace_back(first, end);
        k = last + 1;
    }
    return out;
}

std::vector<SoundTools::StereoFrame<double>> framesOf(const Synth& s)
{
    std::vector<SoundTools::StereoFrame<double>> f(s.music.size());
    for (size_t i = 0; i < f.size(); ++i) {
        const double v = s.silence[i] ? 0.0 : s.music[i] + s.bed[i];
        f[i] = {v, s.mono || s.silence[i] ? v : 0.9 * s.music[i] + s.bed[(i + 1234) % f.size()]};
    }
    return f;
}

std::unique_ptr<SoundTrackFinder, void (*)(SoundTrackFinder*)> find(SoundReader& reader)
{
    std::unique_ptr<SoundTrackFinder, void (*)(SoundTrackFinder*)> f(new SoundTrackFinder(),
                                                                     [](SoundTrackFinder* p) { p->release(); });
    reader.rewind();
    EXPECT_EQ(f->processAll(reader, nullptr), SoundTools::StatusOk);
    return f;
}

// Boundaries found against the truth, within `tolerance` seconds.
void expectTracks(const SoundTrackFinder& f, const std::vector<std::pair<double, double>>& truth, unsigned int rate,
                  double tolerance, const char* name)
{
    ASSERT_EQ(f.tracks().size(), truth.size()) << name;
    for (size_t t = 0; t < truth.size(); ++t) {
        const double begin = static_cast<double>(f.tracks()[t].begin) / rate;
        const double end = static_cast<double>(f.tracks()[t].begin + f.tracks()[t].frames) / rate;
        EXPECT_NEAR(begin, truth[t].first, tolerance) << name << " track " << t + 1 << " start";
        EXPECT_NEAR(end, truth[t].second, tolerance) << name << " track " << t + 1 << " end";
    }
}

const std::vector<Piece> kFour = {{20, -14}, {15, -20}, {25, -12}, {12, -18}};

std::vector<Piece> withGaps(std::vector<Piece> p, double gap, bool zero = false)
{
    for (Piece& x : p) {
        x.gapAfter = gap;
        x.zeroGap = zero;
    }
    return p;
}

const std::vector<Side> kSides = {
    {"white -65", 16000, Bed::White, -65, kFour},
    {"leading and trailing zeros", 16000, Bed::White, -65, kFour, 2.0, 4.0},
    {"CD-like zero gaps", 44100, Bed::None, 0, withGaps(kFour, 2.0, true), 0.5, 0.5, 0.0, 0.0},
    {"zero gaps of 0.8 s", 16000, Bed::None, 0, withGaps(kFour, 0.8, true), 0, 0, 0.0, 0.0},
    {"noise gaps of 0.8 s", 16000, Bed::White, -60, withGaps(kFour, 0.8)},
    {"pink -80", 16000, Bed::Pink, -80, kFour},
    {"pink -40", 16000, Bed::Pink, -40, {{20, -12}, {15, -14}, {25, -10}}},
    {"brown -50", 16000, Bed::Brown, -50, kFour},
    {"tape hiss -45", 22050, Bed::Hiss, -45, kFour},
    {"hum 50 Hz -55", 16000, Bed::Hum50, -55, kFour},
    {"hum 60 Hz -60", 16000, Bed::Hum60, -60, kFour},
    {"crackle over -70", 16000, Bed::Crackle, -70, kFour},
    {"DC offset", 16000, Bed::Dc, -70, kFour},
    {"floor drifting 6 dB", 16000, Bed::Drift, -60, withGaps({{20, -14}, {25, -20}, {20, -12}, {25, -18}, {20, -14}}, 2.0)},
    {"fades into the noise", 16000, Bed::White, -65,
     {{20, -14, Fade::Linear}, {20, -18, Fade::Log}, {20, -14, Fade::Exp}, {15, -16}}},
    {"fades to exact zero, then noise", 16000, Bed::White, -60,
     {{20, -14, Fade::Linear, true}, {20, -18, Fade::Log, true}, {20, -14, Fade::Exp, true}, {15, -16}}},
    {"dropouts inside tracks", 16000, Bed::White, -70,
     {{20, -14, Fade::None, false, 0, 0.5}, {20, -18, Fade::None, false, 0, 0.2}, {20, -14}}},
    {"pianissimo 40 dB down", 16000, Bed::White, -75,
     {{20, -14}, {30, -12, Fade::None, false, -40}, {20, -16}}},
    {"two pieces without a gap", 16000, Bed::White, -65, {{20, -14, Fade::None, false, 0, 0, 0}, {20, -18}, {15, -14}}},
    {"8 kHz", 8000, Bed::White, -60, kFour},
    {"48 kHz", 48000, Bed::Pink, -60, {{15, -14}, {10, -20}}},
    {"192 kHz", 192000, Bed::White, -60, {{6, -14}, {5, -20}}, 0, 0, 1.5, 2.0},
    {"mono 44.1 kHz", 44100, Bed::Hiss, -55, {{15, -14}, {10, -20, Fade::Linear}}, 1.0, 0, 2.0, 3.0, true},
};

} // namespace

TEST(SoundTrackFinder, FindsTheTracksOfRealisticSides)
{
    for (const Side& side : kSides) {
        const Synth s = synthesise(side);
        MemoryReader reader(framesOf(s), side.rate);
        ASSERT_EQ(reader.open(QString()), SoundTools::StatusOk);
        const auto f = find(reader);
        expectTracks(*f, s.truth, side.rate, 0.5, side.name);
        // The regions cover the input, tracks and gaps alternating.
        const std::vector<RMSStepDetector::Region> regions = f->regions();
        ASSERT_FALSE(regions.empty()) << side.name;
        EXPECT_EQ(regions.back().BeginSample + regions.back().SampleNb, static_cast<int>(s.music.size())) << side.name;
    }
}

// Every readable format gives the same boundaries; MP3 within the codec's
// delay and padding.
TEST(SoundTrackFinder, SameBoundariesFromEveryFormat)
{
    const Side side{"formats", 44100, Bed::White, -60, {{12, -14}, {10, -18, Fade::Log}}};
    const Synth s = synthesise(side);
    QTemporaryDir dir;
    for (const char* ext : {"wav", "flac", "ogg", "mp3"}) {
        const QString name = dir.filePath(QStringLiteral("side.%1").arg(ext));
        {
            std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(name, side.rate, 192, SoundTools::PCM16));
            ASSERT_TRUE(w) << ext;
            ASSERT_EQ(w->open(name), SoundTools::StatusOk) << ext;
            const std::vector<SoundTools::StereoFrame<double>> f = framesOf(s);
            auto buffer = SoundBuffer::createNew(side.rate);
            buffer->alloc(static_cast<unsigned int>(f.size()), 2, 1, 1);
            buffer->setOrigin(0);
            buffer->setFrameNB(static_cast<unsigned int>(f.size()));
            std::copy(&f[0].left, &f[0].left + 2 * f.size(), buffer->getRelFrame(0));
            ASSERT_FALSE(w->writeBuffer(buffer, 0)) << ext;
            w->close();
        }
        std::unique_ptr<SoundTrackFinder, void (*)(SoundTrackFinder*)> f(new SoundTrackFinder(),
                                                                         [](SoundTrackFinder* p) { p->release(); });
        ASSERT_EQ(f->findInFile(name), SoundTools::StatusOk) << ext;
        expectTracks(*f, s.truth, side.rate, 0.5, ext);
    }
}

// Inputs without music: nothing is called a track, and the outcome says why.
TEST(SoundTrackFinder, NoTrackWithoutMusic)
{
    const unsigned int rate = 16000;
    std::mt19937 rng(7);
    const std::vector<double> noise = bedNoise(Bed::Pink, 20 * rate, rate, -50, rng);
    struct Case {
        const char* name;
        std::vector<SoundTools::StereoFrame<double>> frames;
        SoundTrackFinder::Outcome outcome;
    };
    std::vector<Case> cases = {
        {"empty", {}, SoundTrackFinder::Outcome::Silence},
        {"zeros", std::vector<SoundTools::StereoFrame<double>>(10 * rate, {0.0, 0.0}), SoundTrackFinder::Outcome::Silence},
        {"noise only", {}, SoundTrackFinder::Outcome::NoiseOnly},
        {"steady tone", {}, SoundTrackFinder::Outcome::NoiseOnly},
    };
    for (double v : noise)
        cases[2].frames.push_back({v, v});
    for (unsigned int i = 0; i < 20 * rate; ++i)
        cases[3].frames.push_back({0.3 * std::sin(2 * M_PI * 440.0 * i / rate), 0.3 * std::sin(2 * M_PI * 440.0 * i / rate)});
    for (Case& c : cases) {
        MemoryReader reader(c.frames, rate);
        ASSERT_EQ(reader.open(QString()), SoundTools::StatusOk);
        const auto f = find(reader);
        EXPECT_EQ(f->outcome(), c.outcome) << c.name;
        EXPECT_TRUE(f->tracks().empty()) << c.name;
        EXPECT_EQ(f->createStepDetector(), nullptr) << c.name;
    }
}
