// Energy sum of its inputs: out0 = sqrt(sum of (w[i] x in_i)^2), per channel.
#ifndef VEXA_SOUNDALGOADDSQR_H
#define VEXA_SOUNDALGOADDSQR_H

#include "SoundAlgoAdd.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoAddSqr : public SoundAlgoAdd {
    Q_OBJECT

public:
    explicit SoundAlgoAddSqr(int inputs = 2, bool singleOutput = true, const double* weights = nullptr);
    ~SoundAlgoAddSqr() override;

    SoundTools::Status process() override;
};

#endif
