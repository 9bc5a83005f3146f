// First-order low pass and high pass by the bilinear transform with the
// cut-off pre-warped (K = tan(pi f / fs)): unity gain in the pass band and
// -3 dB at the cut-off. Used for the band splits of crossovers.
#ifndef VEXA_ORDER1FILTERBUILDER_H
#define VEXA_ORDER1FILTERBUILDER_H

#include "FilterBuilder.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <memory>

namespace SoundTools {

class VEXA_EXPORT Order1FilterBuilder : public FilterBuilder {
public:
    // type LowPass or HighPass; freq is the cut-off in Hz.
    Order1FilterBuilder(FilterType type, double freq);
    ~Order1FilterBuilder() override;

    FilterType type() const { return mType; }
    double freq() const { return mFreq; }

    // A new Order1Filter. A cut-off at or above the Nyquist limit
    // (2 freq + 1 >= sample rate) gives a pass-through, a cut-off below 1 Hz
    // is taken as 1 Hz. Any other type is reported on Qt's critical channel
    // and gives a pass-through.
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;

protected:
    FilterType mType;
    double mFreq;
};

} // namespace SoundTools

#endif
