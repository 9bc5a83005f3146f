// True peak of a stereo stream (BS.1770-4 Annex 2): the largest magnitude
// of the signal reconstructed between its samples, found by oversampling
// with a polyphase FIR interpolator and keeping the running maximum of
// |value| per channel. The rate sets the oversampling, as libebur128 and
// the usual meters do: 4x below 96 kHz, 2x below 192 kHz, none above.
//
// The interpolator is a Hann-windowed sinc cut off at the input's Nyquist
// frequency, F T + 1 = 49 taps long (F the oversampling, T = 12 taps per
// phase at 4x, 24 at 2x), centred on a tap: its phase 0 is the sample
// itself, so the samples count unchanged and the true peak is never below
// the sample peak. Only the other F - 1 phases are filtered.
//
// The filter's history carries over from one process() call to the next;
// the stream starts from silence. The last T/2 frames of the run have not
// yet had their in-between values computed when the results are read (no
// flush), as with the meters it is compared with; the samples themselves
// are counted at once.
#ifndef VEXA_STATISTICS_DETAIL_TRUEPEAK_H
#define VEXA_STATISTICS_DETAIL_TRUEPEAK_H

#include "SoundTools.h"

#include <array>

namespace vexa::detail {

class TruePeak {
public:
    using Frame = SoundTools::StereoFrame<double>;

    // Phases besides phase 0, times their taps, at most.
    static constexpr unsigned int kMaxCoefficients = 36;
    static constexpr unsigned int kMaxTaps = 24;

    TruePeak() { reset(48000); }

    // Designs the interpolator for the rate and clears the history and the
    // peaks.
    void reset(unsigned int sampleRate);
    // Measures the n frames that follow the ones already given.
    void process(const Frame* in, unsigned int n);

    // Largest |value| of channel 0 (left) or 1 (right), samples included,
    // linear.
    double peak(int channel) const { return mPeak[channel == 0 ? 0 : 1]; }
    unsigned int oversampling() const { return mFactor; }

    // Runs the frames x[0 .. n-1], reading back to x[-(taps - 1)]; raises
    // peak[0], peak[1]. g holds the phases' taps, phase after phase, and g2
    // the same values each written twice.
    using Kernel = void (*)(const double* g, const double* g2, const Frame* x, unsigned int n, double* peak);

private:
    unsigned int mFactor = 4;
    unsigned int mTaps = 12;
    Kernel mKernel = nullptr;
    alignas(32) std::array<double, kMaxCoefficients> mG{};
    alignas(32) std::array<double, 2 * kMaxCoefficients> mG2{};
    // The last taps - 1 frames given, oldest first, followed by room for as
    // many new ones: the first frames of a call are run from here.
    std::array<Frame, 2 * kMaxTaps> mStage{};
    double mPeak[2] = {0.0, 0.0};
};

} // namespace vexa::detail

#endif
