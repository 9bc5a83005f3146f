// Linear-phase FIR filter node: low pass, band pass, band stop or high pass.
//
// The filter is designed at the start of each run, for the run's sample
// rate, as an equiripple (Parks-McClellan) filter. Its targets are fixed:
// 0.5 dB pass-band ripple (deviation (1 - 10^-0.025) / 2) and 40 dB stop-band
// attenuation (deviation 0.01); the transition is as wide as twice the first
// frequency (low pass, band stop) or half of it (band pass, high pass), and
// the length comes from Kaiser's estimate for those figures. A 1 kHz low
// pass at 44.1 kHz has 35 taps, a 1 kHz high pass 137.
//
// The node delays its input by N - 1 frames (the causal convolution) and
// reads N - 1 frames of look-ahead. Long blocks are convolved on the OpenMP
// thread team.
#ifndef VEXA_SOUNDALGOEQFIR_H
#define VEXA_SOUNDALGOEQFIR_H

#include "SoundAlgo.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <memory>
#include <vector>

namespace vexa::detail {
class AdaptiveParallel;
}

class VEXA_EXPORT SoundAlgoEqFIR : public SoundAlgo {
    Q_OBJECT

public:
    // Longest filter designed; longer estimates (first frequencies of a few
    // Hz) are refused at the start of a run.
    static constexpr unsigned int kMaxLength = 8191;

    // f1: cut-off of a low or high pass, lower edge of a band pass or band
    // stop; f2: upper edge of a band pass or band stop. Both in Hz.
    SoundAlgoEqFIR(SoundTools::FilterType type, double f1, double f2);
    ~SoundAlgoEqFIR() override;

    // The width of the transition bands (Hz) and the stop-band attenuation
    // (dB) to design for, from the next run on. Without them the transition
    // is twice the cut-off of a low pass or band stop and a quarter of the
    // first frequency otherwise, with 40 dB: a low pass above a quarter of
    // the sample rate then has no stop band at all.
    void setDesign(double transitionHz, double attenuationDb);

    // Output gain in dB, applied from the next block on.
    void SetOutputGain(double gainDb);
    double getOutputGain() const { return mGain; }

    SoundTools::Status process() override;
    // N - 1 for that sample rate (0 when no filter can be designed for it).
    unsigned int getDelay(unsigned int sampleRate) const override;
    unsigned int getInOverlap(unsigned int sampleRate) const override;
    // (N - 1) / 2: the taps are causal, so the output lags by the filter's
    // centre.
    unsigned int getLatency(unsigned int sampleRate) const override;

    // Filter length N for a sample rate, 0 when the frequencies give none
    // (type not supported, first frequency not positive, or longer than
    // kMaxLength).
    unsigned int getLength(unsigned int sampleRate) const;
    // The taps of the current run, h[0] first; empty outside a run.
    std::vector<double> getTaps() const;

protected:
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    // Design parameters for sample rate fs: normalised edges, transition
    // width, stop-band weight and length.
    void InitStaticParams(double fs);
    // Kaiser's length estimate (before the limit), and the transition width.
    double estimateLength(double fs, double* transition) const;

    SoundTools::FilterType mType;
    double mF1;
    double mF2;
    double mGain = 1.0;
    std::vector<double> mCoefs; // the taps in reverse order
    // The convolution runs on several threads only while that is measured
    // to be faster.
    std::unique_ptr<vexa::detail::AdaptiveParallel> mSchedule;
    double mF1n = 0.0;
    double mF2n = 0.0;
    unsigned int mN = 0;
    double mTw = 0.0;
    double mStopWeight = 0.0;
    double mTransitionHz = 0.0; // 0: the default transition
    double mStopDeviation = 0.01;
};

#endif
