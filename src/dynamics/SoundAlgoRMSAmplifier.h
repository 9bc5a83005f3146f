// Evens out the loudness of a recording region by region.
//
// The regions come from an RMSStepDetector, run before this node (offline:
// its regions are complete) or alongside it in real-time mode (its regions
// appear block by block; the current region is re-read at every block). A
// non-noise region gets the gain that brings its RMS to the target level,
// within limits: a largest gain, a lowest acceptable result, and an
// optional dynamics divisor that keeps part of the distance to the loudest
// region. Noise regions get unity gain. Between regions the gain follows a
// linear ramp of 1 s for changes up to 1 dB, of the transition time for
// 5 dB or more, interpolated in between; across a fade recorded by the
// detector the ramp follows the fade to its end. Without a detector the node
// is a fixed-gain amplifier at the level.
#ifndef VEXA_SOUNDALGORMSAMPLIFIER_H
#define VEXA_SOUNDALGORMSAMPLIFIER_H

#include "RMSStepDetector.h"
#include "SoundAlgo.h"
#include "SoundAlgoAmpliInterface.h"
#include "vexa_export.h"

#include <QReadWriteLock>

class VEXA_EXPORT SoundAlgoRMSAmplifier : public SoundAlgo, public SoundAlgoAmpliInterface {
    Q_OBJECT

public:
    // Takes a counted reference on the detector (may be null), given back by
    // the destructor.
    SoundAlgoRMSAmplifier(double levelDb, RMSStepDetector* detector, double transitionTime, int dynamicsDivisor,
                          double toleranceDb, double maxGainDb);

    // Level interface. setLevel recomputes the gain of the current region and
    // applies it at once; a caller changing it while another thread processes
    // must serialise the two.
    void setLevel(double levelDb) override;
    // The gain in dB of the region at that time (from the detector's backup
    // when it has one).
    double getLevel(double seconds) override;
    void reset() override;
    void changeSong() override;

    // Lifts the quieter channel to the louder one (levels in dB). Reset at
    // the start of a run: set it after initialisation.
    void setBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb);

    SoundTools::Status process() override;

    double getAppliedGain() const { return mAppliedGain; }
    double getRegionCoefficient() const { return mRegionCoeff; }
    SoundTools::StereoFrame<double> getBalance() const { return {mBalanceLeft, mBalanceRight}; }

protected:
    ~SoundAlgoRMSAmplifier() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

private:
    double computeCoeffFromRegion(const RMSStepDetector::Region& region) const;
    void initCoeffFromRegionManager(int position);
    void initCurrentCoeff();
    void recomputeCoeffFromRegion(int position);
    void planRamp(int frames);
    void setCoeff(int position);
    void setMaxLevel();
    void takeNextRegion(int position);

    double mRegionCoeff = 1.0;
    double mMaxGain;
    double mLowestResult;
    double mTransitionTime;
    double mLevel;
    double mBalanceLeft = 1.0;
    double mBalanceRight = 1.0;
    double mAppliedGain = 1.0;
    RMSStepDetector* mDetector;
    int mNextRegion = 0;
    int mLevelCursor = 0;
    RMSStepDetector::Region mCurrentRegion;
    double mRampStep = 0.0;
    int mRampFramesLeft = 0;
    bool mInitialised = false;
    QReadWriteLock mLock;
    int mDynamicsDivisor;
    double mLoudestLevel = 0.0;
    bool mFollowingFade = false;
};

#endif
