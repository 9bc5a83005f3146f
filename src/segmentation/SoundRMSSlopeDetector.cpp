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
    mCursor = 0;
    mCurrent = Region{0, 0};
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

const SoundRMSSlopeDetector::Region* SoundRMSSlopeDetector::lookup(int position)
{
    if (mCurrent.begin > position)
        return nullptr;
    if (mCurrent.end > position)
        return &mCurrent;
    // A slope under way is not in the list yet.
    if ((mState == Rising || mState == Falling) && position > mSlopeStart) {
        mCurrent = Region{mSlopeStart, mSlopeEnd};
        return &mCurrent;
    }
    while (mCursor < mSlopes.size() && mSlopes[mCursor].end < position)
        ++mCursor;
    if (mCursor >= mSlopes.size()) {
        mCurrent = Region{0, 0};
        return nullptr;
    }
    mCurrent = mSlopes[mCursor++];
    return mCurrent.begin <= position ? &mCurrent : nullptr;
}
