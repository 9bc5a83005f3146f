// The decisions of the track finder, on levels measured every hop (10 ms):
// silence, the noise floor, the gaps, the tracks and their boundaries.
// Levels are kept in half-decibel steps, one byte a hop, so that a
// three-hour recording costs about a megabyte per array.
#ifndef VEXA_DETAIL_TRACKANALYSIS_H
#define VEXA_DETAIL_TRACKANALYSIS_H

#include "SoundTrackFinder.h"

#include <cstdint>
#include <ostream>
#include <vector>

namespace vexa::detail {

// A stretch of hops, [begin, end).
struct HopRun {
    int begin;
    int end;
};

// dB levels in half-decibel steps: code c is -127.5 + c / 2 dBFS, from code 0
// (that level, silence and below) to 255 (0 dBFS and above).
class LevelCodes {
public:
    static uint8_t encode(double db);
    static double decode(int code) { return -127.5 + 0.5 * code; }

    LevelCodes() = default;
    LevelCodes(size_t count, double db) : mCodes(count, encode(db)) {}

    size_t size() const { return mCodes.size(); }
    double operator[](size_t i) const { return decode(mCodes[i]); }
    uint8_t code(size_t i) const { return mCodes[i]; }
    void set(size_t i, double db) { mCodes[i] = encode(db); }
    void push_back(double db) { mCodes.push_back(encode(db)); }
    void reserve(size_t n) { mCodes.reserve(n); }
    void clear() { mCodes.clear(); }
    std::vector<uint8_t>& codes() { return mCodes; }
    const std::vector<uint8_t>& codes() const { return mCodes; }

private:
    std::vector<uint8_t> mCodes;
};

using Mask = std::vector<bool>;

// The floor along the recording: linear between the levels measured in the
// gaps found (constant before the first and after the last), never below
// the quietest level.
class FloorCurve {
public:
    class Cursor;
    FloorCurve() = default;
    FloorCurve(std::vector<std::pair<int, double>> points, double lowest);
    double at(int hop) const;
    double highest(int begin, int end) const; // over hops [begin, end)


private:
    double interpolate(size_t next, int hop) const;

    std::vector<std::pair<int, double>> mPoints; // hop, level (dB)
    double mLowest = -300.0;
};

// Reads a floor curve at increasing hops without searching.
class FloorCurve::Cursor {
public:
    explicit Cursor(const FloorCurve& curve) : mCurve(curve) {}
    double at(int hop);

private:
    const FloorCurve& mCurve;
    size_t mNext = 0;
};

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
