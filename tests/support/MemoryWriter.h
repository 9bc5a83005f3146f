// Test writer collecting the frames handed to it, with their stream
// positions (the range begin plus the frames written before them).
#ifndef VEXA_TESTS_MEMORYWRITER_H
#define VEXA_TESTS_MEMORYWRITER_H

#include "SoundWriter.h"

#include <vector>

class MemoryWriter : public SoundWriter {
public:
    explicit MemoryWriter(unsigned int sampleRate, unsigned int channels = 2);

    SoundTools::Status open(QString) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned int getChannelNum() const override { return mChannels; }

    // Makes the next write calls store no more than `frames` frames.
    void failAfter(unsigned int frames) { mFailAfter = frames; }

    std::vector<double> samples; // interleaved, getChannelNum() values a frame
    std::vector<unsigned int> callSizes;

    size_t frameCount() const { return samples.size() / mChannels; }

protected:
    unsigned int write(unsigned int frames, double* src) override;

private:
    unsigned int mChannels;
    unsigned int mFailAfter = 0xffffffffu;
};

// Counts the frames handed to it and stores nothing.
class DiscardWriter : public SoundWriter {
public:
    explicit DiscardWriter(unsigned int sampleRate)
        : SoundWriter(sampleRate)
    {
    }
    SoundTools::Status open(QString) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned long long frames = 0;

protected:
    unsigned int write(unsigned int n, double*) override
    {
        frames += n;
        return n;
    }
};

#endif
