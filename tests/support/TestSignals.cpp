#include "TestSignals.h"

#include <random>

namespace testsignals {

SoundTools::StereoFrame<double> ramp(int64_t index)
{
    const double v = static_cast<double>(index + 1);
    return {v, -0.5 * v};
}

std::vector<SoundTools::StereoFrame<double>> rampFrames(unsigned int count)
{
    std::vector<SoundTools::StereoFrame<double>> frames(count);
    for (unsigned int i = 0; i < count; ++i)
        frames[i] = ramp(i);
    return frames;
}

std::vector<SoundTools::StereoFrame<double>> noiseFrames(unsigned int count, uint32_t seed, double amplitude)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-amplitude, amplitude);
    std::vector<SoundTools::StereoFrame<double>> frames(count);
    for (auto& f : frames) {
        f.left = dist(rng);
        f.right = dist(rng);
    }
    return frames;
}

} // namespace testsignals
