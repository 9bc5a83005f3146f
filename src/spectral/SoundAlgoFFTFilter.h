// Filters FFT frames by the frequency response of a linear-phase FIR low
// pass, band pass, band stop or high pass.
//
// The FIR is an equiripple (Parks-McClellan) design made at the start of
// every run for the run's sample rate and N: by default transition width
// 0.005 of the sample rate, 0.5 dB pass-band ripple, 60 dB stop-band
// attenuation, hence 447 taps (Kaiser's estimate), limited to N/2 so that
// with overlapping, zero-padded frames the product of spectra is a linear
// convolution. The taps are not centred: the output lags by
// (taps - 1) / 2 frames (223 with 447 taps), which getLatency gives.
// Frequencies are limited to [transition, 0.5] of the sample rate.
#ifndef VEXA_SOUNDALGOFFTFILTER_H
#define VEXA_SOUNDALGOFFTFILTER_H

#include "SoundAlgoFFT.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <vector>

class VEXA_EXPORT SoundAlgoFFTFilter : public SoundAlgoFFT {
    Q_OBJECT

public:
    SoundAlgoFFTFilter(SoundTools::FilterType type, double freq1, double freq2);
    ~SoundAlgoFFTFilter() override;

    SoundTools::Status process() override;

    // The transition width in Hz (0: 0.005 of the sample rate) and the
    // stop-band attenuation in dB (default 60) of the next design.
    void setDesign(double transitionHz, double attenuationDb);
    // Taps of the design for a transform of `size` points at a sample rate
    // (size 0: what the design needs, without the transform's limit).
    unsigned int getTapCount(unsigned int size, unsigned int sampleRate) const;
    // (taps - 1) / 2 once the run is prepared (the transform size is known
    // then), 0 before.
    unsigned int getLatency(unsigned int sampleRate) const override;

    // The response applied to each frame (N/2 + 1 complex values, real part
    // first) and the FIR it comes from; empty outside a run.
    const std::vector<double>& getResponse() const { return mResponse; }
    const std::vector<double>& getTaps() const { return mTaps; }

protected:
    // Designs the response for the N and sample rate of the run; an
    // unsupported type or unusable bands fail the initialisation.
    SoundTools::Status onInitInputBuffer() override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    bool FillFilter();
    double transition(unsigned int sampleRate) const;

    double mFreq1;
    double mFreq2;
    SoundTools::FilterType mType;
    double mTransitionHz = 0.0;
    double mAttenuationDb = 60.0;
    std::vector<double> mResponse;
    std::vector<double> mTaps;
};

#endif
