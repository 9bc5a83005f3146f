// The step detector's construction and its run: the scan of each block,
// the closing of regions and the end marker. The queries and region edits
// are in RMSStepDetectorRegions.cpp, the JSON form in RMSStepDetectorJson.cpp.
#include "RMSStepDetector.h"

#include "detail/RegionEdits.h"
#include "detail/StepScan.h"

#include <QDebug>
#include <QReadLocker>
#include <QWriteLocker>

#include <algorithm>
#include <cmath>

namespace {
using Frame = SoundTools::StereoFrame<double>;
} // namespace

using vexa::detail::louderChannel;

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
    return vexa::detail::amplitudeToDb(mNoiseLevel);
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

// One block of the run: its frames, and the scan's state while it goes
// through them (stored back into the detector around pushRegion, which reads
// it, and at the end of the block).
struct RMSStepDetector::Block {
    const Frame* in;
    Frame* out; // null when nothing is output
    bool regionLevel;
    int windowFrames;
    int inOrigin;
    int first; // the first frame analysed here; those before were analysed with the previous block
    int outFrames;
    vexa::detail::StepScan scan;
    int lastPos;

    // Frame i of the output: the root of the region's running mean square
    // (sum / (N count)), or the input.
    void output(int i) const
    {
        if (!regionLevel) {
            out[i] = in[i];
            return;
        }
        const double nc = static_cast<double>(windowFrames) * scan.count;
        out[i] = scan.count != 0.0 ? Frame{std::sqrt(scan.regionL / nc), std::sqrt(scan.regionR / nc)}
                                   : Frame{0.0, 0.0};
    }
};

SoundTools::Status RMSStepDetector::process()
{
    // The whole block runs under the write lock, so that a reader on another
    // thread sees the regions and the accumulator between blocks only.
    QWriteLocker locker(&mLock);

    const int n = mWindowFrames;
    const int inFrames = static_cast<int>(getInFrameNb());
    Block b;
    b.windowFrames = n;
    b.inOrigin = getInOrigin();
    b.outFrames = std::min(static_cast<int>(getOutFrameNb()), std::max(inFrames - n, 0));
    b.in = mInBuffers[0]->getStereoFrame(b.inOrigin);
    b.out = mOutputMode == NoOutput || b.outFrames == 0 ? nullptr : mOutBuffers[0]->getStereoFrame(getOutOrigin());
    b.regionLevel = mOutputMode == RegionLevel;
    if (mLastPos == -1)
        mCurBegin = std::max(b.inOrigin, 0);
    // The detector keeps the region as sums of mean squares; the scan sums
    // window sums (N times as large).
    b.scan.regionL = mSumL * static_cast<double>(n);
    b.scan.regionR = mSumR * static_cast<double>(n);
    b.scan.count = mCount;
    b.lastPos = mLastPos;

    // Positions up to lastPos were analysed with the previous block (the
    // look-ahead repeated at the head of this one): they are only output.
    b.first = std::min(b.outFrames, std::max(0, b.lastPos + 1 - b.inOrigin));
    for (int i = 0; b.out && i < b.first; ++i)
        b.output(i);
    if (b.first < b.outFrames)
        scanBlock(b);

    // The state carried to the next block; in real-time mode the regions
    // closed so far are published.
    storeScan(b);
    if (mRealTimeMode)
        flush(false);
    return SoundTools::StatusOk;
}

void RMSStepDetector::storeScan(const Block& b)
{
    mSumL = b.scan.regionL / static_cast<double>(b.windowFrames);
    mSumR = b.scan.regionR / static_cast<double>(b.windowFrames);
    mCount = static_cast<int>(b.scan.count);
    mLastPos = b.lastPos;
}

// Frames first .. outFrames - 1. Runs of frames that need neither a slope
// feed, the leading-silence test nor an output go through
// vexa::detail::scanSteady, which stops at the first frame that needs more; the
// others go through measureFrame one by one.
void RMSStepDetector::scanBlock(Block& b)
{
    const int n = b.windowFrames;
    b.scan.sumWindow(b.in + b.first, n); // the window at the first analysed frame, summed afresh
    // Frames until the next position that is a multiple of N (where the
    // slope detector is fed).
    int untilFeed = (n - (((b.inOrigin + b.first) % n) + n) % n) % n;
    bool slid = false; // the window of frame i is slid already
    for (int i = b.first; i < b.outFrames; ++i, --untilFeed) {
        if (!mLeadingSilence && !b.out) {
            const int start = i;
            i = vexa::detail::scanSteady(b.in, n, i, std::min(b.outFrames, i + untilFeed), b.first, mStepRatio,
                                         b.scan, slid);
            if (i > start) {
                untilFeed -= i - start;
                b.lastPos = b.inOrigin + i - 1;
            }
            if (i >= b.outFrames)
                break;
        }
        if (i != b.first && !slid)
            b.scan.slide(b.in[i + n - 1], b.in[i - 1]);
        slid = false;
        if (untilFeed == 0) {
            mSlopeDetector.feed(b.scan.windowLeft() / static_cast<double>(n),
                                b.scan.windowRight() / static_cast<double>(n), b.inOrigin + i);
            untilFeed = n;
        }
        measureFrame(b, i);
    }
}

// Frame i, its window slid: leading silence, the step test, the region, the
// output.
void RMSStepDetector::measureFrame(Block& b, int i)
{
    const int p = b.inOrigin + i;
    const double wL = b.scan.windowLeft();
    const double wR = b.scan.windowRight();
    if (mLeadingSilence) {
        if (wL == 0.0 && wR == 0.0) {
            // Digital silence before anything was measured belongs to no
            // region.
            b.lastPos = p;
            mCurBegin = p + 1;
            if (b.out)
                b.out[i] = b.regionLevel ? Frame{0.0, 0.0} : b.in[i];
            return;
        }
        mLeadingSilence = false;
    }
    if (!b.scan.isStep(wL, wR, mStepRatio) || !closeAtStep(b, p, wL, wR)) {
        b.scan.add(wL, wR);
        b.lastPos = p;
    }
    if (b.out)
        b.output(i);
}

// A step at position p closes the region being built. True when it was
// appended or merged: the window then begins the next region.
bool RMSStepDetector::closeAtStep(Block& b, int p, double wL, double wR)
{
    storeScan(b);
    const int pushed = pushRegionUnlocked(); // the block holds the lock already
    b.lastPos = mLastPos;
    if (pushed != 0 && pushed != 3)
        return false;
    b.scan.restart(wL, wR);
    mCurBegin = pushed == 0 ? p + b.windowFrames / 2 : p;
    if (pushed == 3)
        b.lastPos = p;
    return true;
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
        mCurrentMax = louderChannel(r);
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
        vexa::detail::mergeInto(prev, r);
        mCurBegin = mLastPos;
        mSumL = 0.0;
        mSumR = 0.0;
        mCount = 0;
        mCurrentMax = std::max(mCurrentMax, louderChannel(prev));
        return 3;
    }
    prev.SampleNb = static_cast<int>(gap);
    mCurrentMax = std::max(mCurrentMax, louderChannel(r));
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
