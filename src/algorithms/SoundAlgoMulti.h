// Base of the nodes with several inputs and one output, or as many outputs
// as inputs.
#ifndef VEXA_SOUNDALGOMULTI_H
#define VEXA_SOUNDALGOMULTI_H

#include "SoundAlgo.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoMulti : public SoundAlgo {
    Q_OBJECT

public:
    SoundAlgoMulti(int inputs, bool singleOutput);

    unsigned int getInputNumber() const override;
    unsigned int getOutputNumber() const override;

protected:
    int mInputNumber;
    bool mSingleOutput;
};

#endif
