// Shared pieces of the benchmarks.
#ifndef VEXA_BENCH_BENCHSUPPORT_H
#define VEXA_BENCH_BENCHSUPPORT_H

#include "SoundReader.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Serves `frames` frames from a small cyclic pattern, as a decoder would
// deliver them, without holding the whole stream in memory.
class PatternReader : public SoundReader {
public:
    PatternReader(unsigned int frames, unsigned int sampleRate) : mFrames(frames), mSampleRate(sampleRate), mPattern(2 * 4096)
    {
        for (size_t i = 0; i < mPattern.size(); ++i)
            mPattern[i] = static_cast<double>(i % 977) / 977.0 - 0.5;
    }
    SoundTools::Status open(QString) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned int getFrameNB() override { return mFrames; }
    unsigned int getSampleRate() override { return mSampleRate; }
    void rewind() override
    {
        resetAtEnd();
        mOffset = 0;
        mPosition = 0;
    }
    SoundTools::SoundFormat getInputFormat() override { return SoundTools::Double; }

protected:
    unsigned int read(unsigned int frames, double* dst) override
    {
        const unsigned int n = std::min(frames, mFrames - mPosition);
        unsigned int done = 0;
        while (done < n) {
            const unsigned int chunk = std::min(n - done, 4096u);
            std::memcpy(dst + 2 * static_cast<size_t>(done), mPattern.data(), chunk * 2 * sizeof(double));
            done += chunk;
        }
        mPosition += n;
        return n;
    }

    unsigned int mFrames;
    unsigned int mSampleRate;
    unsigned int mPosition = 0;
    std::vector<double> mPattern; // 4096 interleaved stereo frames
};

} // namespace

#endif
