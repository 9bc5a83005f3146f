// Amplifier with a look-ahead peak limiter.
//
// The signal is multiplied by a gain that normally equals the level L. The
// node looks A frames ahead of the frame it outputs (it reports no delay but
// an in overlap): wherever the amplified signal would pass the ceiling
// C = 0.98, the gain goes down in advance along a straight line that brings
// the peak exactly to C, and afterwards returns to L along a release ramp
// (R frames, at most `slope max` per second). A peak that still gets past
// 0.981 is caught by a last-resort correction that bends the frames already
// output in the block down to it.
//
// Optionally a trace file (mono 16-bit WAV) records, per frame, the gain
// relative to the level: (g - L) / L.
#ifndef VEXA_SOUNDALGOLIMITER_H
#define VEXA_SOUNDALGOLIMITER_H

#include "SoundAlgo.h"
#include "SoundAlgoAmpliInterface.h"
#include "vexa_export.h"

#include <QReadWriteLock>

#include <atomic>
#include <memory>
#include <string>

class SoundWriter;

class VEXA_EXPORT SoundAlgoLimiter : public SoundAlgo, public SoundAlgoAmpliInterface {
    Q_OBJECT

public:
    static constexpr double kCeiling = 0.98;
    static constexpr double kLastResort = 0.981;

    // debugFile: trace file opened at the next run, or null for none.
    SoundAlgoLimiter(double levelDb, double lookAheadTime, double releaseTime, const char* debugFile);

    // Level interface. setLevel and reset exclude a running process();
    // getLevel takes no lock.
    void setLevel(double levelDb) override;
    void reset() override;
    double getLevel(double seconds) override;
    void changeSong() override;

    // Largest rise of the gain per second while releasing, in dB of linear
    // gain (the default is 60 dB: 1000 per second). Applied at the next run.
    void SetSlopeMax(double slopeDb);
    // Trace file opened at the next run (empty: none).
    void setDebugFile(const std::string& fileName);
    std::string getDebugFile() const { return mDebugFileName; }

    SoundTools::Status process() override;
    unsigned int getInOverlap(unsigned int sampleRate) const override;

    // Counters of the current run.
    int getAttackCount() const { return mAttackCounter; }
    int getClippingCount() const { return mClippingCounter; }

protected:
    ~SoundAlgoLimiter() override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

    // The gain predicted for the frame A frames ahead.
    double GetForwardCoeff() const;

private:
    using Frame = SoundTools::StereoFrame<double>;

    int steadyRun(const Frame* in, Frame* out, int i, int n, int p0);
    void catchPeak(Frame* out, double* trace, int i);
    void lookAhead(const Frame* in, int i, int n, int p);
    void stepGain();
    double* openTraceBlock(int p0, int n);
    void writeTraceBlock();
    void planRelease();
    void resetUnlocked();
    void closeTrace();

    double mLookAheadTime;
    double mReleaseTime;
    std::atomic<double> mLevel;
    double mSlopeMax = 1000.0;
    double mSlopeMaxPerFrame = 1000.0 / 44100.0;
    double mGain;
    double mReleaseSlope = 0.0;
    int mReleaseFramesLeft = 0;
    double mAttackSlope = 0.0;
    int mAttackFramesLeft = 0;
    int mAttackEnd = 0;
    int mA = 0;
    int mR = 0;
    int mAR = 0;
    std::shared_ptr<SoundBuffer> mTraceBuffer;
    SoundWriter* mDebugWriter = nullptr;
    std::string mDebugFileName;
    bool mTraceRangeSet = false;
    int mAttackCounter = 0;
    int mClippingCounter = 0;
    QReadWriteLock mLock;
};

#endif
