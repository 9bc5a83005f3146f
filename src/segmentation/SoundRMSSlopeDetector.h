// Finds long monotonic rises and falls (fades) of a level.
//
// Fed with one pair of mean squares every few frames, it follows the level
// from a reference: a value above (or below) the reference starts a rising
// (or falling) slope, which goes on as long as each new value stays above
// 0.9993 (or below 1.0007) times the previous one. A slope that lasted more
// than the minimum duration is recorded as {begin, end} stream positions.
#ifndef VEXA_SOUNDRMSSLOPEDETECTOR_H
#define VEXA_SOUNDRMSSLOPEDETECTOR_H

#include "SoundTools.h"
#include "vexa_export.h"

#include <cstddef>
#include <vector>

class VEXA_EXPORT SoundRMSSlopeDetector {
public:
    struct Region {
        int begin;
        int end;
    };

    enum State { Empty = 0, Stable = 1, Rising = 2, Falling = 3 };

    explicit SoundRMSSlopeDetector(double minSlopeTime = 1.0);

    // Prepares a run at this sample rate and forgets every slope.
    void init(unsigned int sampleRate);
    // Forgets every slope and the level followed.
    void reset();

    // One measurement (mean squares of both channels) at a stream position.
    void feed(double left, double right, int position);

    // The slope that covers `position` (a listed one, or the one under way),
    // in `out`; false when none does. It keeps no state, so several callers
    // (the bands of a multiband amplifier) may ask in any order.
    bool lookup(int position, Region& out) const;

    double getMinSlopeTime() const { return mMinSlopeTime; }
    int getMinSlopeFrames() const { return mMinSlopeFrames; }
    int getState() const { return mState; }
    const std::vector<Region>& getSlopes() const { return mSlopes; }

private:
    double mMinSlopeTime;
    int mState = Empty;
    SoundTools::StereoFrame<double> mReference{0.0, 0.0};
    SoundTools::StereoFrame<double> mLast{0.0, 0.0};
    int mMinSlopeFrames = 44100;
    int mSlopeEnd = 0;
    int mSlopeStart = 0;
    int mSampleRate = 44100;
    std::vector<Region> mSlopes;
};

#endif
