#include "SoundRMSSlopeDetector.h"

#include <algorithm>
#include <cmath>

SoundRMSSlopeDetector::SoundRMSSlopeDetector(double minSlopeTime)
    : mMinSlopeTime(minSlopeTime)
{
    mSlopes.reserve(100);
}

void SoundRMSSlopeDetector::init(unsigned int sampleRate)
{
    mSampleRate = static_cast<int>(sampleRate);
    mMinSlopeFrames = static_cast<int>(std::floor(sampleRate * mMinSlopeTime + 0.5));
    reset();
}

void SoundRMSSlopeDetector::reset()
{
    mSlopes.clear();
    mState = Empty;
    mSlopeStart = 0;
    mSlopeEnd = 0;
}

void SoundRMSSlopeDetector::feed(double left, double right, int position)
{
    switch (mState) {
    case Empty:
        mReference = {left, right};
        mState = Stable;
        mSlopeStart = position;
        return;
    case Stable:
        mLast = {left, right};
        if (left > mReference.left || right > mReference.right) {
            mState = Rising;
            mSlopeEnd = position;
        } else if (mReference.left > left || mReference.right > right) {
            mState = Falling;
            mSlopeEnd = position;
        } else {
            mReference = mLast;
            mSlopeStart = position;
        }
        return;
    default: {
        const double m = std::max(mLast.left, mLast.right);
        const double v = std::max(left, right);
        const bool goesOn = mState == Rising ? v > 0.9993 * m : 1.0007 * m > v;
        if (goesOn) {
            mLast = {left, right};
            mSlopeEnd = position;
            return;
        }
        if (mSlopeEnd - mSlopeStart > mMinSlopeFrames)
            mSlopes.push_back(Region{mSlopeStart, mSlopeEnd});
        mReference = {left, right};
        mState = Stable;
        mSlopeStart = position;
        return;
    }
    }
}

bool SoundRMSSlopeDetector::lookup(int position, Region& out) const
{
    // A slope under way begins after every listed one.
    if ((mState == Rising || mState == Falling) && position > mSlopeStart) {
        out = Region{mSlopeStart, mSlopeEnd};
        return true;
    }
    // The first listed slope that has not ended before the position.
    const auto it = std::lower_bound(mSlopes.begin(), mSlopes.end(), position,
                                     [](const Region& r, int p) { return r.end < p; });
    if (it == mSlopes.end() || it->begin > position)
        return false;
    out = *it;
    return true;
}
