#include "RegionEdits.h"

#include "detail/Units.h"

#include <cmath>

namespace vexa::detail {

void mergeInto(Region& a, const Region& b)
{
    const double wa = a.MeanSmpl;
    const double wb = b.MeanSmpl;
    const double w = wa + wb;
    if (w > 0) {
        a.RMSSqrValue0 = (a.RMSSqrValue0 * wa + b.RMSSqrValue0 * wb) / w;
        a.RMSSqrValue1 = (a.RMSSqrValue1 * wa + b.RMSSqrValue1 * wb) / w;
    }
    a.MeanSmpl += b.MeanSmpl;
    a.SampleNb += b.SampleNb;
}

bool flagNoise(RegionIterator first, RegionIterator last, double level, bool relative)
{
    double threshold = level * level;
    if (first == last)
        return false;
    if (relative) {
        double best = 0.0;
        for (auto it = first; it != last; ++it) {
            if (quieterChannel(*it) > best)
                best = quieterChannel(*it);
        }
        threshold *= best;
    }
    bool changed = false;
    for (auto it = first; it != last; ++it) {
        const bool noise = threshold >= louderChannel(*it);
        if (noise != it->IsNoise)
            changed = true;
        it->IsNoise = noise;
    }
    return changed;
}

std::optional<double> estimateNoise(RegionConstIterator first, RegionConstIterator last, double seconds,
                                    double defaultDb, unsigned int sampleRate, int fullLength)
{
    if (seconds <= 0)
        seconds = 1.0;
    RegionList sorted(first, last);
    if (sorted.empty())
        return std::nullopt;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Region& a, const Region& b) { return louderChannel(a) < louderChannel(b); });

    const int fiveMinutes = static_cast<int>(std::floor(sampleRate * 300.0 + 0.5));
    int units = fiveMinutes > 0 ? fullLength / fiveMinutes : 0;
    if (units == 0)
        units = 1;
    const double budget = std::floor(units * seconds * sampleRate + 0.5);

    const Region& loudest = sorted.back();
    const double reference = quieterChannel(loudest);
    if (reference <= 0)
        return std::nullopt;
    const double threshold = reference * std::pow(10.0, -defaultDb / 10.0);

    // The quietest regions above the default threshold, up to the budget.
    double summed = 0;
    const Region* candidate = nullptr;
    for (const Region& r : sorted) {
        if (summed >= budget)
            break;
        if (louderChannel(r) > threshold) {
            summed += r.SampleNb;
            candidate = &r;
        }
    }
    if (candidate && candidate->BeginSample == loudest.BeginSample && candidate->SampleNb == loudest.SampleNb)
        return -defaultDb;
    const double level = candidate ? louderChannel(*candidate) : threshold;
    return amplitudeToDb(1.05 * std::sqrt(level) / std::sqrt(reference));
}

void splitLongRuns(RegionList& regions, int minFrames,
                   const std::function<bool(RegionIterator, RegionIterator)>& reflag)
{
    const size_t none = static_cast<size_t>(-1);
    size_t runStart = none;
    size_t i = 0;
    while (i < regions.size()) {
        if (!regions[i].IsNoise) {
            if (runStart == none)
                runStart = i;
            ++i;
            continue;
        }
        if (runStart != none
            && static_cast<long long>(regions[i].BeginSample) - regions[runStart].BeginSample > minFrames) {
            const auto first = regions.begin() + static_cast<std::ptrdiff_t>(runStart);
            const auto last = regions.begin() + static_cast<std::ptrdiff_t>(i);
            // Flags only ever turn from signal to noise, so the rescans end.
            if (reflag(first, last)) {
                i = runStart;
                runStart = none;
                continue;
            }
        }
        runStart = none;
        ++i;
    }
}

void mergeNeighbours(RegionList& regions)
{
    RegionList merged;
    merged.reserve(regions.size());
    for (const Region& r : regions) {
        if (!merged.empty() && merged.back().IsNoise == r.IsNoise)
            mergeInto(merged.back(), r);
        else
            merged.push_back(r);
    }
    regions.swap(merged);
}

// ---------------------------------------------------------------------------
// Dynamics compression
//
// Quiet regions are raised towards the loudest one: a region of level l gets
// the gain (l / ref)^p * ref / l, p = (1 - 1/ratio)^2, so ratio 1 brings every
// region to the reference and a large ratio leaves the levels as they are.
// Each run of tracks is then scaled back so that its least-raised region
// keeps its level. A fade-out at the end keeps the level of the region
// before it, so that an amplifier following these targets does not undo the
// fade. Only the target levels change.

double CompressionGains::correctionDb() const
{
    return sumFrames > 0 ? amplitudeToDb(std::sqrt(sumGain / sumFrames)) : 0.0;
}

namespace {

void scaleBack(RegionList& regions, size_t begin, size_t end, double minGain)
{
    for (size_t k = begin; k < end; ++k) {
        regions[k].RMSSqrValue0 /= minGain;
        regions[k].RMSSqrValue1 /= minGain;
    }
}

} // namespace

// Applies the gains and scales back every run of tracks but the last, which
// is left open in `gains` (the fade-out is held before it is scaled). False,
// with nothing changed, when there is no loud region to compress towards.
bool raiseQuietRegions(RegionList& regions, double ratio, CompressionGains& gains)
{
    const double p = std::pow(1.0 - 1.0 / std::max(ratio, 1.0), 2.0);
    double refSqr = 0.0;
    for (const Region& r : regions) {
        if (!r.IsNoise) {
            gains.trackFrames += r.SampleNb;
            refSqr = std::max(refSqr, louderChannel(r));
        }
    }
    const double refLevel = std::sqrt(refSqr);
    if (refLevel <= 0)
        return false;

    for (size_t i = 0; i < regions.size(); ++i) {
        Region& r = regions[i];
        if (r.IsNoise) {
            if (gains.lastRunOpen)
                scaleBack(regions, gains.lastRunStart, i, gains.lastRunMinGain);
            gains.lastRunOpen = false;
            continue;
        }
        if (!gains.lastRunOpen) {
            gains.lastRunOpen = true;
            gains.lastRunStart = i;
            gains.lastRunMinGain = 1000.0;
        }
        const double l = std::sqrt(louderChannel(r));
        const double g = l > 0 ? std::pow(l / refLevel, p) * refLevel / l : 1.0;
        const double g2 = g * g;
        r.RMSSqrValue0 *= g2;
        r.RMSSqrValue1 *= g2;
        gains.lastRunMinGain = std::min(gains.lastRunMinGain, g2);
        gains.sumFrames += r.SampleNb;
        gains.sumGain += r.SampleNb * g2;
    }
    return true;
}

// The regions at the end of the last run that are louder than its last
// region, up to a tenth of trackFrames, take the level of the earliest of
// them. True when a level changed.
bool holdFadeOut(RegionList& regions, long long trackFrames)
{
    size_t tail = regions.size();
    for (size_t k = regions.size(); k-- > 0;) {
        if (!regions[k].IsNoise) {
            tail = k;
            break;
        }
    }
    if (tail == regions.size())
        return false;
    const Region tailRegion = regions[tail];
    const long long cap = trackFrames / 10;
    long long walked = tailRegion.SampleNb;
    size_t earliest = tail;
    for (size_t k = tail; k-- > 0 && walked <= cap;) {
        const Region& r = regions[k];
        if (r.IsNoise)
            break;
        if (!(r.RMSSqrValue0 > tailRegion.RMSSqrValue0 || r.RMSSqrValue1 > tailRegion.RMSSqrValue1))
            break;
        walked += r.SampleNb;
        earliest = k;
    }
    for (size_t k = earliest + 1; k <= tail; ++k) {
        regions[k].RMSSqrValue0 = regions[earliest].RMSSqrValue0;
        regions[k].RMSSqrValue1 = regions[earliest].RMSSqrValue1;
    }
    return earliest < tail;
}

void scaleLastRun(RegionList& regions, const CompressionGains& gains)
{
    if (gains.lastRunOpen)
        scaleBack(regions, gains.lastRunStart, regions.size(), gains.lastRunMinGain);
}

} // namespace vexa::detail
