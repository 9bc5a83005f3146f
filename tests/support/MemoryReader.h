// Test reader serving frames from memory, or from a generator function of
// the stream index, in chunks no larger than a chosen maximum.
#ifndef VEXA_TESTS_MEMORYREADER_H
#define VEXA_TESTS_MEMORYREADER_H

#include "SoundReader.h"

#include <functional>
#include <vector>

class MemoryReader : public SoundReader {
public:
    using Generator = std::function<SoundTools::StereoFrame<double>(unsigned int index)>;

    MemoryReader(std::vector<SoundTools::StereoFrame<double>> frames, unsigned int sampleRate);
    MemoryReader(Generator generator, unsigned int frameNb, unsigned int sampleRate);

    SoundTools::Status open(QString fileName) override;
    void close() override {}
    unsigned int getFrameNB() override { return mFrameNb; }
    unsigned int getSampleRate() override { return mSampleRate; }
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() override { return SoundTools::Double; }

    // Largest number of frames delivered by one read call (0: no limit).
    void setMaxChunk(unsigned int frames) { mMaxChunk = frames; }
    unsigned int getReadCalls() const { return mReadCalls; }

protected:
    unsigned int read(unsigned int frames, double* dst) override;

private:
    std::vector<SoundTools::StereoFrame<double>> mFrames;
    Generator mGenerator;
    unsigned int mFrameNb;
    unsigned int mSampleRate;
    unsigned int mPosition = 0;
    unsigned int mMaxChunk = 0;
    unsigned int mReadCalls = 0;
};

#endif
