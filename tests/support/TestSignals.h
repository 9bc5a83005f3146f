// Deterministic test signals.
#ifndef VEXA_TESTS_TESTSIGNALS_H
#define VEXA_TESTS_TESTSIGNALS_H

#include "SoundTools.h"

#include <cstdint>
#include <vector>

namespace testsignals {

// A ramp that tells every stream index apart and is never zero inside the
// stream: left = index + 1, right = -(index + 1) / 2.
SoundTools::StereoFrame<double> ramp(int64_t index);

std::vector<SoundTools::StereoFrame<double>> rampFrames(unsigned int count);
std::vector<SoundTools::StereoFrame<double>> noiseFrames(unsigned int count, uint32_t seed, double amplitude = 1.0);

} // namespace testsignals

#endif
