// Interface of the FFT engines used by the FFT nodes. Internal to the
// library: not installed, not exported.
//
// Layout conventions: a complex number is two doubles, real part first; N
// stereo frames are read as N complex numbers left + i right; a half
// spectrum is the N/2 + 1 bins from DC to Nyquist; a stereo spectrum is the
// left half spectrum followed by the right one (2N + 4 doubles). Forward
// transforms use e^(-2 pi i k n / N) unscaled; the inverse is scaled by 1/N.
#ifndef VEXA_DETAIL_FFTA_H
#define VEXA_DETAIL_FFTA_H

namespace vexa::detail {

class FFTA {
public:
    virtual ~FFTA() = default;

    // N stereo frames in, one stereo spectrum out.
    virtual void stereoForward(const double* frames, double* spectra) = 0;
    // One stereo spectrum in, N stereo frames out. The imaginary parts of the
    // DC and Nyquist bins are ignored.
    virtual void stereoInverse(const double* spectra, double* frames) = 0;
    // N real samples in, one half spectrum out.
    virtual void realForward(const double* samples, double* spectrum) = 0;
    virtual void setSize(int n) { mSize = n; }

    int getSize() const { return mSize; }

protected:
    int mSize = 0;
};

} // namespace vexa::detail

#endif
