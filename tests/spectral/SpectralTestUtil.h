// Runs nodes through the processing loop over frames held in memory, and
// the independent references the spectral tests compare with.
#ifndef VEXA_TESTS_SPECTRALTESTUTIL_H
#define VEXA_TESTS_SPECTRALTESTUTIL_H

#include "MemoryReader.h"
#include "MemoryWriter.h"

#include "SoundAlgo.h"
#include "SoundBuffer.h"

#include <cmath>
#include <complex>
#include <vector>

namespace spectraltest {

using Frames = std::vector<SoundTools::StereoFrame<double>>;

struct RunResult {
    SoundTools::Status status = SoundTools::StatusError;
    Frames out;
    unsigned int processed = 0; // frames fed to the node, padding included
};

// A whole run of `node` over `input`, with the loop's default block size set
// to `blockSize` and the reader delivering at most `maxChunk` frames a call
// (0: no limit). The default block size is put back afterwards.
inline RunResult runNode(SoundAlgo& node, const Frames& input, unsigned int blockSize, unsigned int maxChunk = 0,
                         unsigned int rate = 44100, bool write = true)
{
    const unsigned int saved = SoundBuffer::getDefaultSize();
    SoundBuffer::setDefaultSize(blockSize);
    MemoryReader reader(input, rate);
    reader.open(QString());
    reader.rewind();
    reader.setMaxChunk(maxChunk);
    MemoryWriter writer(rate);
    RunResult r;
    SoundAlgo::LoopContext ctx;
    r.status = node.initProcessLoop(reader, ctx);
    if (r.status == SoundTools::StatusOk) {
        while (node.singleProcessLoop(reader, ctx, write ? &writer : nullptr) == SoundTools::StatusOk) {
        }
        node.endProcessLoop(ctx);
        r.status = ctx.status;
        r.processed = ctx.frameNbProcessed;
    }
    SoundBuffer::setDefaultSize(saved);
    r.out.resize(writer.frameCount());
    for (size_t i = 0; i < r.out.size(); ++i)
        r.out[i] = {writer.samples[2 * i], writer.samples[2 * i + 1]};
    return r;
}

// y[m] = sum_j h[j] x[m - j] for m < length (x is 0 outside the input).
inline Frames convolve(const std::vector<double>& h, const Frames& x, size_t length)
{
    Frames y(length, {0.0, 0.0});
    for (size_t m = 0; m < length; ++m) {
        long double l = 0, r = 0;
        for (size_t j = 0; j < h.size() && j <= m; ++j) {
            if (m - j >= x.size())
                continue;
            l += h[j] * x[m - j].left;
            r += h[j] * x[m - j].right;
        }
        y[m] = {static_cast<double>(l), static_cast<double>(r)};
    }
    return y;
}

// Amplitude of the FIR h at frequency f (fraction of the sample rate).
inline double magnitude(const std::vector<double>& h, double f)
{
    std::complex<long double> s = 0;
    for (size_t n = 0; n < h.size(); ++n) {
        const long double a = -2.0L * 3.14159265358979323846L * f * static_cast<long double>(n);
        s += static_cast<long double>(h[n]) * std::complex<long double>(std::cos(a), std::sin(a));
    }
    return static_cast<double>(std::abs(s));
}

inline double largestDifference(const Frames& a, const Frames& b, size_t from = 0)
{
    double d = 0.0;
    for (size_t i = from; i < a.size() && i < b.size(); ++i)
        d = std::max({d, std::fabs(a[i].left - b[i].left), std::fabs(a[i].right - b[i].right)});
    return d;
}

} // namespace spectraltest

#endif
