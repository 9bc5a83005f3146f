// Weighted sum of its inputs, frame by frame: out0 = sum of w[i] x in_i.
// Without a single output, output i (i > 0) also carries a copy of input i.
#ifndef VEXA_SOUNDALGOADD_H
#define VEXA_SOUNDALGOADD_H

#include "SoundAlgoMulti.h"
#include "vexa_export.h"

#include <vector>

class VEXA_EXPORT SoundAlgoAdd : public SoundAlgoMulti {
    Q_OBJECT

public:
    // weights: the first `inputs` values, or 1.0 for every input when null.
    explicit SoundAlgoAdd(int inputs = 2, bool singleOutput = true, const double* weights = nullptr);
    ~SoundAlgoAdd() override;

    SoundTools::Status process() override;

protected:
    std::vector<double> mWeights;
};

#endif
