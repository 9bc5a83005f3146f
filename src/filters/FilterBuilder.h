// Base of the objects that hold the design of one filter (type, frequency,
// width, gain) and turn it into a ready kernel once the sample rate is known,
// and the conversions between band edges and centre frequency plus width.
#ifndef VEXA_FILTERBUILDER_H
#define VEXA_FILTERBUILDER_H

#include "SoundFilter.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <boost/noncopyable.hpp>

#include <memory>

namespace SoundTools {

class VEXA_EXPORT FilterBuilder : private boost::noncopyable {
public:
    virtual ~FilterBuilder();

    // A new kernel with zero history for that sample rate in Hz. The builder
    // keeps no reference to it; every call returns a new kernel, never null.
    virtual std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) = 0;

protected:
    FilterBuilder() = default;
};

// Centre frequency and width in octaves of the band [fmin, fmax]. The width
// is quantised to steps of 15/4096 octave, taking the largest step not above
// log2(fmax / fmin), plus half a step; widths run from half a step to about
// 15 octaves. fco is the geometric centre for that width: 2^(width/2) fmin.
VEXA_EXPORT void get_fco(double fmin, double fmax, double& fco, double& width);

// Band edges of a band of centre fco and width in octaves:
// fco / 2^(width/2) and fco * 2^(width/2).
VEXA_EXPORT void get_minmax(double fco, double width, double& fmin, double& fmax);

} // namespace SoundTools

#endif
