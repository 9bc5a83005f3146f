// Recursive (IIR) filter kernels running on arrays of stereo frames.
//
// Both channels go through the same coefficients, each with its own history.
// Every kernel computes the direct form I recurrence
//
//   y[i] = (b0 x[i] + b1 x[i-1] + ... + b(N-1) x[i-N+1]
//           - a1 y[i-1] - ... - a(N-1) y[i-N+1]) / a0
//
// and writes y[i] * gain; the gain scales only what is written out, never
// the history. Filter handles any length; BiquadFilter, Order1Filter and
// Order6Filter are the same recurrence written out for 3, 2 and 7
// coefficients, which is what runs in the real-time path.
//
// Kernels are made by the filter builders and held through
// std::shared_ptr<SoundTools::Filter>; create them with std::make_shared of
// the concrete class. One thread at a time may use a kernel.
#ifndef VEXA_SOUNDFILTER_H
#define VEXA_SOUNDFILTER_H

#include "SoundTools.h"
#include "vexa_export.h"

#include <valarray>

namespace SoundTools {

class VEXA_EXPORT Filter {
public:
    // N = max(b.size(), a.size()); the shorter array is padded with zeros.
    // a[0] is the normaliser. Gain 1, histories zero. A filter given no
    // coefficient at all is made as b = {0}, a = {1} (it outputs silence).
    Filter(std::valarray<double> b, std::valarray<double> a);

    // Copies the coefficients and the gain; the history is never copied:
    // the target starts from zero history (so self-assignment clears it).
    Filter(const Filter& other);
    Filter& operator=(const Filter& other);

    // Kernels are destroyed through the shared_ptr that made them, which
    // knows the concrete class.
    ~Filter();

    // Filters n frames from in to out; in and out may be the same array.
    // No allocation happens here.
    virtual void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n);

    // Linear gain applied to every output frame from the next one on.
    virtual void setGain(double gain);
    double getGain() const { return mGain; }

    // Last input frame filtered, and last output of the recurrence (before
    // the gain).
    StereoFrame<double> getLastInput() const { return mInHistory[0]; }
    StereoFrame<double> getOutput() const { return mOutHistory[0]; }

    // The coefficients as held (padded to N), for inspecting a response.
    unsigned int getCoefNb() const { return mCoefNb; }
    const std::valarray<double>& getB() const { return mB; }
    const std::valarray<double>& getA() const { return mA; }

protected:
    // The general recurrence with an explicit output gain.
    void filterGeneral(const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain);

    unsigned int mCoefNb;
    std::valarray<double> mB;
    std::valarray<double> mA;
    double mGain;
    std::valarray<StereoFrame<double>> mInHistory;  // [0] is the most recent
    std::valarray<StereoFrame<double>> mOutHistory; // [0] is the most recent
};

// Second-order section: b0 b1 b2 over a0 a1 a2.
class VEXA_EXPORT BiquadFilter : public Filter {
public:
    // b and a point to 3 values each.
    BiquadFilter(const double* b, const double* a);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n) override;

    // Runs `count` sections in cascade, a few at a time frame by frame
    // (faster than section after section; the same result up to rounding). It
    // applies when every section is a plain biquad and all but the last have
    // gain 1; false, with nothing done, otherwise.
    static bool filterCascade(BiquadFilter* const* sections, unsigned int count, StereoFrame<double>* in,
                              StereoFrame<double>* out, unsigned int n);
    // Most sections filterCascade takes.
    static constexpr unsigned int kMaxSections = 32;

protected:
    void filterWithGain(const StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n, double gain);
};

// First-order section: b0 b1 over a0 a1.
class VEXA_EXPORT Order1Filter : public Filter {
public:
    // b and a point to 2 values each.
    Order1Filter(const double* b, const double* a);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n) override;
};

// Sixth-order filter in one direct form (7 coefficients each), as used by
// the A-weighting curve.
class VEXA_EXPORT Order6Filter : public Filter {
public:
    // Normally 7 values each; other lengths run through the general loop.
    Order6Filter(std::valarray<double> b, std::valarray<double> a);

    void filter(StereoFrame<double>* in, StereoFrame<double>* out, unsigned int n) override;
};

} // namespace SoundTools

#endif
