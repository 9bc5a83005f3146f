// A parametric equalizer: a cascade of cookbook bands addressed by index,
// which can be retuned while a run goes on (the retuned band restarts from
// zero history; the others keep theirs). Callers that retune from another
// thread must serialise with the processing thread.
#ifndef VEXA_SOUNDALGOFILTERBIQUAD_H
#define VEXA_SOUNDALGOFILTERBIQUAD_H

#include "SoundAlgoFilter.h"
#include "SoundTools.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoFilterBiquad : public SoundAlgoFilter {
    Q_OBJECT

public:
    SoundAlgoFilterBiquad();
    SoundAlgoFilterBiquad(SoundTools::FilterType type, double freq, double width, double gain);
    ~SoundAlgoFilterBiquad() override;

    void pushFilter(SoundTools::FilterType type, double freq, double width, double gain);
    using SoundAlgoFilter::pushFilter;

    // Ignored for an index without a band.
    void SetFreq(unsigned int index, double freq);
    void SetLevel(unsigned int index, double gainDb);
    void SetWidth(unsigned int index, double width);
};

#endif
