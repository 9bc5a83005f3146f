// Synthetic recordings for the segmentation tests: pieces of steady tone,
// slowly varying tone, low-level noise, fades and digital silence, with the
// stream position of every piece known.
#ifndef VEXA_TESTS_SEGMENTATIONSIGNALS_H
#define VEXA_TESTS_SEGMENTATIONSIGNALS_H

#include "SoundTools.h"

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace segsignals {

using Frames = std::vector<SoundTools::StereoFrame<double>>;

constexpr unsigned int kRate = 8000;
// A tone whose period divides the 0.2 s window: the windowed mean square of
// a steady piece is exactly amplitude^2 / 2 (left) and (0.8 amplitude)^2 / 2.
constexpr double kToneHz = 100.0;

inline double dbToAmp(double db)
{
    return std::pow(10.0, db / 20.0);
}

class Recording {
public:
    // Steady tone at `db` dBFS peak; the right channel is 0.8 x the left.
    Recording& tone(double seconds, double db) { return add(seconds, db, db, 0.0); }
    // Tone whose level moves by up to +-depthDb around db, slowly (0.25 Hz).
    Recording& varying(double seconds, double db, double depthDb) { return add(seconds, db, db, depthDb); }
    // Tone going from db to endDb linearly in dB.
    Recording& fade(double seconds, double db, double endDb) { return add(seconds, db, endDb, 0.0); }
    // Uniform white noise of the given peak level in dBFS.
    Recording& noise(double seconds, double db)
    {
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        const double a = dbToAmp(db);
        const size_t n = frames(seconds);
        for (size_t i = 0; i < n; ++i)
            data.push_back({a * u(mRandom), a * u(mRandom)});
        return *this;
    }
    Recording& silence(double seconds)
    {
        data.resize(data.size() + frames(seconds), {0.0, 0.0});
        return *this;
    }
    int position() const { return static_cast<int>(data.size()); }

    Frames data;

private:
    static size_t frames(double seconds) { return static_cast<size_t>(std::floor(seconds * kRate + 0.5)); }

    Recording& add(double seconds, double db, double endDb, double depthDb)
    {
        const size_t n = frames(seconds);
        for (size_t i = 0; i < n; ++i) {
            const double t = static_cast<double>(data.size()) / kRate;
            double level = db + (endDb - db) * static_cast<double>(i) / static_cast<double>(n);
            level += depthDb * std::sin(2.0 * M_PI * 0.25 * static_cast<double>(i) / kRate);
            const double a = dbToAmp(level);
            const double s = std::sin(2.0 * M_PI * kToneHz * t);
            data.push_back({a * s, 0.8 * a * s});
        }
        return *this;
    }

    std::mt19937 mRandom{12345u};
};

} // namespace segsignals

#endif
