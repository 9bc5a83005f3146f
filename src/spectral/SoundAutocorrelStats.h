// Reads a stream of autocorrelation functions (the output of a
// SoundFFTAutocorrelChain) and outputs, on both channels, a pure sine of the
// period found in it: block by block of 1024 frames, the period is the
// distance between the first two peaks of the left channel around a
// negative trough; a block without one gives silence and restarts the
// phase. The phase runs on from block to block while a period is found, so
// that the tone stays continuous.
#ifndef VEXA_SOUNDAUTOCORRELSTATS_H
#define VEXA_SOUNDAUTOCORRELSTATS_H

#include "SoundAlgo.h"
#include "vexa_export.h"

#include <list>

class VEXA_EXPORT SoundAutocorrelStats : public SoundAlgo {
    Q_OBJECT

public:
    // A tone found in a recording. The detection does not record tones yet:
    // the list stays empty.
    struct ToneDescriptor {
        int beginFrame = 0;
        unsigned int frameCount = 0;
        double period = 0.0;
    };

    // The parameter is kept for callers; the detection does not use it.
    explicit SoundAutocorrelStats(int parameter);
    ~SoundAutocorrelStats() override;

    SoundTools::Status process() override;

    std::list<ToneDescriptor>& GetToneList() { return mTones; }
    int getParameter() const { return mParameter; }
    // The period found by the last block processed, 0 when none.
    double getLastPeriod() const { return mLastPeriod; }

private:
    std::list<ToneDescriptor> mTones;
    double mPhase = 0.0;
    int mParameter;
    double mLastPeriod = 0.0;
};

#endif
