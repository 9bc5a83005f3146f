// A two-way crossover: output 0 is the filtered signal, output 1 its
// complement (the input times the cascade's gain, minus output 0), so that
// the two outputs add up to the scaled input exactly.
#ifndef VEXA_SOUNDALGOFILTERSPLIT_H
#define VEXA_SOUNDALGOFILTERSPLIT_H

#include "SoundAlgoFilter.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoFilterSplit : public SoundAlgoFilter {
    Q_OBJECT

public:
    SoundAlgoFilterSplit();
    explicit SoundAlgoFilterSplit(std::shared_ptr<SoundTools::FilterBuilder> builder);
    ~SoundAlgoFilterSplit() override;

    SoundTools::Status process() override;
    unsigned int getOutputNumber() const override { return 2; }
};

#endif
