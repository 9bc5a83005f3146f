// One equalizer band as a biquad, after the Audio EQ Cookbook (R. Bristow-
// Johnson): low pass, band pass (0 dB peak), high pass, low shelf, peaking
// band and high shelf.
//
// width is a bandwidth in octaves for the pass filters and the peaking band,
// and the shelf slope S for the shelves; gain is in dB and used by the
// peaking band and the shelves only. A band too close to the Nyquist
// frequency (2 freq + 1 >= sample rate) becomes a pass-through. BandStop is
// not supported: it is reported on Qt's critical channel and leaves the
// coefficients as they were (zero for a builder that never computed any).
#ifndef VEXA_BIQUADEQBUILDER_H
#define VEXA_BIQUADEQBUILDER_H

#include "FilterBuilder.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <memory>

namespace SoundTools {

class VEXA_EXPORT BiquadEqBuilder : public FilterBuilder {
public:
    BiquadEqBuilder(FilterType type, double freq, double width, double gain);
    ~BiquadEqBuilder() override;

    // Setting a parameter recomputes nothing; the next init or buildFilter
    // uses it.
    void setFreq(double freq) { mFreq = freq; }
    void setWidth(double width) { mWidth = width; }
    void setGain(double gain) { mGain = gain; }
    double freq() const { return mFreq; }
    double width() const { return mWidth; }
    double gain() const { return mGain; }
    FilterType type() const { return mType; }

    // Computes the coefficients for that sample rate (a0 normalised to 1).
    void init(unsigned int sampleRate);

    // init, then a new BiquadFilter with b = {b0, b1, b2}, a = {1, a1, a2}.
    std::shared_ptr<Filter> buildFilter(unsigned int sampleRate) override;

    // The same as a BiquadClipFilter whose linear gain is set to `gain` at
    // once (no ramp).
    std::shared_ptr<Filter> buildClipFilter(unsigned int sampleRate, double gain);

protected:
    FilterType mType;
    double mFreq;
    double mWidth;
    double mGain;
    double mB0 = 0.0;
    double mB1 = 0.0;
    double mB2 = 0.0;
    double mA1 = 0.0;
    double mA2 = 0.0;
};

} // namespace SoundTools

#endif
