#include "Synth.h"

#include <vexa/vexa.h>

#include <cmath>
#include <memory>
#include <random>

namespace {

constexpr double kGapSeconds = 4.0;
constexpr double kLeadSeconds = 2.0;
constexpr double kNoiseRmsDb = -60.0;

// A short melody over a drone: notes of a pentatonic scale with a few
// partials, a percussive attack every beat, the two channels panned apart.
class Voice {
public:
    Voice(unsigned int seed, unsigned int sampleRate) : mRandom(seed), mRate(sampleRate) {}

    // One frame of the track (not yet scaled to its level).
    void next(double& left, double& right)
    {
        if (mNoteLeft <= 0)
            newNote();
        --mNoteLeft;
        const double env = std::exp(-mNoteAge / (0.35 * mRate)) * 0.8 + 0.2;
        ++mNoteAge;
        double tone = 0.0;
        for (int k = 0; k < 4; ++k) {
            mPhase[k] += mStep[k];
            if (mPhase[k] > 2 * M_PI)
                mPhase[k] -= 2 * M_PI;
            tone += std::sin(mPhase[k]) / (k + 1);
        }
        mDronePhase += mDroneStep;
        if (mDronePhase > 2 * M_PI)
            mDronePhase -= 2 * M_PI;
        const double drone = 0.35 * std::sin(mDronePhase);
        const double beat = mNoteAge < mRate / 50 ? mNoise(mRandom) * (1.0 - mNoteAge / (mRate / 50.0)) : 0.0;
        const double v = env * tone + drone;
        left = 0.7 * v + 0.3 * beat + 0.02 * mNoise(mRandom);
        right = 0.5 * v + 0.5 * drone + 0.3 * beat + 0.02 * mNoise(mRandom);
    }

private:
    void newNote()
    {
        static const double kScale[] = {0, 2, 4, 7, 9, 12, 14, 16};
        std::uniform_int_distribution<int> pick(0, 7);
        std::uniform_real_distribution<double> length(0.25, 0.75);
        const double f = 220.0 * std::pow(2.0, kScale[pick(mRandom)] / 12.0);
        for (int k = 0; k < 4; ++k)
            mStep[k] = 2 * M_PI * f * (k + 1) / mRate;
        mNoteLeft = static_cast<long>(length(mRandom) * mRate);
        mNoteAge = 0;
        if (mDroneStep == 0.0)
            mDroneStep = 2 * M_PI * 110.0 / mRate;
    }

    std::mt19937 mRandom;
    std::uniform_real_distribution<double> mNoise{-1.0, 1.0};
    unsigned int mRate;
    double mPhase[4] = {0, 0, 0, 0};
    double mStep[4] = {0, 0, 0, 0};
    double mDronePhase = 0;
    double mDroneStep = 0;
    long mNoteLeft = 0;
    double mNoteAge = 0;
};

// The voices are normalised from their measured RMS over the first seconds:
// the level of a track is then its target within a fraction of a dB.
std::vector<double> voiceGains(const std::vector<SynthTrack>& tracks, unsigned int sampleRate)
{
    std::vector<double> gains;
    for (size_t i = 0; i < tracks.size(); ++i) {
        Voice probe(1000 + static_cast<unsigned int>(i), sampleRate);
        double sum = 0;
        const long probeFrames = static_cast<long>(std::min(tracks[i].duration, 20.0) * sampleRate);
        for (long k = 0; k < probeFrames; ++k) {
            double l, r;
            probe.next(l, r);
            sum += 0.5 * (l * l + r * r);
        }
        gains.push_back(std::pow(10.0, tracks[i].levelDb / 20.0) / std::sqrt(sum / std::max(1L, probeFrames)));
    }
    return gains;
}

} // namespace

std::vector<SynthTrack> demoTracks(double totalSeconds)
{
    const double levels[6] = {-14, -20, -12, -17, -11, -16};
    const double shares[6] = {0.17, 0.15, 0.19, 0.14, 0.18, 0.17};
    const double music = totalSeconds - 2 * kLeadSeconds - 5 * kGapSeconds;
    std::vector<SynthTrack> tracks;
    double t = kLeadSeconds;
    for (int i = 0; i < 6; ++i) {
        SynthTrack s;
        s.start = t;
        s.duration = std::max(1.0, std::floor(music * shares[i] * 10.0 + 0.5) / 10.0);
        s.levelDb = levels[i];
        s.fadeOut = i == 2 ? std::min(6.0, s.duration / 4) : 0.0;
        tracks.push_back(s);
        t += s.duration + kGapSeconds;
    }
    return tracks;
}

bool writeDemoSide(const QString& fileName, const std::vector<SynthTrack>& tracks, double totalSeconds,
                   unsigned int sampleRate, QString& error)
{
    SoundWriterSndfile writer(sampleRate, 2, SoundTools::PCM16);
    if (writer.open(fileName) != SoundTools::StatusOk) {
        error = SoundDebuggableClass::getError();
        return false;
    }
    SoundIDTag tags;
    tags.title = "vexa demonstration side";
    tags.artist = "vexa";
    writer.setTags(tags);

    const long long total = static_cast<long long>(std::floor(totalSeconds * sampleRate + 0.5));
    auto buffer = SoundBuffer::createNew(sampleRate);
    const unsigned int block = 65536;
    buffer->alloc(block, 2, 1, 1);
    std::mt19937 noiseRandom(4242);
    // Uniform noise of RMS a / sqrt(3): scaled to the gap level.
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    const double noiseAmp = std::pow(10.0, kNoiseRmsDb / 20.0) * std::sqrt(3.0);

    std::vector<std::unique_ptr<Voice>> voices;
    const std::vector<double> gains = voiceGains(tracks, sampleRate);
    for (size_t i = 0; i < tracks.size(); ++i)
        voices.push_back(std::make_unique<Voice>(1000 + static_cast<unsigned int>(i), sampleRate));

    long long pos = 0;
    while (pos < total) {
        const unsigned int n = static_cast<unsigned int>(std::min<long long>(block, total - pos));
        buffer->setOrigin(static_cast<int>(pos));
        buffer->setFrameNB(n);
        for (unsigned int k = 0; k < n; ++k) {
            const double t = static_cast<double>(pos + k) / sampleRate;
            double l = noiseAmp * noise(noiseRandom);
            double r = noiseAmp * noise(noiseRandom);
            for (size_t i = 0; i < tracks.size(); ++i) {
                const SynthTrack& s = tracks[i];
                if (t < s.start || t >= s.start + s.duration)
                    continue;
                double vl, vr;
                voices[i]->next(vl, vr);
                double g = gains[i];
                const double toEnd = s.start + s.duration - t;
                if (s.fadeOut > 0 && toEnd < s.fadeOut)
                    g *= std::pow(10.0, -60.0 * (1.0 - toEnd / s.fadeOut) / 20.0); // 0 to -60 dB, linear in dB
                l = g * vl;
                r = g * vr;
            }
            double* f = buffer->getRelFrame(static_cast<int>(k));
            f[0] = l;
            f[1] = r;
        }
        if (writer.writeBuffer(buffer, 0)) {
            error = SoundDebuggableClass::getError();
            return false;
        }
        pos += n;
    }
    writer.close();
    return true;
}
