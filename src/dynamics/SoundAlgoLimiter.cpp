#include "SoundAlgoLimiter.h"

#include "SoundWriterSndfile.h"
#include "detail/LevelText.h"

#include <QReadLocker>
#include <QWriteLocker>

#include <algorithm>
#include <climits>
#include <cmath>
#include <ios>
#include <ostream>

namespace {

inline double peakOf(const SoundTools::StereoFrame<double>& f)
{
    return std::max(std::fabs(f.left), std::fabs(f.right));
}

} // namespace

constexpr double SoundAlgoLimiter::kCeiling;
constexpr double SoundAlgoLimiter::kLastResort;

SoundAlgoLimiter::SoundAlgoLimiter(double levelDb, double lookAheadTime, double releaseTime, const char* debugFile)
    : mLookAheadTime(lookAheadTime)
    , mReleaseTime(releaseTime)
    , mLevel(vexa::detail::fromDb(levelDb))
    , mGain(mLevel.load())
{
    if (debugFile)
        mDebugFileName = debugFile;
}

SoundAlgoLimiter::~SoundAlgoLimiter()
{
    closeTrace();
}

void SoundAlgoLimiter::closeTrace()
{
    if (mDebugWriter) {
        mDebugWriter->close();
        delete mDebugWriter;
        mDebugWriter = nullptr;
    }
    mTraceBuffer.reset();
}

void SoundAlgoLimiter::setLevel(double levelDb)
{
    QWriteLocker locker(&mLock);
    const double level = vexa::detail::fromDb(levelDb);
    mLevel.store(level);
    mGain = level;
}

double SoundAlgoLimiter::getLevel(double)
{
    return vexa::detail::toDb(mLevel.load());
}

void SoundAlgoLimiter::reset()
{
    QWriteLocker locker(&mLock);
    resetUnlocked();
}

void SoundAlgoLimiter::resetUnlocked()
{
    mGain = mLevel.load();
    mAttackSlope = 0.0;
    mAttackFramesLeft = 0;
    mReleaseSlope = 0.0;
    mReleaseFramesLeft = 0;
    mAttackEnd = 0;
    mAttackCounter = 0;
    mClippingCounter = 0;
}

void SoundAlgoLimiter::changeSong()
{
}

void SoundAlgoLimiter::SetSlopeMax(double slopeDb)
{
    mSlopeMax = vexa::detail::fromDb(slopeDb);
}

void SoundAlgoLimiter::setDebugFile(const std::string& fileName)
{
    mDebugFileName = fileName;
}

unsigned int SoundAlgoLimiter::getInOverlap(unsigned int sampleRate) const
{
    const int a = std::max(vexa::detail::framesOf(sampleRate, mLookAheadTime), 0);
    const int r = std::max(vexa::detail::framesOf(sampleRate, mReleaseTime), 0);
    return static_cast<unsigned int>(a + r);
}

SoundTools::Status SoundAlgoLimiter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    const unsigned int fs = ctx.sampleRate;
    mSampleRate = fs;
    mA = std::max(vexa::detail::framesOf(fs, mLookAheadTime), 0);
    mR = std::max(vexa::detail::framesOf(fs, mReleaseTime), 0);
    mAR = mA + mR;
    mSlopeMaxPerFrame = fs > 0 ? mSlopeMax / fs : mSlopeMax;

    mTraceBuffer.reset();
    reset();

    if (!mDebugFileName.empty()) {
        closeTrace();
        auto* writer = new SoundWriterSndfile(fs, 1, SoundTools::PCM16, SoundWriterSndfile::WAV);
        if (writer->open(QString::fromStdString(mDebugFileName)) == SoundTools::StatusOk) {
            mDebugWriter = writer;
        } else {
            delete writer;
        }
        mDebugFileName.clear();
    }
    mTraceRangeSet = false;
    if (mDebugWriter && !mTraceBuffer)
        mTraceBuffer = SoundBuffer::createNew(fs);
    return SoundAlgo::initProcess(ctx, prev, next);
}

void SoundAlgoLimiter::endProcess(int status, unsigned int frameNbProcessed)
{
    closeTrace();
    if (isDebug() && status == SoundTools::StatusOk) {
        std::ostream& os = getOStream();
        const std::ios_base::fmtflags flags = os.flags();
        const std::streamsize precision = os.precision();
        os << std::fixed;
        os.precision(2);
        if (mAttackCounter != 0)
            os << "SoundAlgoAmplify : " << mAttackCounter << " positives attacks" << std::endl;
        if (mClippingCounter != 0)
            os << "SoundAlgoAmplify : " << mClippingCounter << " clippings filtered" << std::endl;
        os.flags(flags);
        os.precision(precision);
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

// The gain rises back to the level over R frames, but no faster than the
// slope limit allows; the frame count is what it takes to reach the level.
void SoundAlgoLimiter::planRelease()
{
    const double level = mLevel.load(std::memory_order_relaxed);
    const double diff = level - mGain;
    double slope = mR > 0 ? diff / mR : (diff > 0.0 ? mSlopeMaxPerFrame : 0.0);
    slope = std::min(slope, mSlopeMaxPerFrame);
    mReleaseSlope = slope;
    if (slope > 0.0)
        mReleaseFramesLeft = static_cast<int>(std::max(1.0, std::ceil(std::min(diff / slope, 2147483647.0))));
    else
        mReleaseFramesLeft = 1;
}

double SoundAlgoLimiter::GetForwardCoeff() const
{
    const double level = mLevel.load(std::memory_order_relaxed);
    if (mAttackFramesLeft == 0) {
        if (mReleaseFramesLeft >= mA && mReleaseFramesLeft > 0)
            return mGain + mA * mReleaseSlope;
        return level;
    }
    const double end = mGain + mAttackFramesLeft * mAttackSlope;
    if (mAttackFramesLeft >= mA)
        return end;
    double s = mR > 0 ? (level - end) / mR : (level > end ? mSlopeMaxPerFrame : 0.0);
    s = std::min(s, mSlopeMaxPerFrame);
    return end + (mA - mAttackFramesLeft) * s;
}

SoundTools::Status SoundAlgoLimiter::process()
{
    QWriteLocker locker(&mLock);
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    const int p0 = getInOrigin();
    const Frame* in = mInBuffers[0]->getStereoFrame(p0);
    Frame* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    double* trace = openTraceBlock(p0, n);

    for (int i = 0; i < n; ++i) {
        if (!trace && mAttackFramesLeft == 0 && mReleaseFramesLeft == 0) {
            i = steadyRun(in, out, i, n, p0);
            if (i == n)
                break;
        }
        const double g = mGain;
        out[i] = {in[i].left * g, in[i].right * g};
        if (trace)
            trace[i] = g;
        catchPeak(out, trace, i);
        if (mA > 0 && p0 + i + mA > mAttackEnd)
            lookAhead(in, i, n, p0 + i);
        stepGain();
    }

    if (trace)
        writeTraceBlock();
    return SoundTools::StatusOk;
}

// While the gain rests at the level, a frame is only scaled unless it or the
// frame A ahead would reach the ceiling: stretches of 64 frames whose largest
// samples stay below are scaled at once, and the frame loop resumes at the
// first stretch that holds such a frame. The result is the frame loop's.
int SoundAlgoLimiter::steadyRun(const Frame* in, Frame* out, int i, int n, int p0)
{
    constexpr int kStretch = 64;
    const double g = mGain;
    const double level = mLevel.load(std::memory_order_relaxed);
    const int a = mA;
    while (i + kStretch <= n) {
        // The look-ahead looks only beyond the end of the last attack.
        const bool ahead = a > 0 && p0 + i + a > mAttackEnd;
        if (a > 0 && !ahead)
            break;
        double now = 0.0;
        double far = 0.0;
        for (int j = i; j < i + kStretch; ++j) {
            now = std::max(now, std::max(std::fabs(in[j].left), std::fabs(in[j].right)));
            if (ahead)
                far = std::max(far, std::max(std::fabs(in[j + a].left), std::fabs(in[j + a].right)));
        }
        if (now * g > kLastResort || far * level > kCeiling)
            break;
        for (int j = i; j < i + kStretch; ++j)
            out[j] = {in[j].left * g, in[j].right * g};
        i += kStretch;
    }
    return i;
}

// Last resort: a peak got past the look-ahead. The frames of this block up
// to A back are bent down linearly, so that this one comes out at the
// ceiling (on its own when it is the first of the block).
void SoundAlgoLimiter::catchPeak(Frame* out, double* trace, int i)
{
    const double peak = peakOf(out[i]);
    if (!(peak > kLastResort))
        return;
    const double f = kCeiling / peak;
    const int start = std::max(0, i - mA);
    mGain *= f;
    if (start < i) {
        const double step = (1.0 - f) / (i - start);
        for (int j = start; j < i; ++j) {
            const double factor = 1.0 - (j - start) * step;
            out[j].left *= factor;
            out[j].right *= factor;
            if (trace)
                trace[j] *= factor;
        }
    }
    out[i].left *= f;
    out[i].right *= f;
    if (trace)
        trace[i] *= f;
    planRelease();
    ++mClippingCounter;
    mAttackFramesLeft = 0;
}

// Look-ahead: when the frame A ahead (p + A) would pass the ceiling at the
// gain it is heading for, plan an attack. The horizon moves further ahead
// while the peak divided by its distance does not decrease, so that the
// straight line meets the steepest of the coming peaks.
void SoundAlgoLimiter::lookAhead(const Frame* in, int i, int n, int p)
{
    const int a = mA;
    const double peakA = peakOf(in[i + a]);
    if (!(GetForwardCoeff() * peakA > kCeiling))
        return;
    int k = a;
    double peakK = peakA;
    while (i + 1 + (k - a) < n) {
        const double q = peakOf(in[i + k + 1]);
        if (!(q / (k + 1) >= peakK / k))
            break;
        ++k;
        peakK = q;
    }
    const double slope = (kCeiling / peakK - mGain) / k;
    if (mAttackFramesLeft == 0 || mAttackSlope > slope || p > mAttackEnd) {
        mAttackSlope = slope;
        mAttackEnd = p + k;
    }
    mAttackFramesLeft = k;
    if (slope > 0.0)
        ++mAttackCounter;
}

// The gain for the next frame: along the attack, then the release ramp back
// to the level.
void SoundAlgoLimiter::stepGain()
{
    const double level = mLevel.load(std::memory_order_relaxed);
    if (mAttackFramesLeft > 0) {
        mGain += mAttackSlope;
        --mAttackFramesLeft;
        if (mGain > level) {
            mGain = level;
            mAttackFramesLeft = 0;
            planRelease();
        } else if (mAttackFramesLeft == 0) {
            planRelease();
        }
    } else if (mReleaseFramesLeft > 0) {
        mGain += mReleaseSlope;
        --mReleaseFramesLeft;
        // The release was planned to end at the level: land on it.
        if (mGain > level || mReleaseFramesLeft == 0) {
            mGain = level;
            mReleaseFramesLeft = 0;
        }
    }
}

// The trace block for frames p0 .. p0 + n - 1, or null without a trace file.
double* SoundAlgoLimiter::openTraceBlock(int p0, int n)
{
    if (!mDebugWriter || !mTraceBuffer)
        return nullptr;
    mTraceBuffer->alloc(static_cast<unsigned int>(n), 1, 1, 1);
    mTraceBuffer->setFrameNB(static_cast<unsigned int>(n));
    mTraceBuffer->setOrigin(p0);
    if (!mTraceRangeSet) {
        mDebugWriter->setRange(p0, INT_MAX);
        mTraceRangeSet = true;
    }
    return mTraceBuffer->getRelFrame(0);
}

// The trace holds the gain relative to the level: (g - L) / L.
void SoundAlgoLimiter::writeTraceBlock()
{
    const double level = mLevel.load(std::memory_order_relaxed);
    mTraceBuffer->normBuffer(-level, level > 0.0 ? 1.0 / level : 0.0);
    if (mDebugWriter->writeBuffer(mTraceBuffer, 0)) {
        setError(QStringLiteral("cannot write the trace file"), "SoundAlgoLimiter::process");
        closeTrace();
    }
}
