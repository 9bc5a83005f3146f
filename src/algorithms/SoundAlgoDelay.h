// Delay by a duration in seconds (d = floor(rate x seconds + 0.5) frames).
//
// Normal mode declares a delay of d: the output is the input d frames later
// on the stream's time line, preceded by d silent frames.
// Overlap mode declares an out overlap and a sample shift of d instead: the
// output equals the input frame for frame, but the last d frames of each
// block are only delivered with the next block (and at the end through the
// d silent frames of the shift).
#ifndef VEXA_SOUNDALGODELAY_H
#define VEXA_SOUNDALGODELAY_H

#include "SoundAlgo.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoDelay : public SoundAlgo {
    Q_OBJECT

public:
    SoundAlgoDelay(double seconds, bool overlapMode);
    ~SoundAlgoDelay() override;

    SoundTools::Status process() override;
    unsigned int getDelay(unsigned int sampleRate) const override;
    unsigned int getSampleShift(unsigned int sampleRate) const override;
    unsigned int getOutOverlap(unsigned int sampleRate) const override;

protected:
    unsigned int delayFrames(unsigned int sampleRate) const;

    double mSeconds;
    bool mOverlapMode;
};

#endif
