// A writer that encodes behind: it hands the frames to another writer on a
// thread of its own, so that encoding and writing overlap the processing of
// the next blocks. The file is the one the other writer would write; a
// failure of that writer shows at the next block (writeBuffer reports it)
// or at close, with its error text.
#ifndef VEXA_SOUNDWRITERBEHIND_H
#define VEXA_SOUNDWRITERBEHIND_H

#include "SoundWriter.h"
#include "vexa_export.h"

#include <memory>

class VEXA_EXPORT SoundWriterBehind : public SoundWriter {
public:
    // Takes ownership of `target`. At most `blocks` blocks of `blockFrames`
    // frames wait to be written.
    explicit SoundWriterBehind(SoundWriter* target, unsigned int blockFrames = 16384, unsigned int blocks = 4);
    ~SoundWriterBehind() override;

    SoundTools::Status open(QString fileName) override;
    // Waits until every frame is written, then closes the target; its
    // clipped-sample count becomes this writer's.
    void close() override;
    // Waits until every frame handed over so far is written; the target
    // stays open, so that its state can be read between writes.
    void flush();
    void setTags(const SoundIDTag& tags) override;
    unsigned int getChannelNum() const override;

    SoundWriter* getTarget() const;
    // True once a write of the target failed.
    bool hasFailed() const;

protected:
    unsigned int write(unsigned int frames, double* src) override;

private:
    struct Private;
    static void writeBehind(Private* d);
    std::unique_ptr<Private> d;
};

#endif
