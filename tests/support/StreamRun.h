// Runs a whole stream of frames through a node, as the tests of many nodes do.
#ifndef VEXA_TESTS_STREAMRUN_H
#define VEXA_TESTS_STREAMRUN_H

#include "SoundAlgo.h"

#include <vector>

using TestFrames = std::vector<SoundTools::StereoFrame<double>>;

// Runs the input through the node with the given default block size (and
// reads of at most maxChunk frames when not 0); returns every frame written
// from the start of the stream on. The run's status is checked.
TestFrames runStream(SoundAlgo& node, const TestFrames& input, unsigned int blockSize, unsigned int sampleRate = 44100,
                     unsigned int maxChunk = 0);

#endif
