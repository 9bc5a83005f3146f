// Silences a stereo signal while its level stays below a threshold.
//
// The level is the RMS of a window of W frames (odd) that starts at the
// frame being output and looks W - 1 frames ahead; the node reports half the
// window as its delay, so the window is roughly centred on the output frame.
// The gate opens at once when the level reaches the threshold (slightly
// before the sound starts) and closes along a linear fade once it drops.
#ifndef VEXA_SOUNDALGONOISEGATE_H
#define VEXA_SOUNDALGONOISEGATE_H

#include "SoundAlgo.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoNoiseGate : public SoundAlgo {
    Q_OBJECT

public:
    // thresholdDb: RMS threshold; fadeTime: seconds the gain takes to fall
    // from 1 to 0; windowTime: length of the RMS window in seconds.
    SoundAlgoNoiseGate(double thresholdDb, double fadeTime, double windowTime);

    // Takes effect from the next frame processed. A caller changing it while
    // another thread processes must serialise the two.
    void SetThreshold(double thresholdDb);

    SoundTools::Status process() override;
    // Half the window (its length before being made odd, divided by 2).
    unsigned int getDelay(unsigned int sampleRate) const override;
    // The gate's output lags by its delay: the window that decides a
    // frame's gain starts at that frame.
    unsigned int getLatency(unsigned int sampleRate) const override { return getDelay(sampleRate); }
    // The window length W, always odd.
    unsigned int getInOverlap(unsigned int sampleRate) const override;

    double getGain() const { return mGain; }

protected:
    ~SoundAlgoNoiseGate() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

private:
    double mFadeTime;
    double mWindowTime;
    double mGain = 1.0;
    double mGainStep = 0.1;
    double mThreshold;
};

#endif
