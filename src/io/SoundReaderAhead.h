// A reader that decodes ahead: it runs another reader on a thread of its
// own, a few blocks in advance, so that decoding overlaps the processing of
// the blocks before. Frames, positions, start points, lengths and tags are
// those of the reader it runs; a failure of that reader ends the stream
// where it failed, with its error text, as it would have read directly.
#ifndef VEXA_SOUNDREADERAHEAD_H
#define VEXA_SOUNDREADERAHEAD_H

#include "SoundReader.h"
#include "vexa_export.h"

#include <memory>

class VEXA_EXPORT SoundReaderAhead : public SoundReader {
public:
    // Takes ownership of `source`. It decodes `blocks` blocks of
    // `blockFrames` frames ahead at most.
    explicit SoundReaderAhead(SoundReader* source, unsigned int blockFrames = 16384, unsigned int blocks = 4);
    ~SoundReaderAhead() override;

    SoundTools::Status open(QString fileName) override;
    void close() override;
    unsigned int getFrameNB() override;
    unsigned int getSampleRate() override;
    // Stops the decoding thread, positions the source at the start point;
    // decoding starts again with the next read.
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() override;
    bool getTags(SoundIDTag& tags) override;

    // The reader it runs.
    SoundReader* getSource() const;

protected:
    unsigned int read(unsigned int frames, double* dst) override;

private:
    struct Private;
    static void decodeAhead(Private* d);
    std::unique_ptr<Private> d;
};

#endif
