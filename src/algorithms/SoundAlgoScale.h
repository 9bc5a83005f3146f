// Fixed gain, given in dB.
#ifndef VEXA_SOUNDALGOSCALE_H
#define VEXA_SOUNDALGOSCALE_H

#include "SoundAlgo.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoScale : public SoundAlgo {
    Q_OBJECT

public:
    explicit SoundAlgoScale(double gainDb);
    ~SoundAlgoScale() override;

    SoundTools::Status process() override;

protected:
    double mFactor;
};

#endif
