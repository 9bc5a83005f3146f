// The decisions of the track finder, on levels measured every hop (10 ms):
// silence, the noise floor, the gaps, the tracks and their boundaries.
// Levels are kept in half-decibel steps, one byte a hop, so that a
// three-hour recording costs about a megabyte per array.
#ifndef VEXA_DETAIL_TRACKANALYSIS_H
#define VEXA_DETAIL_TRACKANALYSIS_H

#include "SoundTrackFinder.h"
#include "TrackLevels.h"

#include <cstdint>
#include <ostream>
#include <vector>

namespace vexa::detail {

// What the analysis found, in hops.
struct TrackSearch {
    SoundTrackFinder::Outcome outcome = SoundTrackFinder::Outcome::None;
    bool hasFloor = false;
    double floorDb = -100.0;
    std::vector<HopRun> tracks;
    std::vector<double> trackTopDb; // level of each track's loudest 5 %
    std::vector<double> gapDb;      // level of each gap, tracks.size() + 1 of them
    std::vector<char> gapSilent;    // the gap is silence all through
};

// One analysis over the hop levels (dB of each hop's power).
class TrackAnalysis {
public:
    // hopCodes: the level of each hop's power, as LevelCodes codes.
    TrackAnalysis(const SoundTrackFinder::Settings& settings, const std::vector<uint8_t>& hopCodes, double hopSeconds);

    // The 150 ms median level at each hop, as a code.
    static uint8_t medianLevel(const std::vector<uint8_t>& hopCodes, int hop);

    TrackSearch run(std::ostream* trace);

private:
    int hops() const { return static_cast<int>(mLevel.size()); }
    bool sounding(int k) const { return mLevel[static_cast<size_t>(k)] >= mSettings.silenceDb; }
    bool longSilent(int k) const { return mLongSilence[static_cast<size_t>(k)]; }
    double edge(int k) const;
    Mask quietMask(bool useFloor) const;
    bool steady(const HopRun& r) const;
    bool steadyStretch(int begin, int end) const;
    double belowFloorShare() const;
    void followFloor();
    LevelCodes findDrift() const;
    void markEdgeNoise(Mask& quiet) const;
    std::vector<HopRun> musicBetween(const Mask& quiet, bool useFloor) const;
    bool tryFloor(const std::vector<HopRun>& bySilence, std::vector<HopRun>& tracks, std::ostream* trace);
    void gapStats(int begin, int end, double& levelDb, double& spreadDb) const;
    void placeBoundaries(std::vector<HopRun>& tracks, std::vector<double>& gapDb, std::ostream* trace) const;

    const SoundTrackFinder::Settings& mSettings;
    const std::vector<uint8_t>& mHop; // each hop's own level
    double mHopSeconds;
    LevelCodes mLevel;        // 150 ms median level
    LevelCodes mSustained;    // lowest level held for a gap's length around each hop
    FloorCurve mFloor;        // the floor along the recording
    Mask mLongSilence;        // in silence as long as a gap, or at either end
    int mGapHops = 1;
    int mMinTrackHops = 1;
    int mDriftHops = 1;
    bool mHasFloor = false;
    double mLowest = -300.0;  // the floor candidate: quietest level held for a gap's length
    int mSupport = 0;         // how often it is seen (edges count twice)
    int mNearSilence = 0;     // how often at an edge or beside silence
    int mSilenceGaps = 0;     // silences between tracks...
    int mNoisySilenceGaps = 0; // ... with steady noise beside them
};

} // namespace vexa::detail

#endif
