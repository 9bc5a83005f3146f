// A biquad whose output gain moves by slow ramps and which lowers its gain
// by itself when its output would pass full scale.
//
// setGain(g) does not jump: the gain walks to g linearly over 440000 frames
// (a frame count, so its duration depends on the sample rate). When a frame
// comes out above 1.0 on either channel, the gain is brought down so that
// this frame comes out at 0.8, and the frames already written in the same
// call (up to 2000 of them) are bent down linearly towards the new gain, so
// that the correction has no step. The first frame of a call has nothing
// before it to bend: it is left as it is, and the gain is not changed.
#ifndef VEXA_BIQUADCLIPFILTER_H
#define VEXA_BIQUADCLIPFILTER_H

#include "SoundFilter.h"
#include "vexa_export.h"

namespace SoundTools {

class VEXA_EXPORT BiquadClipFilter : public BiquadFilter {
public:
    // b and a point to 3 values each. Gain 1, no ramp running.
    BiquadClipFilter(const double* b, const double* a);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n) override;

    // Starts a ramp to the new gain; the same value as the current gain
    // changes nothing. (Filter::setGain, called qualified, sets it at once.)
    void setGain(double gain) override;

    // Frames left in the running ramp (0 when none).
    unsigned int getRampFramesLeft() const { return mRampLeft; }

    static constexpr unsigned int kRampFrames = 440000;
    static constexpr unsigned int kMaxLookBack = 2000;

protected:
    double mRampStep;
    unsigned int mRampLeft;
    double mRampTarget; // the gain is set exactly to this when the ramp ends
};

} // namespace SoundTools

#endif
