// Cuts a recording into regions of roughly constant loudness.
//
// A forward-looking window of rmsTime seconds measures the mean square of
// each channel at every frame. The measurements are averaged into the region
// being built; when a measurement steps more than 1 dB away from that mean
// the region is closed. A closed piece becomes a region of its own only when
// the region before it lasted long enough for the size of the step (10 s for
// 1 dB, 5 s for 2 dB, 2 s for 5 dB); otherwise it is merged into it. Regions
// far enough below the loudest one (or below an absolute level in real-time
// mode) are flagged as noise, so that runs of non-noise regions are the
// tracks of the recording. In the last 10 s of the input a falling level
// opens no region, so that a fade-out stays in its track.
//
// The regions are guarded by a recursive read/write lock: other threads may
// query them while a run goes on (in real-time mode they are updated after
// every block). The region edits (split, merge, noise estimation, dynamics
// compression) work on a detector after its run.
#ifndef VEXA_RMSSTEPDETECTOR_H
#define VEXA_RMSSTEPDETECTOR_H

#include "SoundAlgo.h"
#include "SoundRMSSlopeDetector.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QJsonObject>
#include <QReadWriteLock>
#include <QString>

#include <ostream>
#include <vector>

class VEXA_EXPORT RMSStepDetector : public SoundAlgo {
    Q_OBJECT

public:
    struct Region {
        int BeginSample = 0;     // stream position of the first frame
        int SampleNb = 0;        // length in frames (up to the next region's begin once there is one)
        double RMSSqrValue0 = 0; // mean square, left channel
        double RMSSqrValue1 = 0; // mean square, right channel
        int MeanSmpl = 0;        // measurements averaged: the weight used in merges
        bool IsNoise = false;
    };

    enum OutputMode {
        RegionLevel = 0, // root of the running mean square of the region being built
        PassThrough = 1, // the input
        NoOutput = 2     // the output buffer is left as it is
    };

    explicit RMSStepDetector(double noiseThreshold = -40.0, double rmsTime = 0.2, double minSlopeTime = 1.0,
                             OutputMode outputMode = RegionLevel, bool realTimeMode = false);
    ~RMSStepDetector() override;

    SoundTools::Status process() override;
    unsigned int getInOverlap(unsigned int sampleRate) const override;

    // Forgets the regions of the last run (the backup is kept).
    void reset();

    // Queries; safe from any thread, also during a run.
    Region getRegion(int index, bool fromBackup = false) const;
    int size(bool fromBackup = false) const;
    int getSegmentsNumber() const;
    int getSignalStart(double seconds) const;
    int getSignalEnd(double seconds) const;
    int getFullLength() const;
    double getCurrentMax() const;
    // The slope (fade) found at `position` and, in `out`, the region it
    // leads into, searched from region firstRegion on. Null when there is
    // none. Positions are expected in increasing order.
    const SoundRMSSlopeDetector::Region* getSlopeRegion(int position, unsigned int firstRegion, Region& out);

    double getNoiseThreshold() const;
    double getRMSTime() const { return mRmsTime; }
    OutputMode getOutputMode() const { return mOutputMode; }
    bool isRealTimeMode() const { return mRealTimeMode; }

    void printRegions(const char* title) const;
    std::ostream& outputRegion(const Region& region) const;

    // JSON form; createFromJSon returns null unless the object describes a
    // detector (and refuses region lists that are not valid).
    static RMSStepDetector* createFromJSon(QJsonObject& object);
    void writeToJSon(QJsonObject& object) const override;

    // Region editing.
    void backup();
    void clearBackup();
    void resetRegions();
    void applyNoise(double dB);
    double estimateNoise(double seconds, double defaultDb) const;
    void split(double seconds, double minDuration, double defaultDb);
    void mergeRegions();
    double compressDynamic(double ratio);

protected:
    // Adds the regions of the object to the current ones. False, with
    // nothing changed but the id, when "SampleRate" or "Regions" is missing
    // or a region is malformed, negative or out of stream order.
    bool readFromJSon(QJsonObject& object) override;

    using RegionIterator = std::vector<Region>::iterator;

    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

    // Closes the region being built. 0: appended; 1: nothing done; 3: merged
    // into the previous region.
    int pushRegion(bool final);
    int flush(bool final);
    // Re-flags the regions of [first, last) against a threshold dB below the
    // loudest of them (absolute in real-time mode). True when a flag changed.
    bool applyNoise(double dB, RegionIterator first, RegionIterator last);
    double estimateNoise(double seconds, double defaultDb, std::vector<Region>::const_iterator first,
                         std::vector<Region>::const_iterator last) const;

private:
    // The scan of one block (RMSStepDetector.cpp).
    struct Block;
    void scanBlock(Block& block);
    void measureFrame(Block& block, int i);
    bool closeAtStep(Block& block, int position, double wL, double wR);
    void storeScan(const Block& block);

    // pushRegion for a caller that holds the write lock.
    int pushRegionUnlocked();
    struct SlopeStep {
        double seconds;
        double ratio;
        int frames;
    };

    enum class JsonRead { Loaded, Absent, Invalid };
    JsonRead readRegions(const QJsonObject& object);

    bool canChangeRegion(unsigned int gap, const SoundTools::StereoFrame<double>& level,
                         const SoundTools::StereoFrame<double>& previous) const;
    int framesOf(double seconds) const;
    double noiseDb() const;
    void printRegionsUnlocked(const char* title) const;
    int fullLengthUnlocked() const;

    double mStepRatio;
    double mNoiseLevel;
    double mRmsTime;
    mutable QReadWriteLock mLock;
    std::vector<Region> mRegions;
    std::vector<Region> mBackup;
    int mWindowFrames = 0;
    // The region being built.
    double mSumL = 0.0;
    double mSumR = 0.0;
    int mCount = 0;
    int mCurBegin = 0;
    int mLastPos = -1;
    // True until the first window that is not digital silence.
    bool mLeadingSilence = true;
    int mFadeStart = 0;
    double mCurrentMax = 0.0;
    OutputMode mOutputMode;
    bool mRealTimeMode;
    std::vector<SlopeStep> mSlopeSteps;
    SoundRMSSlopeDetector mSlopeDetector;
};

#endif
