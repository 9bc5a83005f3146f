// Helpers of the io tests: signals, whole-file writing and reading through
// the SoundWriter/SoundReader block interface, and signal comparison.
#ifndef VEXA_TESTS_IOTESTUTIL_H
#define VEXA_TESTS_IOTESTUTIL_H

#include "SoundReader.h"
#include "SoundWriter.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace iotest {

// Interleaved stereo: a few partials per channel, different on left and
// right, peak below `amplitude`.
std::vector<double> music(unsigned int frames, unsigned int sampleRate, double amplitude = 0.8);

// Writes interleaved samples of `channels` channels through writeBuffer in
// blocks of `block` frames; returns true when any writeBuffer call reported
// a failure.
bool writeAll(SoundWriter& writer, const std::vector<double>& samples, unsigned int block = 4096,
              unsigned int sampleRate = 44100, unsigned int channels = 2);

// Reads the reader from its current position to the end through stereoRead
// with blocks of `block` frames and no margin; interleaved stereo.
std::vector<double> readAll(SoundReader& reader, unsigned int block = 4096);

// Largest absolute difference between a and b over their common length.
double maxAbsDiff(const std::vector<double>& a, const std::vector<double>& b);

// Normalised correlation of channel `ch` of a (from frame 0) and b (from
// frame lag) over `frames` frames.
double correlation(const std::vector<double>& a, const std::vector<double>& b, unsigned int ch, unsigned int lag,
                   unsigned int frames);

// The lag in [0, maxLag] with the best correlation of the left channel.
unsigned int bestLag(const std::vector<double>& a, const std::vector<double>& b, unsigned int maxLag,
                     unsigned int frames);

bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);

} // namespace iotest

#endif
