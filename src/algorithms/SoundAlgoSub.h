// Difference of its inputs: out0 = in0 - in1 - ... - in_{N-1}.
#ifndef VEXA_SOUNDALGOSUB_H
#define VEXA_SOUNDALGOSUB_H

#include "SoundAlgoMulti.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoSub : public SoundAlgoMulti {
    Q_OBJECT

public:
    explicit SoundAlgoSub(int inputs = 2, bool singleOutput = true);
    ~SoundAlgoSub() override;

    SoundTools::Status process() override;
};

#endif
