// The step detector's regions after (or during) a run: queries, the region
// edits called under the lock, and the diagnostic listing.
#include "RMSStepDetector.h"

#include "SoundReader.h"
#include "detail/RegionEdits.h"

#include <QDebug>
#include <QReadLocker>
#include <QWriteLocker>

#include <omp.h>

#include <climits>
#include <cmath>
#include <iomanip>


// ---------------------------------------------------------------------------
// Queries

RMSStepDetector::Region RMSStepDetector::getRegion(int index, bool fromBackup) const
{
    QReadLocker locker(&mLock);
    const std::vector<Region>& list = fromBackup && !mBackup.empty() ? mBackup : mRegions;
    if (index < 0 || static_cast<size_t>(index) >= list.size())
        return Region();
    return list[static_cast<size_t>(index)];
}

int RMSStepDetector::size(bool fromBackup) const
{
    QReadLocker locker(&mLock);
    return static_cast<int>(fromBackup && !mBackup.empty() ? mBackup.size() : mRegions.size());
}

int RMSStepDetector::getSegmentsNumber() const
{
    QReadLocker locker(&mLock);
    int segments = 0;
    bool inTrack = false;
    for (const Region& r : mRegions) {
        if (!r.IsNoise && !inTrack)
            ++segments;
        inTrack = !r.IsNoise;
    }
    return segments;
}

int RMSStepDetector::getSignalStart(double seconds) const
{
    QReadLocker locker(&mLock);
    const int margin = framesOf(seconds);
    for (const Region& r : mRegions) {
        if (!r.IsNoise)
            return std::max(r.BeginSample - margin, 0);
    }
    return INT_MAX;
}

int RMSStepDetector::getSignalEnd(double seconds) const
{
    QReadLocker locker(&mLock);
    const int margin = framesOf(seconds);
    for (auto it = mRegions.rbegin(); it != mRegions.rend(); ++it) {
        if (!it->IsNoise)
            return it->BeginSample + it->SampleNb - 1 + margin;
    }
    return 0;
}

int RMSStepDetector::fullLengthUnlocked() const
{
    return mRegions.empty() ? 0 : mRegions.back().BeginSample;
}

int RMSStepDetector::getFullLength() const
{
    QReadLocker locker(&mLock);
    return fullLengthUnlocked();
}

double RMSStepDetector::getCurrentMax() const
{
    QReadLocker locker(&mLock);
    return std::sqrt(mCurrentMax);
}

const SoundRMSSlopeDetector::Region* RMSStepDetector::getSlopeRegion(int position, unsigned int firstRegion, Region& out)
{
    QReadLocker locker(&mLock);
    // The result stays valid for the calling thread until its next call.
    thread_local SoundRMSSlopeDetector::Region found;
    if (!mSlopeDetector.lookup(position, found))
        return nullptr;
    const SoundRMSSlopeDetector::Region* slope = &found;
    for (size_t i = firstRegion; i < mRegions.size(); ++i) {
        const Region& r = mRegions[i];
        const long long end = static_cast<long long>(r.BeginSample) + r.SampleNb - 1;
        if (r.BeginSample <= slope->begin && slope->begin <= end)
            continue;
        if (r.BeginSample > slope->end)
            return nullptr;
        if (end >= slope->end) {
            out = r;
            return slope;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Diagnostics

void RMSStepDetector::printRegions(const char* title) const
{
    QReadLocker locker(&mLock);
    printRegionsUnlocked(title);
}

void RMSStepDetector::printRegionsUnlocked(const char* title) const
{
    std::ostream& os = getOStream();
    if (title)
        os << title << " ";
    os << mRegions.size() << " regions" << std::endl;
    os << "Noise level :" << noiseDb() << " dB" << std::endl;
    if (mRegions.size() <= 200) {
        for (const Region& r : mRegions)
            outputRegion(r);
    }
}

std::ostream& RMSStepDetector::outputRegion(const Region& region) const
{
    std::ostream& os = getOStream();
    const double rate = getSampleRate();
    const double begin = rate > 0 ? region.BeginSample / rate : 0.0;
    const double length = rate > 0 ? region.SampleNb / rate : 0.0;
    os << std::fixed << std::setprecision(2);
    os << "[Thread " << omp_get_thread_num() << "]"
       << " ";
    if (region.IsNoise)
        os << "[";
    os << SoundReader::formatLength(begin) << " (" << SoundReader::formatLength(length) << ") : "
       << vexa::detail::amplitudeToDb(std::sqrt(region.RMSSqrValue0)) << " " << vexa::detail::amplitudeToDb(std::sqrt(region.RMSSqrValue1));
    if (region.IsNoise)
        os << "]";
    os << std::endl;
    return os;
}

// ---------------------------------------------------------------------------
// Region editing (the edits themselves are in detail/RegionEdits.cpp)

void RMSStepDetector::backup()
{
    QWriteLocker locker(&mLock);
    if (mCount > 1)
        pushRegion(true);
    mBackup = mRegions;
}

void RMSStepDetector::clearBackup()
{
    QWriteLocker locker(&mLock);
    mBackup.clear();
    qDebug() << "Backup cleared";
}

void RMSStepDetector::resetRegions()
{
    QWriteLocker locker(&mLock);
    mRegions = mBackup;
}

void RMSStepDetector::applyNoise(double dB)
{
    QWriteLocker locker(&mLock);
    applyNoise(dB, mRegions.begin(), mRegions.end());
}

bool RMSStepDetector::applyNoise(double dB, RegionIterator first, RegionIterator last)
{
    QWriteLocker locker(&mLock);
    mNoiseLevel = std::pow(10.0, dB / 20.0);
    const bool changed = vexa::detail::flagNoise(first, last, mNoiseLevel, !mRealTimeMode);
    if (changed && isDebug())
        printRegionsUnlocked("Apply Noise");
    return changed;
}

double RMSStepDetector::estimateNoise(double seconds, double defaultDb) const
{
    QReadLocker locker(&mLock);
    return estimateNoise(seconds, defaultDb, mRegions.cbegin(), mRegions.cend());
}

double RMSStepDetector::estimateNoise(double seconds, double defaultDb, std::vector<Region>::const_iterator first,
                                      std::vector<Region>::const_iterator last) const
{
    const std::optional<double> estimate =
        vexa::detail::estimateNoise(first, last, seconds, defaultDb, getSampleRate(), fullLengthUnlocked());
    // Nothing to measure against: keep the default.
    if (!estimate)
        return -defaultDb;
    if (isDebug())
        getOStream() << "Noise=" << *estimate << " dB" << std::endl;
    return *estimate;
}

// Runs of tracks longer than minDuration get a noise threshold of their own:
// a quiet passage inside a long run becomes noise and splits it.
void RMSStepDetector::split(double seconds, double minDuration, double defaultDb)
{
    QWriteLocker locker(&mLock);
    if (mRegions.empty())
        return;
    vexa::detail::splitLongRuns(mRegions, framesOf(minDuration), [&](RegionIterator first, RegionIterator last) {
        const double dB = estimateNoise(seconds, defaultDb, first, last);
        if (!applyNoise(dB, first, last))
            return false;
        if (isDebug())
            getOStream() << "Noise = " << dB << std::endl;
        return true;
    });
    if (isDebug())
        printRegionsUnlocked("Split");
}

void RMSStepDetector::mergeRegions()
{
    QWriteLocker locker(&mLock);
    vexa::detail::mergeNeighbours(mRegions);
    if (isDebug())
        printRegionsUnlocked("Merge");
}

// Raises quiet regions towards the loudest one, keeps a fade-out at the end
// and returns the mean correction (dB); see detail/RegionEdits.cpp.
double RMSStepDetector::compressDynamic(double ratio)
{
    QWriteLocker locker(&mLock);
    vexa::detail::CompressionGains gains;
    if (!vexa::detail::raiseQuietRegions(mRegions, ratio, gains))
        return 0.0;
    if (vexa::detail::holdFadeOut(mRegions, gains.trackFrames) && isDebug())
        printRegionsUnlocked("Fade out processed");
    vexa::detail::scaleLastRun(mRegions, gains);

    const double correction = gains.correctionDb();
    if (isDebug()) {
        std::ostream& os = getOStream();
        os << "=====================================\n"
           << "      Compression de dynamique\n"
           << " Correction moyenne : " << std::fixed << std::setprecision(2) << correction << " dB" << std::endl;
        printRegionsUnlocked(nullptr);
    }
    return correction;
}
