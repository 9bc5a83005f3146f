// The step detector's region edits, as functions over its region list:
// noise flags and their estimation, splitting long runs of tracks, merging
// neighbours of one kind, and dynamics compression. The detector calls them
// under its write lock (or read lock, for the estimate) and does the
// debugging output around them.
#ifndef VEXA_DETAIL_REGIONEDITS_H
#define VEXA_DETAIL_REGIONEDITS_H

#include "RMSStepDetector.h"

#include "detail/Units.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace vexa::detail {

using Region = RMSStepDetector::Region;
using RegionList = std::vector<Region>;
using RegionIterator = RegionList::iterator;
using RegionConstIterator = RegionList::const_iterator;

// The mean square of the louder and of the quieter channel.
inline double louderChannel(const Region& r)
{
    return std::max(r.RMSSqrValue0, r.RMSSqrValue1);
}
inline double quieterChannel(const Region& r)
{
    return std::min(r.RMSSqrValue0, r.RMSSqrValue1);
}

// Folds b into a, weighting each mean square by its number of measurements.
void mergeInto(Region& a, const Region& b);

// Flags as noise the regions of [first, last) whose louder channel is at or
// below `level` (an amplitude); relative to the region whose quieter channel
// is loudest when `relative`, absolute otherwise. True when a flag changed.
bool flagNoise(RegionIterator first, RegionIterator last, double level, bool relative);

// The noise threshold (dB, relative to the loudest region as flagNoise
// measures it) that sits 5% above the level of the quietest material adding
// up to `seconds` per started five minutes of a stream of fullLength
// frames. -defaultDb when the quietest material is the loudest region; none
// when there is nothing to measure against (no region, or a silent loudest
// one).
std::optional<double> estimateNoise(RegionConstIterator first, RegionConstIterator last, double seconds,
                                    double defaultDb, unsigned int sampleRate, int fullLength);

// Calls reflag(first, last) on every run of tracks (non-noise regions) that
// lasts more than minFrames; a run whose flags changed (reflag returns true)
// is scanned again, since its parts may split further.
void splitLongRuns(RegionList& regions, int minFrames,
                   const std::function<bool(RegionIterator, RegionIterator)>& reflag);

// Merges every region into the one before it when both are noise or both
// are not.
void mergeNeighbours(RegionList& regions);

// Dynamics compression in three steps: raiseQuietRegions, holdFadeOut,
// scaleLastRun (see RegionEdits.cpp).
struct CompressionGains {
    long long trackFrames = 0; // frames of the non-noise regions
    double sumFrames = 0.0;    // the gains (power) weighted by region length
    double sumGain = 0.0;
    bool lastRunOpen = false;  // the last run of tracks, not yet scaled back
    size_t lastRunStart = 0;
    double lastRunMinGain = 1000.0;

    // The mean correction in dB.
    double correctionDb() const;
};
bool raiseQuietRegions(RegionList& regions, double ratio, CompressionGains& gains);
bool holdFadeOut(RegionList& regions, long long trackFrames);
void scaleLastRun(RegionList& regions, const CompressionGains& gains);

} // namespace vexa::detail

#endif
