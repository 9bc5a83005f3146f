#include "RMSStepDetector.h"


#include "SoundReader.h"

#include <QDebug>
#include <QJsonArray>
#include <QReadLocker>
#include <QWriteLocker>

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <iomanip>

namespace {

using Frame = SoundTools::StereoFrame<double>;

double levelDb(double x)
{
    return x > 1e-20 ? 20.0 * std::log10(x) : -100.0;
}

// The sums the steady-frame scan carries from frame to frame.
struct ScanSums {
    double windowL;
    double windowR;
    double regionL;
    double regionR;
};

// Scans frames i .. stop - 1 that need neither a feed, an output nor the
// leading-silence test: slides the window (except at frame noSlide), stops at
// the first step, otherwise adds the window to the region. Kept out of line
// with its sums in locals, so that they stay in registers through the loop.
// Returns the frame where it stopped and sets stepped if that was a step.
__attribute__((noinline)) int scanSteady(const Frame* in, int n, int i, int stop, int noSlide,
                                         double countD, double stepRatio, ScanSums& sums, bool& stepped)
{
    double sumL = sums.windowL;
    double sumR = sums.windowR;
    double regionL = sums.regionL;
    double regionR = sums.regionR;
    stepped = false;
    while (i < stop) {
        if (i != noSlide) {
            const Frame& enter = in[i + n - 1];
            const Frame& leave = in[i - 1];
            sumL += enter.left * enter.left - leave.left * leave.left;
            sumR += enter.right * enter.right - leave.right * leave.right;
        }
        const double wL = sumL > 0.0 ? sumL : 0.0;
        const double wR = sumR > 0.0 ? sumR : 0.0;
        const double top = regionL > regionR ? regionL : regionR;
        const double c = (wL > wR ? wL : wR) * countD;
        // c > top r or top > c r: the larger beyond r times the smaller.
        const double hi = c > top ? c : top;
        const double lo = c > top ? top : c;
        if (hi > lo * stepRatio) {
            stepped = true;
            break;
        }
        regionL += wL;
        regionR += wR;
        countD += 1.0;
        ++i;
    }
    sums = {sumL, sumR, regionL, regionR};
    return i;
}

double larger(const RMSStepDetector::Region& r)
{
    return std::max(r.RMSSqrValue0, r.RMSSqrValue1);
}

double smaller(const RMSStepDetector::Region& r)
{
    return std::min(r.RMSSqrValue0, r.RMSSqrValue1);
}

// Folds b into a, weighting each mean square by its number of measurements.
void mergeInto(RMSStepDetector::Region& a, const RMSStepDetector::Region& b)
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

class RMSStepDetectorJSonBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    RMSStepDetectorJSonBuilder() { SoundAlgo::declareBuilder(this); }
    SoundAlgo* build(QJsonObject& object) override { return RMSStepDetector::createFromJSon(object); }
    QString getClassName() override { return QStringLiteral("RMSStepDetector"); }
};

// Registered when the library is loaded.
RMSStepDetectorJSonBuilder sRMSStepDetectorBuilder;

} // namespace

RMSStepDetector::RMSStepDetector(double noiseThreshold, double rmsTime, double minSlopeTime, OutputMode outputMode,
                                 bool realTimeMode)
    : mStepRatio(std::pow(10.0, 0.1))
    , mNoiseLevel(std::pow(10.0, noiseThreshold / 20.0))
    , mRmsTime(rmsTime)
    , mLock(QReadWriteLock::Recursive)
    , mOutputMode(outputMode)
    , mRealTimeMode(realTimeMode)
    , mSlopeSteps{{10.0, std::pow(10.0, 0.1), 0}, {5.0, std::pow(10.0, 0.2), 0}, {2.0, std::pow(10.0, 0.5), 0}}
    , mSlopeDetector(minSlopeTime)
{
    mRegions.reserve(200);
}

RMSStepDetector::~RMSStepDetector() = default;

int RMSStepDetector::framesOf(double seconds) const
{
    return static_cast<int>(std::floor(getSampleRate() * seconds + 0.5));
}

double RMSStepDetector::noiseDb() const
{
    return levelDb(mNoiseLevel);
}

double RMSStepDetector::getNoiseThreshold() const
{
    QReadLocker locker(&mLock);
    return noiseDb();
}

unsigned int RMSStepDetector::getInOverlap(unsigned int sampleRate) const
{
    // The window looks forward: each block needs this many frames beyond it.
    const double frames = std::floor(sampleRate * mRmsTime + 0.5);
    return frames >= 1.0 ? static_cast<unsigned int>(frames) : 1u;
}

// ---------------------------------------------------------------------------
// Run

SoundTools::Status RMSStepDetector::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mSampleRate = ctx.sampleRate;
    reset();
    {
        QWriteLocker locker(&mLock);
        mSlopeDetector.init(ctx.sampleRate);
        mFadeStart = ctx.offset + static_cast<int>(ctx.frameNbToProcess) - framesOf(10.0);
        for (SlopeStep& step : mSlopeSteps)
            step.frames = framesOf(step.seconds);
    }
    return SoundAlgo::initProcess(ctx, prev, next);
}

void RMSStepDetector::reset()
{
    QWriteLocker locker(&mLock);
    mWindowFrames = static_cast<int>(getInOverlap(getSampleRate()));
    mSumL = 0.0;
    mSumR = 0.0;
    mCount = 0;
    mCurBegin = 0;
    mLastPos = -1;
    mLeadingSilence = true;
    mCurrentMax = 0.0;
    mFadeStart = 0;
    mRegions.clear();
    mSlopeDetector.reset();
}

SoundTools::Status RMSStepDetector::process()
{
    // The whole block runs under the write lock, so that a reader on another
    // thread sees the regions and the accumulator between blocks only.
    QWriteLocker locker(&mLock);

    const int n = mWindowFrames;
    const int inOrigin = getInOrigin();
    const int inFrames = static_cast<int>(getInFrameNb());
    const int outFrames = std::min(static_cast<int>(getOutFrameNb()), std::max(inFrames - n, 0));
    const Frame* in = mInBuffers[0]->getStereoFrame(inOrigin);
    Frame* out = mOutputMode == NoOutput || outFrames == 0 ? nullptr : mOutBuffers[0]->getStereoFrame(getOutOrigin());

    if (mLastPos == -1)
        mCurBegin = std::max(inOrigin, 0);

    // The loop works on window sums of squares (mean squares times N) and on
    // region sums of them, so that no frame needs a division: the window's
    // mean square is sum / N, the region's mean is regionSum / (N count), and
    // the step test compares both sides multiplied by N count. The region
    // being built is kept in locals and written back (as sums of mean
    // squares) around pushRegion, which reads it.
    const double windowFrames = static_cast<double>(n);
    double regionL = mSumL * windowFrames;
    double regionR = mSumR * windowFrames;
    int count = mCount;
    int lastPos = mLastPos;
    const double stepRatio = mStepRatio;

    // The output frame of position i (the lambda takes copies, so that the
    // loop keeps its values in registers).
    const bool regionLevel = mOutputMode == RegionLevel;
    const auto outputFrame = [out, in, regionLevel, windowFrames](int i, double sL, double sR, int c) {
        if (regionLevel)
            out[i] = c ? Frame{std::sqrt(sL / (windowFrames * c)), std::sqrt(sR / (windowFrames * c))} : Frame{0.0, 0.0};
        else
            out[i] = in[i];
    };

    // Positions up to lastPos were analysed with the previous block (the
    // look-ahead repeated at the head of this one): they are only output.
    const int first = std::min(outFrames, std::max(0, lastPos + 1 - inOrigin));
    // The state carried to the next block; in real-time mode the regions
    // closed so far are published.
    const auto finish = [&]() {
        mSumL = regionL / windowFrames;
        mSumR = regionR / windowFrames;
        mCount = count;
        mLastPos = lastPos;
        if (mRealTimeMode)
            flush(false);
        return SoundTools::StatusOk;
    };
    for (int i = 0; out && i < first; ++i)
        outputFrame(i, regionL, regionR, count);
    if (first == outFrames)
        return finish();

    // The window at the first analysed frame, summed afresh.
    double sumL = 0.0;
    double sumR = 0.0;
    for (int k = 0; k < n; ++k) {
        sumL += in[first + k].left * in[first + k].left;
        sumR += in[first + k].right * in[first + k].right;
    }
    // Frames until the next position that is a multiple of N (where the
    // slope detector is fed).
    int untilFeed = (n - (((inOrigin + first) % n) + n) % n) % n;
    bool updated = false; // the window of frame i is already slid
    for (int i = first; i < outFrames; ++i, --untilFeed) {
        // The common frames (no feed, no leading silence, no output, no
        // step) go through scanSteady, which stops at the first frame that
        // needs more. The count converts exactly (far below 2^53).
        if (!mLeadingSilence && !out) {
            const int start = i;
            const int stop = std::min(outFrames, i + untilFeed);
            ScanSums sums{sumL, sumR, regionL, regionR};
            i = scanSteady(in, n, i, stop, first, static_cast<double>(count), stepRatio, sums, updated);
            sumL = sums.windowL;
            sumR = sums.windowR;
            regionL = sums.regionL;
            regionR = sums.regionR;
            if (i > start) {
                count += i - start;
                untilFeed -= i - start;
                lastPos = inOrigin + i - 1;
            }
            if (i >= outFrames)
                break;
        }
        const int p = inOrigin + i;
        if (i != first && !updated) {
            // Frame i + N - 1 enters the window, frame i - 1 leaves it.
            const Frame& enter = in[i + n - 1];
            const Frame& leave = in[i - 1];
            sumL += enter.left * enter.left - leave.left * leave.left;
            sumR += enter.right * enter.right - leave.right * leave.right;
        }
        updated = false;
        // The running sums drift by rounding: keep them non-negative.
        const double wL = sumL > 0.0 ? sumL : 0.0;
        const double wR = sumR > 0.0 ? sumR : 0.0;
        if (untilFeed == 0) {
            mSlopeDetector.feed(wL / windowFrames, wR / windowFrames, p);
            untilFeed = n;
        }
        if (mLeadingSilence) {
            if (wL == 0.0 && wR == 0.0) {
                // Digital silence before anything was measured belongs to
                // no region.
                lastPos = p;
                mCurBegin = p + 1;
                if (out)
                    out[i] = mOutputMode == RegionLevel ? Frame{0.0, 0.0} : in[i];
                continue;
            }
            mLeadingSilence = false;
        }
        // A step: the window's level steps more than the ratio away from the
        // region's mean (both sides scaled by N count).
        const double top = regionL > regionR ? regionL : regionR;
        const double c = (wL > wR ? wL : wR) * count;
        if (c > top * stepRatio || top > c * stepRatio) {
            mSumL = regionL / windowFrames;
            mSumR = regionR / windowFrames;
            mCount = count;
            mLastPos = lastPos;
            const int pushed = pushRegionUnlocked(); // the block holds the lock already
            lastPos = mLastPos;
            if (pushed == 0 || pushed == 3) {
                regionL = wL;
                regionR = wR;
                count = 1;
                mCurBegin = pushed == 0 ? p + n / 2 : p;
                if (pushed == 3)
                    lastPos = p;
                if (out)
                    outputFrame(i, regionL, regionR, count);
                continue;
            }
        }
        regionL += wL;
        regionR += wR;
        ++count;
        lastPos = p;
        if (out)
            outputFrame(i, regionL, regionR, count);
    }
    return finish();
}

int RMSStepDetector::pushRegion(bool /*final*/)
{
    QWriteLocker locker(&mLock);
    return pushRegionUnlocked();
}

int RMSStepDetector::pushRegionUnlocked()
{
    if (mCount == 0)
        return 1;
    Region r;
    r.BeginSample = mCurBegin;
    r.SampleNb = mCount;
    r.RMSSqrValue0 = mSumL / mCount;
    r.RMSSqrValue1 = mSumR / mCount;
    r.MeanSmpl = mCount;
    r.IsNoise = false;
    if (mRegions.empty()) {
        mRegions.push_back(r);
        mCurrentMax = larger(r);
        return 0;
    }
    Region& prev = mRegions.back();
    // In the last 10 s a falling level opens no region: a fade-out stays in
    // the region it ends.
    if (mFadeStart != 0 && r.BeginSample > mFadeStart
        && (prev.RMSSqrValue0 > r.RMSSqrValue0 || prev.RMSSqrValue1 > r.RMSSqrValue1))
        return 1;
    // Two closings within half a window can give a piece that begins before
    // the previous region: it can only belong to that region.
    const long long gap = static_cast<long long>(r.BeginSample) - prev.BeginSample;
    if (gap <= 0
        || !canChangeRegion(static_cast<unsigned int>(gap), Frame{r.RMSSqrValue0, r.RMSSqrValue1},
                            Frame{prev.RMSSqrValue0, prev.RMSSqrValue1})) {
        mergeInto(prev, r);
        mCurBegin = mLastPos;
        mSumL = 0.0;
        mSumR = 0.0;
        mCount = 0;
        mCurrentMax = std::max(mCurrentMax, larger(prev));
        return 3;
    }
    prev.SampleNb = static_cast<int>(gap);
    mCurrentMax = std::max(mCurrentMax, larger(r));
    mRegions.push_back(r);
    return 0;
}

bool RMSStepDetector::canChangeRegion(unsigned int gap, const Frame& level, const Frame& previous) const
{
    const double a = std::max(previous.left, previous.right);
    const double b = std::max(level.left, level.right);
    double ratio;
    if (a == b)
        ratio = 1.0;
    else if (a == 0.0 || b == 0.0)
        ratio = 100000.0;
    else
        ratio = std::max(a, b) / std::min(a, b);
    for (const SlopeStep& step : mSlopeSteps) {
        if (step.ratio > ratio)
            return false;
        if (gap >= static_cast<unsigned int>(std::max(step.frames, 0)))
            return true;
    }
    return false;
}

int RMSStepDetector::flush(bool final)
{
    QWriteLocker locker(&mLock);
    const int r = pushRegion(final);
    if (r == 0) {
        mSumL = 0.0;
        mSumR = 0.0;
        mCount = 0;
    }
    if (isDebug())
        printRegionsUnlocked(nullptr);
    applyNoise(noiseDb(), mRegions.begin(), mRegions.end());
    return r;
}

bool RMSStepDetector::applyNoise(double dB, RegionIterator first, RegionIterator last)
{
    QWriteLocker locker(&mLock);
    mNoiseLevel = std::pow(10.0, dB / 20.0);
    double threshold = mNoiseLevel * mNoiseLevel;
    if (first == last)
        return false;
    if (!mRealTimeMode) {
        // Relative to the region whose quieter channel is loudest.
        double best = 0.0;
        for (auto it = first; it != last; ++it) {
            if (smaller(*it) > best)
                best = smaller(*it);
        }
        threshold *= best;
    }
    bool changed = false;
    for (auto it = first; it != last; ++it) {
        const bool noise = threshold >= larger(*it);
        if (noise != it->IsNoise)
            changed = true;
        it->IsNoise = noise;
    }
    if (changed && isDebug())
        printRegionsUnlocked("Apply Noise");
    return changed;
}

void RMSStepDetector::endProcess(int status, unsigned int frameNbProcessed)
{
    {
        QWriteLocker locker(&mLock);
        if (mCount > 1)
            pushRegion(true);
        // End marker: a silent region at the end of the stream. It is a
        // region of its own (noise) when the last region is long enough,
        // else it is merged into it.
        mCurBegin = getOffset() + static_cast<int>(frameNbProcessed);
        mSumL = 0.0;
        mSumR = 0.0;
        mCount = 1;
        mFadeStart = 0;
        flush(true);
        mBackup = mRegions;
        qDebug() << "Backup =" << mBackup.size();
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

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
       << levelDb(std::sqrt(region.RMSSqrValue0)) << " " << levelDb(std::sqrt(region.RMSSqrValue1));
    if (region.IsNoise)
        os << "]";
    os << std::endl;
    return os;
}

// ---------------------------------------------------------------------------
// JSON

void RMSStepDetector::writeToJSon(QJsonObject& object) const
{
    QReadLocker locker(&mLock);
    object.insert(QStringLiteral("Class"), QStringLiteral("RMSStepDetector"));
    object.insert(QStringLiteral("NoiseThreshold"), noiseDb());
    object.insert(QStringLiteral("RMSTime"), mRmsTime);
    object.insert(QStringLiteral("MinSlopeTime"), mSlopeDetector.getMinSlopeTime());
    object.insert(QStringLiteral("OutputMode"), static_cast<int>(mOutputMode));
    object.insert(QStringLiteral("RealTimeMode"), mRealTimeMode);
    object.insert(QStringLiteral("SampleRate"), static_cast<int>(getSampleRate()));
    if (!mRegions.empty()) {
        QJsonArray regions;
        for (const Region& r : mRegions) {
            QJsonObject o;
            o.insert(QStringLiteral("BeginSample"), r.BeginSample);
            o.insert(QStringLiteral("SampleNb"), r.SampleNb);
            o.insert(QStringLiteral("RMSSqrValue0"), r.RMSSqrValue0);
            o.insert(QStringLiteral("RMSSqrValue1"), r.RMSSqrValue1);
            o.insert(QStringLiteral("MeanSmpl"), r.MeanSmpl);
            o.insert(QStringLiteral("IsNoise"), r.IsNoise);
            regions.append(o);
        }
        object.insert(QStringLiteral("Regions"), regions);
    }
}

RMSStepDetector* RMSStepDetector::createFromJSon(QJsonObject& object)
{
    if (object.value(QStringLiteral("Class")).toString() != QStringLiteral("RMSStepDetector")
        || !object.value(QStringLiteral("NoiseThreshold")).isDouble()
        || !object.value(QStringLiteral("RMSTime")).isDouble()
        || !object.value(QStringLiteral("MinSlopeTime")).isDouble()
        || !object.value(QStringLiteral("OutputMode")).isDouble()
        || !object.value(QStringLiteral("RealTimeMode")).isBool())
        return nullptr;
    const int mode = object.value(QStringLiteral("OutputMode")).toInt();
    if (mode < RegionLevel || mode > NoOutput) {
        setError(QStringLiteral("Unknown output mode %1").arg(mode), "RMSStepDetector::createFromJSon");
        return nullptr;
    }
    auto* detector = new RMSStepDetector(object.value(QStringLiteral("NoiseThreshold")).toDouble(),
                                         object.value(QStringLiteral("RMSTime")).toDouble(),
                                         object.value(QStringLiteral("MinSlopeTime")).toDouble(),
                                         static_cast<OutputMode>(mode),
                                         object.value(QStringLiteral("RealTimeMode")).toBool());
    // A detector saved before any run has no regions: it is rebuilt as it
    // was. A region list that cannot be trusted gives no detector at all.
    detector->SoundAlgo::readFromJSon(object);
    if (detector->readRegions(object) == JsonRead::Invalid) {
        detector->release();
        return nullptr;
    }
    return detector;
}

bool RMSStepDetector::readFromJSon(QJsonObject& object)
{
    SoundAlgo::readFromJSon(object);
    return readRegions(object) == JsonRead::Loaded;
}

RMSStepDetector::JsonRead RMSStepDetector::readRegions(const QJsonObject& object)
{
    static const char* context = "RMSStepDetector::readFromJSon";
    const QJsonValue rate = object.value(QStringLiteral("SampleRate"));
    const QJsonValue list = object.value(QStringLiteral("Regions"));
    if (!list.isArray())
        return list.isUndefined() ? JsonRead::Absent : JsonRead::Invalid;
    if (!rate.isDouble() || rate.toInt(-1) < 0) {
        setError(QStringLiteral("Regions without a valid SampleRate"), context);
        return JsonRead::Invalid;
    }

    QWriteLocker locker(&mLock);
    std::vector<Region> loaded;
    const QJsonArray array = list.toArray();
    loaded.reserve(static_cast<size_t>(array.size()));
    long long previousBegin = mRegions.empty() ? LLONG_MIN : mRegions.back().BeginSample;
    for (int i = 0; i < array.size(); ++i) {
        auto refuse = [i](const QString& why) {
            setError(QStringLiteral("Region %1: %2").arg(i).arg(why), context);
            return JsonRead::Invalid;
        };
        if (!array[i].isObject())
            return refuse(QStringLiteral("not an object"));
        const QJsonObject o = array[i].toObject();
        const QJsonValue begin = o.value(QStringLiteral("BeginSample"));
        const QJsonValue length = o.value(QStringLiteral("SampleNb"));
        const QJsonValue v0 = o.value(QStringLiteral("RMSSqrValue0"));
        const QJsonValue v1 = o.value(QStringLiteral("RMSSqrValue1"));
        const QJsonValue weight = o.value(QStringLiteral("MeanSmpl"));
        const QJsonValue noise = o.value(QStringLiteral("IsNoise"));
        if (!begin.isDouble() || !length.isDouble() || !v0.isDouble() || !v1.isDouble() || !weight.isDouble()
            || !noise.isBool())
            return refuse(QStringLiteral("missing key or wrong type"));
        Region r;
        r.BeginSample = begin.toInt();
        r.SampleNb = length.toInt();
        r.RMSSqrValue0 = v0.toDouble();
        r.RMSSqrValue1 = v1.toDouble();
        r.MeanSmpl = weight.toInt();
        r.IsNoise = noise.toBool();
        if (begin.toDouble() != r.BeginSample || length.toDouble() != r.SampleNb || weight.toDouble() != r.MeanSmpl)
            return refuse(QStringLiteral("count not a 32-bit integer"));
        if (r.BeginSample < 0 || r.SampleNb < 0 || r.MeanSmpl < 0 || r.RMSSqrValue0 < 0 || r.RMSSqrValue1 < 0)
            return refuse(QStringLiteral("negative value"));
        if (r.BeginSample <= previousBegin)
            return refuse(QStringLiteral("out of stream order"));
        previousBegin = r.BeginSample;
        loaded.push_back(r);
    }
    mSampleRate = static_cast<unsigned int>(rate.toInt());
    mRegions.insert(mRegions.end(), loaded.begin(), loaded.end());
    mBackup = mRegions;
    if (isDebug())
        printRegionsUnlocked("JSON Loaded");
    return JsonRead::Loaded;
}

// ---------------------------------------------------------------------------
// Region editing

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

double RMSStepDetector::estimateNoise(double seconds, double defaultDb) const
{
    QReadLocker locker(&mLock);
    return estimateNoise(seconds, defaultDb, mRegions.cbegin(), mRegions.cend());
}

// The noise threshold sits 5% above the level of the quietest material that
// adds up to `seconds` per started five minutes of the stream, measured
// relative to the loudest region (as applyNoise measures it).
double RMSStepDetector::estimateNoise(double seconds, double defaultDb, std::vector<Region>::const_iterator first,
                                      std::vector<Region>::const_iterator last) const
{
    if (seconds <= 0)
        seconds = 1.0;
    std::vector<Region> sorted(first, last);
    if (sorted.empty())
        return -defaultDb;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Region& a, const Region& b) { return larger(a) < larger(b); });

    const int fiveMinutes = framesOf(300.0);
    int units = fiveMinutes > 0 ? fullLengthUnlocked() / fiveMinutes : 0;
    if (units == 0)
        units = 1;
    const double budget = std::floor(units * seconds * getSampleRate() + 0.5);

    const Region& loudest = sorted.back();
    const double reference = smaller(loudest);
    // Nothing to measure against: keep the default.
    if (reference <= 0)
        return -defaultDb;
    const double threshold = reference * std::pow(10.0, -defaultDb / 10.0);

    double summed = 0;
    const Region* candidate = nullptr;
    for (const Region& r : sorted) {
        if (summed >= budget)
            break;
        if (larger(r) > threshold) {
            summed += r.SampleNb;
            candidate = &r;
        }
    }

    double result;
    if (candidate && candidate->BeginSample == loudest.BeginSample && candidate->SampleNb == loudest.SampleNb) {
        result = -defaultDb;
    } else {
        const double level = candidate ? larger(*candidate) : threshold;
        result = levelDb(1.05 * std::sqrt(level) / std::sqrt(reference));
    }
    if (isDebug())
        getOStream() << "Noise=" << result << " dB" << std::endl;
    return result;
}

// Runs of tracks longer than minDuration get a noise threshold of their own:
// a quiet passage inside a long run becomes noise and splits it. A run that
// changed is scanned again, since its parts may split further; flags only
// ever turn from signal to noise, so the scan ends.
void RMSStepDetector::split(double seconds, double minDuration, double defaultDb)
{
    QWriteLocker locker(&mLock);
    if (mRegions.empty())
        return;
    const int minFrames = framesOf(minDuration);
    const size_t none = static_cast<size_t>(-1);
    size_t runStart = none;
    size_t i = 0;
    while (i < mRegions.size()) {
        if (!mRegions[i].IsNoise) {
            if (runStart == none)
                runStart = i;
            ++i;
            continue;
        }
        if (runStart != none
            && static_cast<long long>(mRegions[i].BeginSample) - mRegions[runStart].BeginSample > minFrames) {
            const auto first = mRegions.begin() + static_cast<std::ptrdiff_t>(runStart);
            const auto last = mRegions.begin() + static_cast<std::ptrdiff_t>(i);
            const double dB = estimateNoise(seconds, defaultDb, first, last);
            if (applyNoise(dB, first, last)) {
                if (isDebug())
                    getOStream() << "Noise = " << dB << std::endl;
                i = runStart;
                runStart = none;
                continue;
            }
        }
        runStart = none;
        ++i;
    }
    if (isDebug())
        printRegionsUnlocked("Split");
}

void RMSStepDetector::mergeRegions()
{
    QWriteLocker locker(&mLock);
    std::vector<Region> merged;
    merged.reserve(mRegions.size());
    for (const Region& r : mRegions) {
        if (!merged.empty() && merged.back().IsNoise == r.IsNoise)
            mergeInto(merged.back(), r);
        else
            merged.push_back(r);
    }
    mRegions.swap(merged);
    if (isDebug())
        printRegionsUnlocked("Merge");
}

// Raises quiet regions towards the loudest one: a region of level l gets the
// gain (l / ref)^p * ref / l, p = (1 - 1/ratio)^2, so ratio 1 brings every
// region to the reference and a large ratio leaves the levels as they are.
// Each run of tracks is then scaled back so that its least-raised region
// keeps its level. A fade-out at the end keeps the level of the region
// before it, so that an amplifier following these targets does not undo
// the fade. Only the target levels change; returns the mean correction (dB).
double RMSStepDetector::compressDynamic(double ratio)
{
    QWriteLocker locker(&mLock);
    const double p = std::pow(1.0 - 1.0 / std::max(ratio, 1.0), 2.0);

    long long totalLen = 0;
    double refSqr = 0.0;
    for (const Region& r : mRegions) {
        if (!r.IsNoise) {
            totalLen += r.SampleNb;
            refSqr = std::max(refSqr, larger(r));
        }
    }
    const double refLevel = std::sqrt(refSqr);
    if (refLevel <= 0)
        return 0.0;

    double sumLen = 0.0;
    double sumGain = 0.0;
    bool runOpen = false;
    size_t runStart = 0;
    double minGain = 1000.0;
    auto closeRun = [&](size_t end) {
        for (size_t k = runStart; k < end; ++k) {
            mRegions[k].RMSSqrValue0 /= minGain;
            mRegions[k].RMSSqrValue1 /= minGain;
        }
        runOpen = false;
    };
    for (size_t i = 0; i < mRegions.size(); ++i) {
        Region& r = mRegions[i];
        if (r.IsNoise) {
            if (runOpen)
                closeRun(i);
            continue;
        }
        if (!runOpen) {
            runOpen = true;
            runStart = i;
            minGain = 1000.0;
        }
        const double l = std::sqrt(larger(r));
        const double g = l > 0 ? std::pow(l / refLevel, p) * refLevel / l : 1.0;
        const double g2 = g * g;
        r.RMSSqrValue0 *= g2;
        r.RMSSqrValue1 *= g2;
        minGain = std::min(minGain, g2);
        sumLen += r.SampleNb;
        sumGain += r.SampleNb * g2;
    }

    // Fade-out at the end of the last run.
    size_t tail = mRegions.size();
    for (size_t k = mRegions.size(); k-- > 0;) {
        if (!mRegions[k].IsNoise) {
            tail = k;
            break;
        }
    }
    if (tail < mRegions.size()) {
        const Region tailRegion = mRegions[tail];
        const long long cap = totalLen / 10;
        long long walked = tailRegion.SampleNb;
        size_t earliest = tail;
        for (size_t k = tail; k-- > 0 && walked <= cap;) {
            const Region& r = mRegions[k];
            if (r.IsNoise)
                break;
            if (!(r.RMSSqrValue0 > tailRegion.RMSSqrValue0 || r.RMSSqrValue1 > tailRegion.RMSSqrValue1))
                break;
            walked += r.SampleNb;
            earliest = k;
        }
        if (earliest < tail) {
            for (size_t k = earliest + 1; k <= tail; ++k) {
                mRegions[k].RMSSqrValue0 = mRegions[earliest].RMSSqrValue0;
                mRegions[k].RMSSqrValue1 = mRegions[earliest].RMSSqrValue1;
            }
            if (isDebug())
                printRegionsUnlocked("Fade out processed");
        }
    }
    if (runOpen)
        closeRun(mRegions.size());

    const double correction = sumLen > 0 ? levelDb(std::sqrt(sumGain / sumLen)) : 0.0;
    if (isDebug()) {
        std::ostream& os = getOStream();
        os << "=====================================\n"
           << "      Compression de dynamique\n"
           << " Correction moyenne : " << std::fixed << std::setprecision(2) << correction << " dB" << std::endl;
        printRegionsUnlocked(nullptr);
    }
    return correction;
}
