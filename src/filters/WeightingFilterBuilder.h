// The A-weighting curve (IEC 61672) as one sixth-order kernel.
//
// The analogue curve, 0 dB at 1 kHz, is taken to the digital domain by the
// bilinear transform s = 2 fs (1 - 1/z) / (1 + 1/z), without pre-warping, as
// three second-order stages whose products make one 7-coefficient filter.
// Without pre-warping the digital curve is the analogue one at the frequency
// (fs / pi) tan(pi f / fs): close to it well below fs/2, lower towards the
// top of the band.
#ifndef VEXA_WEIGHTINGFILTERBUILDER_H
#define VEXA_WEIGHTINGFILTERBUILDER_H

#include "FilterBuilder.h"
#include "vexa_export.h"

#include <memory>

namespace SoundTools {

class VEXA_EXPORT WeightingFilterBuilder : public FilterBuilder {
public:
    WeightingFilterBuilder();
    ~WeightingFilterBuilder() override;

    // A new Order6Filter. The coefficients are scaled so that the largest in
    // magnitude is 1 (the response is unchanged), and are written to Qt's
    // debug channel.
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;
};

} // namespace SoundTools

#endif
