// Copies its input to its output while declaring a given in overlap, delay
// and out overlap; the output is the input moved by delay - outOverlap
// frames. Composites pad their branches with it so that they line up.
#ifndef VEXA_SOUNDALGOBYPASS_H
#define VEXA_SOUNDALGOBYPASS_H

#include "SoundAlgo.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoBypass : public SoundAlgo {
    Q_OBJECT

public:
    // Note the argument order: in overlap, delay, out overlap.
    explicit SoundAlgoBypass(unsigned int inOverlap = 0, unsigned int delay = 0, unsigned int outOverlap = 0);
    ~SoundAlgoBypass() override;

    SoundTools::Status process() override;
    unsigned int getDelay(unsigned int sampleRate) const override;
    unsigned int getInOverlap(unsigned int sampleRate) const override;
    unsigned int getOutOverlap(unsigned int sampleRate) const override;

protected:
    unsigned int mInOverlap;
    unsigned int mOutOverlap;
    unsigned int mDelay;
};

#endif
