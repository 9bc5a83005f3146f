#include "SoundAlgoRMSAmplifier.h"

#include "detail/LevelText.h"

#include <QWriteLocker>

#include <algorithm>
#include <cmath>
#include <ios>
#include <omp.h>
#include <ostream>

namespace {

// Ramp lengths: 1 s up to a 1 dB change, the transition time from 5 dB on.
const double kSmallChange = std::pow(10.0, 0.05);
const double kLargeChange = std::pow(10.0, 0.25);
// The loudest level never counts as lower than -25 dB.
const double kLoudestFloor = std::pow(10.0, -1.25);

// Restores a stream's format when leaving a scope.
class FormatGuard {
public:
    explicit FormatGuard(std::ostream& os) : mOs(os), mFlags(os.flags()), mPrecision(os.precision())
    {
        os << std::fixed;
        os.precision(2);
    }
    ~FormatGuard()
    {
        mOs.flags(mFlags);
        mOs.precision(mPrecision);
    }

private:
    std::ostream& mOs;
    std::ios_base::fmtflags mFlags;
    std::streamsize mPrecision;
};

} // namespace

SoundAlgoRMSAmplifier::SoundAlgoRMSAmplifier(double levelDb, RMSStepDetector* detector, double transitionTime,
                                             int dynamicsDivisor, double toleranceDb, double maxGainDb)
    : mMaxGain(vexa::detail::fromDb(maxGainDb))
    , mLowestResult(vexa::detail::fromDb(levelDb - toleranceDb))
    , mTransitionTime(transitionTime)
    , mLevel(vexa::detail::fromDb(levelDb))
    , mDetector(detector)
    , mDynamicsDivisor(dynamicsDivisor)
{
    if (mDetector)
        mDetector->addRef();
}

SoundAlgoRMSAmplifier::~SoundAlgoRMSAmplifier()
{
    if (mDetector)
        mDetector->release();
}

void SoundAlgoRMSAmplifier::setLevel(double levelDb)
{
    QWriteLocker locker(&mLock);
    mLevel = vexa::detail::fromDb(levelDb);
    initCurrentCoeff();
}

void SoundAlgoRMSAmplifier::reset()
{
    mRegionCoeff = 1.0;
    mAppliedGain = 1.0;
    mBalanceLeft = 1.0;
    mBalanceRight = 1.0;
    mInitialised = false;
    mNextRegion = 0;
    mLevelCursor = 0;
    mLoudestLevel = 0.0;
    mRampFramesLeft = 0;
    mRampStep = 0.0;
    mFollowingFade = false;
}

void SoundAlgoRMSAmplifier::changeSong()
{
}

void SoundAlgoRMSAmplifier::setBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb)
{
    const double m = std::max(rmsDb.left, rmsDb.right);
    mBalanceLeft = vexa::detail::fromDb(m - rmsDb.left);
    mBalanceRight = vexa::detail::fromDb(m - rmsDb.right);
}

SoundTools::Status SoundAlgoRMSAmplifier::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mSampleRate = ctx.sampleRate;
    reset();
    return SoundAlgo::initProcess(ctx, prev, next);
}

double SoundAlgoRMSAmplifier::computeCoeffFromRegion(const RMSStepDetector::Region& region) const
{
    if (region.IsNoise)
        return 1.0;
    const double lvl = std::max(mBalanceLeft * std::sqrt(std::max(region.RMSSqrValue0, 0.0)),
                                mBalanceRight * std::sqrt(std::max(region.RMSSqrValue1, 0.0)));
    // A silent region that is not flagged as noise can only be lifted as far
    // as the largest gain allows.
    if (!(lvl > 0.0))
        return mMaxGain;
    double ref = lvl;
    if (mDynamicsDivisor > 0)
        ref = lvl + (mLoudestLevel - lvl) / mDynamicsDivisor;
    double c = mLevel / ref;
    if (lvl * c < mLowestResult)
        c = mLowestResult / lvl;
    if (c > mMaxGain)
        c = mMaxGain;
    return c;
}

void SoundAlgoRMSAmplifier::setMaxLevel()
{
    const double current = mDetector ? mDetector->getCurrentMax() : 0.0;
    mLoudestLevel = std::max(current, kLoudestFloor);
}

void SoundAlgoRMSAmplifier::initCurrentCoeff()
{
    if (mDetector)
        mRegionCoeff = mDetector->size(false) > 0 ? computeCoeffFromRegion(mCurrentRegion) : 1.0;
    else
        mRegionCoeff = mLevel;
    mAppliedGain = mRegionCoeff;
    mRampFramesLeft = 0;
    mRampStep = 0.0;
    mFollowingFade = false;
    if (isDebug()) {
        std::ostream& os = getOStream();
        FormatGuard guard(os);
        os << "Amplification set to " << vexa::detail::toDb(mBalanceLeft * mRegionCoeff) << " "
           << vexa::detail::toDb(mBalanceRight * mRegionCoeff) << std::endl;
    }
}

void SoundAlgoRMSAmplifier::initCoeffFromRegionManager(int position)
{
    const int regionCount = mDetector ? mDetector->size(false) : 0;
    if (!mInitialised) {
        if (regionCount > 0) {
            mCurrentRegion = mDetector->getRegion(0, false);
            mNextRegion = 1;
            while (mCurrentRegion.BeginSample - 1 + mCurrentRegion.SampleNb < position && mNextRegion < regionCount)
                mCurrentRegion = mDetector->getRegion(mNextRegion++, false);
            setMaxLevel();
            initCurrentCoeff();
            mInitialised = true;
        } else {
            mRegionCoeff = mLevel;
            mAppliedGain = mLevel;
            mRampFramesLeft = 0;
        }
        return;
    }
    if (mDetector) {
        // The region may have grown since (real-time detection).
        mCurrentRegion = mDetector->getRegion(mNextRegion - 1, false);
        recomputeCoeffFromRegion(position);
    } else {
        mRegionCoeff = mLevel;
        mAppliedGain = mLevel;
        mRampFramesLeft = 0;
    }
}

void SoundAlgoRMSAmplifier::planRamp(int frames)
{
    // A zero-length ramp (transition time 0) reaches the target on the next
    // frame.
    frames = std::max(frames, 1);
    mRampStep = (mRegionCoeff - mAppliedGain) / frames;
    mRampFramesLeft = mRampStep == 0.0 ? 0 : frames;
}

void SoundAlgoRMSAmplifier::recomputeCoeffFromRegion(int position)
{
    if (mCurrentRegion.IsNoise) {
        mRegionCoeff = 1.0;
        mAppliedGain = 1.0;
        mRampStep = 0.0;
        mRampFramesLeft = 0;
        mFollowingFade = false;
        return;
    }
    if (mDetector) {
        RMSStepDetector::Region into;
        const int first = std::max(mNextRegion - 1, 0);
        const SoundRMSSlopeDetector::Region* fade = mDetector->getSlopeRegion(position, static_cast<unsigned int>(first), into);
        const int fadeEnd = fade ? fade->end : 0;
        // A fade that ends here or before has nothing left to follow.
        if (fade && fadeEnd > position) {
            mRegionCoeff = computeCoeffFromRegion(into);
            const int frames = fadeEnd - position;
            mRampStep = (mRegionCoeff - mAppliedGain) / frames;
            mRampFramesLeft = mRampStep == 0.0 ? 0 : frames;
            mFollowingFade = mRampFramesLeft > 0;
            return;
        }
    }
    const double c = computeCoeffFromRegion(mCurrentRegion);
    // A ramp already heading for this gain keeps its course, so that ramps
    // last as planned whatever the block size.
    if (mRampFramesLeft > 0 && !mFollowingFade && c == mRegionCoeff)
        return;
    mFollowingFade = false;
    mRegionCoeff = c;
    double r = mAppliedGain != 0.0 ? mRegionCoeff / mAppliedGain : 0.0;
    if (r == 0.0) {
        mRampStep = 0.0;
        mRampFramesLeft = 0;
        return;
    }
    if (r < 1.0)
        r = 1.0 / r;
    const double w = std::min(std::max((r - kSmallChange) / (kLargeChange - kSmallChange), 0.0), 1.0);
    planRamp(static_cast<int>(std::floor(((mTransitionTime - 1.0) * w + 1.0) * mSampleRate + 0.5)));
}

void SoundAlgoRMSAmplifier::takeNextRegion(int position)
{
    mCurrentRegion = mDetector->getRegion(mNextRegion, false);
    ++mNextRegion;
    setMaxLevel();
    if (mCurrentRegion.IsNoise) {
        mRegionCoeff = 1.0;
        mRampFramesLeft = 0;
    } else {
        recomputeCoeffFromRegion(position);
    }
    if (isDebug()) {
        mDetector->outputRegion(mCurrentRegion);
        std::ostream& os = getOStream();
        FormatGuard guard(os);
        const double seconds = mSampleRate ? static_cast<double>(position) / mSampleRate : 0.0;
        os << "[Thread " << omp_get_thread_num() << "]"
           << " " << vexa::detail::formatLength(seconds) << " : Amplification set to "
           << vexa::detail::toDb(mBalanceLeft * mRegionCoeff) << " " << vexa::detail::toDb(mBalanceRight * mRegionCoeff)
           << std::endl;
    }
}

SoundTools::Status SoundAlgoRMSAmplifier::process()
{
    const int n = static_cast<int>(getOutFrameNb());
    if (n <= 0)
        return SoundTools::StatusOk;
    const int p0 = getInOrigin();
    initCoeffFromRegionManager(p0);
    const SoundTools::StereoFrame<double>* in = mInBuffers[0]->getStereoFrame(p0);
    SoundTools::StereoFrame<double>* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    // Regions appended during this block are taken at the next one.
    const int regionCount = mDetector ? mDetector->size(false) : 0;
    const double bl = mBalanceLeft;
    const double br = mBalanceRight;

    int i = 0;
    while (i < n) {
        const int p = p0 + i;
        // Region change.
        if (mDetector && !mFollowingFade && mCurrentRegion.SampleNb > 0
            && p > mCurrentRegion.BeginSample - 1 + mCurrentRegion.SampleNb && mNextRegion < regionCount) {
            takeNextRegion(p);
        } else if (mRampFramesLeft > 0) {
            --mRampFramesLeft;
            mAppliedGain += mRampStep;
            if (mRampFramesLeft == 0) {
                // Land on the target exactly.
                mAppliedGain = mRegionCoeff;
                mFollowingFade = false;
            }
        } else {
            // Steady gain: run to the end of the block or of the region.
            int end = n;
            if (mDetector && mCurrentRegion.SampleNb > 0 && mNextRegion < regionCount) {
                const long long regionEnd = static_cast<long long>(mCurrentRegion.BeginSample) - 1 + mCurrentRegion.SampleNb;
                end = static_cast<int>(std::min<long long>(n, std::max<long long>(regionEnd - p0 + 1, i + 1)));
            }
            const double gl = bl * mAppliedGain;
            const double gr = br * mAppliedGain;
            for (; i < end; ++i) {
                out[i].left = in[i].left * gl;
                out[i].right = in[i].right * gr;
            }
            continue;
        }
        out[i].left = in[i].left * bl * mAppliedGain;
        out[i].right = in[i].right * br * mAppliedGain;
        ++i;
    }
    return SoundTools::StatusOk;
}

double SoundAlgoRMSAmplifier::getLevel(double seconds)
{
    if (!mDetector)
        return vexa::detail::toDb(mLevel);
    const int n = mDetector->size(true);
    if (n == 0)
        return 0.0;
    if (mLevelCursor > n - 1)
        mLevelCursor = n - 1;
    if (mLevelCursor < 0)
        mLevelCursor = 0;
    const unsigned int rate = mSampleRate ? mSampleRate : mDetector->getSampleRate();
    const int position = static_cast<int>(std::floor(rate * seconds + 0.5));
    RMSStepDetector::Region region = mDetector->getRegion(mLevelCursor, true);
    // An earlier time than the last query: search back.
    while (mLevelCursor > 0 && region.BeginSample > position)
        region = mDetector->getRegion(--mLevelCursor, true);
    while (region.BeginSample - 1 + region.SampleNb < position && region.BeginSample < position) {
        if (mLevelCursor + 1 >= n)
            break;
        const RMSStepDetector::Region next = mDetector->getRegion(mLevelCursor + 1, true);
        if (next.BeginSample > position)
            break;
        ++mLevelCursor;
        region = next;
    }
    return vexa::detail::toDb(region.IsNoise ? 1.0 : computeCoeffFromRegion(region));
}
