#include "StreamRun.h"

#include "MemoryReader.h"
#include "MemoryWriter.h"

#include <gtest/gtest.h>

TestFrames runStream(SoundAlgo& node, const TestFrames& input, unsigned int blockSize, unsigned int sampleRate,
                     unsigned int maxChunk)
{
    SoundBuffer::setDefaultSize(blockSize);
    MemoryReader reader(input, sampleRate);
    reader.setMaxChunk(maxChunk);
    reader.open(QString());
    reader.rewind();
    MemoryWriter writer(sampleRate);
    EXPECT_EQ(node.processAll(reader, &writer), SoundTools::StatusOk);
    TestFrames out(writer.frameCount());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = {writer.samples[2 * i], writer.samples[2 * i + 1]};
    return out;
}
