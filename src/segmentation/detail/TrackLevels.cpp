#include "TrackLevels.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace vexa::detail {

FloorCurve::FloorCurve(std::vector<std::pair<int, double>> points, double lowest)
    : mPoints(std::move(points))
    , mLowest(lowest)
{
}

double FloorCurve::at(int hop) const
{
    const auto next = std::upper_bound(mPoints.begin(), mPoints.end(), hop,
                                       [](int h, const std::pair<int, double>& p) { return h < p.first; });
    return interpolate(static_cast<size_t>(next - mPoints.begin()), hop);
}

// The level at `hop`, with `next` the index of the first point after it.
double FloorCurve::interpolate(size_t next, int hop) const
{
    if (mPoints.empty())
        return mLowest;
    double level;
    if (next == 0)
        level = mPoints.front().second;
    else if (next == mPoints.size())
        level = mPoints.back().second;
    else {
        const auto& a = mPoints[next - 1];
        const auto& b = mPoints[next];
        level = a.second + (b.second - a.second) * (hop - a.first) / static_cast<double>(b.first - a.first);
    }
    return std::max(level, mLowest);
}

double FloorCurve::Cursor::at(int hop)
{
    while (mNext < mCurve.mPoints.size() && mCurve.mPoints[mNext].first <= hop)
        ++mNext;
    return mCurve.interpolate(mNext, hop);
}

double FloorCurve::highest(int begin, int end) const
{
    double top = std::max(at(begin), at(end - 1));
    for (const auto& p : mPoints) {
        if (p.first >= begin && p.first < end)
            top = std::max(top, p.second);
    }
    return top;
}

uint8_t LevelCodes::encode(double db)
{
    const double c = std::floor((db + 127.5) * 2.0 + 0.5);
    return static_cast<uint8_t>(std::clamp(c, 0.0, 255.0));
}

// Median of the codes within `radius` hops of each hop.
uint8_t medianAround(const std::vector<uint8_t>& v, int k, int radius)
{
    const int n = static_cast<int>(v.size());
    radius = std::min(radius, 7);
    uint8_t window[15];
    const int from = std::max(0, k - radius), to = std::min(n, k + radius + 1);
    for (int j = from; j < to; ++j)
        window[j - from] = v[static_cast<size_t>(j)];
    std::nth_element(window, window + (to - from) / 2, window + (to - from));
    return window[(to - from) / 2];
}

// Morphological opening: at each hop, the lowest level under which some
// stretch of `width` hops containing it stays. Sustained quiet stays low,
// short dips rise to the level around them. Two passes of running extremes
// over monotonic queues, the second written over the first.
LevelCodes opening(const LevelCodes& s, int width)
{
    const int n = static_cast<int>(s.size());
    LevelCodes out = s;
    std::vector<uint8_t>& v = out.codes();
    std::deque<std::pair<int, uint8_t>> q;
    // Highest of each window [j, j + width - 1], stored at j.
    for (int k = n - 1; k >= 0; --k) {
        const uint8_t c = s.code(static_cast<size_t>(k));
        while (!q.empty() && q.back().second <= c)
            q.pop_back();
        q.emplace_back(k, c);
        while (q.front().first >= k + width)
            q.pop_front();
        v[static_cast<size_t>(k)] = q.front().second;
    }
    // Lowest over the windows that contain k: highest[k - width + 1 .. k].
    q.clear();
    for (int k = 0; k < n; ++k) {
        const uint8_t c = v[static_cast<size_t>(k)];
        while (!q.empty() && q.back().second >= c)
            q.pop_back();
        q.emplace_back(k, c);
        while (q.front().first <= k - width)
            q.pop_front();
        v[static_cast<size_t>(k)] = q.front().second;
    }
    return out;
}

// Runs of hops where quiet[k] holds: those of at least minLength hops, and
// those touching either end of the recording.
std::vector<HopRun> quietRuns(const Mask& quiet, int minLength)
{
    const int n = static_cast<int>(quiet.size());
    std::vector<HopRun> runs;
    for (int k = 0; k < n;) {
        if (!quiet[static_cast<size_t>(k)]) {
            ++k;
            continue;
        }
        int end = k;
        while (end < n && quiet[static_cast<size_t>(end)])
            ++end;
        if (end - k >= minLength || k == 0 || end == n)
            runs.push_back({k, end});
        k = end;
    }
    return runs;
}

} // namespace vexa::detail
