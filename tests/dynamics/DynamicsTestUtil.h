// Shared helpers of the dynamics tests: running whole streams through a node
// and the generated material the nodes are measured on.
#ifndef VEXA_TESTS_DYNAMICSTESTUTIL_H
#define VEXA_TESTS_DYNAMICSTESTUTIL_H

#include "DefaultSizeTest.h"
#include "SoundAlgo.h"
#include "StreamRun.h"
#include "SoundBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace dyntest {

using Frame = SoundTools::StereoFrame<double>;
using Frames = std::vector<Frame>;

// Restores the default block size after each test.
using BlockSizeFixture = DefaultSizeTest;
using ::runStream;

double peakOf(const Frame& f);
// Largest absolute sample of frames [from, to).
double peakOf(const Frames& frames, size_t from = 0, size_t to = SIZE_MAX);

// Generated material, all deterministic.
Frames sine(unsigned int count, double freq, double amplitude, unsigned int sampleRate = 44100, double phase = 0.0);
Frames constant(unsigned int count, double left, double right);
// Sums two stretches frame by frame (the shorter one padded with silence).
Frames mix(const Frames& a, const Frames& b);
Frames concat(const std::vector<Frames>& parts);
// Sine bursts of burstFrames every periodFrames, silence between.
Frames bursts(unsigned int count, unsigned int burstFrames, unsigned int periodFrames, double freq, double amplitude,
              unsigned int sampleRate = 44100);
// Isolated single-frame clicks of the given amplitude after silence.
Frames clicks(unsigned int count, unsigned int spacing, double amplitude);
Frames noise(unsigned int count, uint32_t seed, double amplitude);
// A music-like mix: a few partials with a slow tremolo, a bass line and
// light noise, peaking near `peak`.
Frames musicLike(unsigned int count, double peak, unsigned int sampleRate = 44100);

} // namespace dyntest

#endif
