#include "SoundAutocorrelStats.h"

#include <algorithm>
#include <cmath>

SoundAutocorrelStats::SoundAutocorrelStats(int parameter)
    : mParameter(parameter)
{
}

SoundAutocorrelStats::~SoundAutocorrelStats() = default;

SoundTools::Status SoundAutocorrelStats::process()
{
    if (mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    const int count = static_cast<int>(getOutFrameNb());
    if (count <= 0)
        return SoundTools::StatusOk;
    const auto* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    auto* out = mOutBuffers[0]->getStereoFrame(getOutOrigin());
    if (!in || !out)
        return SoundTools::StatusError;
    auto x = [in](int i) { return in[i].left; };
    auto isPeak = [&](int i) { return x(i + 1) > x(i) && x(i + 1) > x(i + 2) && x(i) > 0.01; };
    auto isTrough = [&](int i) { return x(i) > x(i + 1) && x(i + 2) > x(i + 1) && x(i) < 0.0; };

    for (int s = 0; s <= count; s += 1024) {
        const int e = std::min(count, s + 1024);
        if (s >= e)
            break;
        // Searches look two frames ahead: they stop where that would leave
        // the block.
        const int last = e - 1;
        int p1 = s;
        while (p1 + 2 < e && !isPeak(p1))
            ++p1;
        if (p1 + 2 >= e)
            p1 = last;
        int t = p1;
        while (t + 2 < e && !isTrough(t))
            ++t;
        if (t + 2 >= e)
            t = last;
        int p2 = t + 1;
        while (p2 + 2 < e && !isPeak(p2))
            ++p2;
        if (p2 + 2 >= e)
            p2 = last;

        if (p1 != t && t != p2 && p1 != p2) {
            const double period = p2 - p1;
            const double omega = 6.283185307179586 / period;
            for (int i = s; i < e; ++i) {
                const double v = std::sin(mPhase);
                out[i].left = v;
                out[i].right = v;
                mPhase += omega;
            }
            mLastPeriod = period;
        } else {
            mPhase = 0.0;
            for (int i = s; i < e; ++i)
                out[i] = {0.0, 0.0};
            mLastPeriod = 0.0;
        }
    }
    return SoundTools::StatusOk;
}
