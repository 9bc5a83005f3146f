#include "SoundTrackFinder.h"

#include "SoundReader.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>

namespace {

using Levels = std::vector<float>;

constexpr double kHopSeconds = 0.01;
constexpr int kMedianRadius = 7;          // 150 ms median: clicks do not count
constexpr double kMusicSpreadDb = 6.0;    // music varies at least this much (5 % to 95 %)
constexpr double kMeetsFloorDb = 3.0;     // music as loud as the noise
constexpr double kMinTrackSeconds = 0.5;  // shorter bursts are noise
constexpr double kDcCornerHz = 5.0;

struct Run {
    int begin; // hops
    int end;   // hops, exclusive
};

float toDb(double power)
{
    return static_cast<float>(10.0 * std::log10(power + 1e-30));
}

// The q-quantile of the values of [begin, end) for which keep(k) holds.
template <typename Keep>
double quantile(const Levels& v, int begin, int end, double q, Keep keep)
{
    Levels values;
    values.reserve(static_cast<size_t>(std::max(0, end - begin)));
    for (int k = begin; k < end; ++k) {
        if (keep(k))
            values.push_back(v[static_cast<size_t>(k)]);
    }
    if (values.empty())
        return -300.0;
    const auto at = values.begin() + static_cast<long>(q * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

// Level of each hop in dB over a running median of the hop powers.
Levels medianLevels(const std::vector<float>& power)
{
    const int n = static_cast<int>(power.size());
    Levels out(power.size());
    float window[2 * kMedianRadius + 1];
    for (int k = 0; k < n; ++k) {
        const int from = std::max(0, k - kMedianRadius);
        const int to = std::min(n, k + kMedianRadius + 1);
        std::copy(power.begin() + from, power.begin() + to, window);
        const int count = to - from;
        std::nth_element(window, window + count / 2, window + count);
        out[static_cast<size_t>(k)] = toDb(window[count / 2]);
    }
    return out;
}

// Running extreme over windows of `width` values, by a monotonic queue:
// out[j] = extreme of v[j .. j + width - 1] (windows clipped at the end).
template <typename Better>
Levels slidingExtreme(const Levels& v, int width, Better better)
{
    const int n = static_cast<int>(v.size());
    Levels out(v.size());
    std::deque<int> queue;
    for (int k = n - 1; k >= 0; --k) {
        while (!queue.empty() && !better(v[static_cast<size_t>(queue.back())], v[static_cast<size_t>(k)]))
            queue.pop_back();
        queue.push_back(k);
        while (queue.front() >= k + width)
            queue.pop_front();
        out[static_cast<size_t>(k)] = v[static_cast<size_t>(queue.front())];
    }
    return out;
}

// Morphological opening: at each hop, the lowest level under which some
// stretch of `width` hops containing it stays. Sustained quiet stays low,
// short dips rise to the level around them.
Levels opening(const Levels& s, int width)
{
    const Levels highest = slidingExtreme(s, width, [](float a, float b) { return a > b; });
    // Minimum over the windows that contain hop k: highest[k - width + 1 .. k].
    Levels reversed(highest.rbegin(), highest.rend());
    Levels lowest = slidingExtreme(reversed, width, [](float a, float b) { return a < b; });
    return Levels(lowest.rbegin(), lowest.rend());
}

// The lowest level around which at least `count` hops lie within `widthDb`:
// the quietest level the recording holds for a gap's length. Silent hops are
// left out.
bool lowestDenseLevel(const Levels& o, const std::vector<char>& silent, double widthDb, int count, double& level)
{
    Levels values;
    for (size_t k = 0; k < o.size(); ++k) {
        if (!silent[k])
            values.push_back(o[k]);
    }
    if (values.size() < static_cast<size_t>(count))
        return false;
    std::sort(values.begin(), values.end());
    size_t last = 0;
    for (size_t first = 0; first < values.size(); ++first) {
        last = std::max(last, first);
        while (last + 1 < values.size() && values[last + 1] < values[first] + widthDb)
            ++last;
        if (static_cast<int>(last - first + 1) >= count) {
            level = values[(first + last) / 2];
            return true;
        }
    }
    return false;
}

// Runs of hops where quiet[k] holds: those of at least minLength hops, and
// those touching either end of the recording.
std::vector<Run> quietRuns(const std::vector<char>& quiet, int minLength)
{
    const int n = static_cast<int>(quiet.size());
    std::vector<Run> runs;
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

// The floor at each hop, interpolated linearly between the levels measured
// in the gaps found so far (constant before the first and after the last),
// never below the quietest level of the recording.
Levels floorCurve(const std::vector<std::pair<int, double>>& points, int hops, double lowest)
{
    Levels f(static_cast<size_t>(hops), static_cast<float>(lowest));
    if (points.empty())
        return f;
    size_t next = 0;
    for (int k = 0; k < hops; ++k) {
        while (next < points.size() && points[next].first <= k)
            ++next;
        double level;
        if (next == 0)
            level = points.front().second;
        else if (next == points.size())
            level = points.back().second;
        else {
            const auto& a = points[next - 1];
            const auto& b = points[next];
            level = a.second + (b.second - a.second) * (k - a.first) / static_cast<double>(b.first - a.first);
        }
        f[static_cast<size_t>(k)] = static_cast<float>(std::max(level, lowest));
    }
    return f;
}

} // namespace

SoundTrackFinder::SoundTrackFinder()
    : mSettings()
{
}

SoundTrackFinder::SoundTrackFinder(const Settings& settings)
    : mSettings(settings)
{
}

double SoundTrackFinder::hopSeconds() const
{
    return mSampleRate > 0 ? static_cast<double>(mHop) / mSampleRate : kHopSeconds;
}

SoundTools::Status SoundTrackFinder::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    mHop = std::max(1u, static_cast<unsigned int>(std::lround(ctx.sampleRate * kHopSeconds)));
    // One-pole DC blocker: a DC offset is not a level.
    mDcCoef = 1.0 - 2.0 * 3.14159265358979323846 * kDcCornerHz / std::max(1u, ctx.sampleRate);
    mPrevInL = mPrevInR = mPrevOutL = mPrevOutR = 0.0;
    mHopSum = 0.0;
    mHopCount = 0;
    mFrames = 0;
    mHopPower.clear();
    mHopPower.reserve(ctx.frameNbToProcess / mHop + 2);
    mOutcome = Outcome::None;
    mHasFloor = false;
    mFloorDb = -100.0;
    mLevelsDb.clear();
    mTracks.clear();
    mGaps.clear();
    return SoundAlgo::initProcess(ctx, prev, next);
}

SoundTools::Status SoundTrackFinder::process()
{
    const unsigned int n = getOutFrameNb();
    const SoundTools::StereoFrame<double>* in = mInBuffers[0]->getStereoFrame(getInOrigin());
    double inL = mPrevInL, inR = mPrevInR, outL = mPrevOutL, outR = mPrevOutR;
    for (unsigned int i = 0; i < n; ++i) {
        outL = in[i].left - inL + mDcCoef * outL;
        outR = in[i].right - inR + mDcCoef * outR;
        inL = in[i].left;
        inR = in[i].right;
        mHopSum += 0.5 * (outL * outL + outR * outR);
        if (++mHopCount == mHop) {
            mHopPower.push_back(static_cast<float>(mHopSum / mHop));
            mHopSum = 0.0;
            mHopCount = 0;
        }
    }
    mPrevInL = inL;
    mPrevInR = inR;
    mPrevOutL = outL;
    mPrevOutR = outR;
    mFrames += n;
    return SoundTools::StatusOk;
}

void SoundTrackFinder::endProcess(int status, unsigned int frameNbProcessed)
{
    if (mHopCount > 0) {
        mHopPower.push_back(static_cast<float>(mHopSum / mHopCount));
        mHopCount = 0;
    }
    if (status == SoundTools::StatusOk || status == SoundTools::StatusFinished)
        analyse();
    SoundAlgo::endProcess(status, frameNbProcessed);
}

SoundTools::Status SoundTrackFinder::findInFile(const QString& fileName)
{
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(fileName));
    if (!reader) {
        setError(QStringLiteral("not a recognised audio file name"), qPrintable(fileName));
        return SoundTools::StatusError;
    }
    if (reader->open(fileName) != SoundTools::StatusOk)
        return SoundTools::StatusError;
    reader->rewind();
    const SoundTools::Status status = processAll(*reader, nullptr);
    if (status != SoundTools::StatusOk)
        return status;
    return SoundTools::StatusOk;
}

void SoundTrackFinder::analyse()
{
    const Settings& s = mSettings;
    const int hops = static_cast<int>(mHopPower.size());
    const double hopSec = hopSeconds();
    mLevelsDb = medianLevels(mHopPower);
    const Levels& level = mLevelsDb;
    std::vector<char> silent(static_cast<size_t>(hops));
    int sounding = 0;
    for (int k = 0; k < hops; ++k) {
        silent[static_cast<size_t>(k)] = level[static_cast<size_t>(k)] < s.silenceDb;
        sounding += !silent[static_cast<size_t>(k)];
    }
    if (sounding == 0) {
        mOutcome = Outcome::Silence;
        return;
    }
    const auto notSilent = [&](int k) { return !silent[static_cast<size_t>(k)]; };
    const auto all = [](int) { return true; };
    // A gap of minGapSeconds covers this many whole hops at least, whatever
    // its alignment and the median's edges.
    const int gapHops = std::max(1, static_cast<int>(std::lround(s.minGapSeconds / hopSec)) - 3);
    const Levels sustained = opening(level, gapHops);

    // The floor: the quietest level held for a gap's length, followed from
    // gap to gap.
    double lowest = -300.0;
    const bool anyFloor = lowestDenseLevel(sustained, silent, s.floorMarginDb, gapHops, lowest);
    const double loud = quantile(level, 0, hops, 0.95, notSilent);
    std::vector<char> quiet(static_cast<size_t>(hops));
    std::vector<Run> runs;
    Levels floor(static_cast<size_t>(hops), static_cast<float>(lowest));
    int support = 0;
    for (int pass = 0; anyFloor && pass < 8; ++pass) {
        for (int k = 0; k < hops; ++k) {
            const size_t i = static_cast<size_t>(k);
            quiet[i] = silent[i] || sustained[i] <= floor[i] + s.floorMarginDb;
        }
        std::vector<Run> next = quietRuns(quiet, gapHops);
        std::vector<std::pair<int, double>> points;
        support = 0;
        for (const Run& r : next) {
            int noisy = 0;
            for (int k = r.begin; k < r.end; ++k)
                noisy += notSilent(k);
            if (noisy < gapHops / 2)
                continue;
            points.emplace_back((r.begin + r.end) / 2, quantile(sustained, r.begin, r.end, 0.5, notSilent));
            // A floor seen before the first sound or after the last counts
            // twice: the run-in and run-out of a side are noise.
            const bool leading = std::all_of(silent.begin(), silent.begin() + r.begin, [](char c) { return c; });
            const bool trailing = std::all_of(silent.begin() + r.end, silent.end(), [](char c) { return c; });
            support += (leading || trailing) ? 2 : 1;
        }
        const bool same = next.size() == runs.size()
            && std::equal(next.begin(), next.end(), runs.begin(),
                          [](const Run& a, const Run& b) { return a.begin == b.begin && a.end == b.end; });
        runs = std::move(next);
        if (same)
            break;
        floor = floorCurve(points, hops, lowest);
    }
    // A floor is one only when the music stands well above it, and it is
    // seen at the edges or more than once (a single quiet passage in the
    // middle of a CD track is music).
    mHasFloor = anyFloor && support >= 2 && loud - lowest >= s.minDepthDb;
    mFloorDb = mHasFloor ? lowest : s.silenceDb;
    for (int k = 0; k < hops; ++k) {
        const size_t i = static_cast<size_t>(k);
        quiet[i] = silent[i] || (mHasFloor && sustained[i] <= floor[i] + s.floorMarginDb);
    }
    runs = quietRuns(quiet, gapHops);

    // Tracks: the stretches between the gaps that hold music.
    const int minTrackHops = static_cast<int>(std::lround(kMinTrackSeconds / hopSec));
    std::vector<Run> tracks;
    int from = 0;
    for (size_t g = 0; g <= runs.size(); ++g) {
        const int to = g < runs.size() ? runs[g].begin : hops;
        if (to - from >= minTrackHops) {
            const double top = quantile(level, from, to, 0.95, notSilent);
            const double bottom = quantile(level, from, to, 0.05, notSilent);
            double floorHere = -300.0;
            for (int k = from; k < to; ++k)
                floorHere = std::max(floorHere, static_cast<double>(floor[static_cast<size_t>(k)]));
            const bool music = mHasFloor ? top >= floorHere + s.minDepthDb
                                         : top - bottom >= kMusicSpreadDb && top >= s.silenceDb + s.minDepthDb;
            if (music)
                tracks.push_back({from, to});
        }
        if (g < runs.size())
            from = runs[g].end;
    }
    if (tracks.empty()) {
        mOutcome = Outcome::NoiseOnly;
        return;
    }

    // Each gap's own level: its quieter part (the median would lean on a
    // fade's tail).
    const auto gapLevel = [&](int begin, int end) {
        const double q = quantile(level, begin, end, 0.3, notSilent);
        return q < s.silenceDb ? s.silenceDb : q;
    };
    std::vector<double> gapDb(tracks.size() + 1);
    for (size_t t = 0; t <= tracks.size(); ++t) {
        const int begin = t == 0 ? 0 : tracks[t - 1].end;
        const int end = t == tracks.size() ? hops : tracks[t].begin;
        gapDb[t] = end > begin ? gapLevel(begin, end) : s.silenceDb;
    }
    // Boundaries where the music meets the floor: each track grows into its
    // gaps while its level stays 3 dB above the gap's.
    for (size_t t = 0; t < tracks.size(); ++t) {
        Run& r = tracks[t];
        const int lower = t == 0 ? 0 : tracks[t - 1].end;
        const int upper = t + 1 == tracks.size() ? hops : tracks[t + 1].begin;
        while (r.begin > lower && level[static_cast<size_t>(r.begin - 1)] > gapDb[t] + kMeetsFloorDb)
            --r.begin;
        while (r.end < upper && level[static_cast<size_t>(r.end)] > gapDb[t + 1] + kMeetsFloorDb)
            ++r.end;
    }

    const auto frameOf = [&](int hop) {
        return static_cast<int>(std::min<long long>(static_cast<long long>(hop) * mHop, mFrames));
    };
    std::vector<double> top(tracks.size());
    for (size_t t = 0; t < tracks.size(); ++t) {
        const Run& r = tracks[t];
        double energy = 0.0;
        for (int k = r.begin; k < r.end; ++k)
            energy += mHopPower[static_cast<size_t>(k)];
        top[t] = quantile(level, r.begin, r.end, 0.95, all);
        Track track;
        track.begin = frameOf(r.begin);
        track.frames = frameOf(r.end) - track.begin;
        track.levelDb = toDb(energy / std::max(1, r.end - r.begin));
        track.peakLevelDb = top[t];
        mTracks.push_back(track);
    }
    for (size_t t = 0; t <= tracks.size(); ++t) {
        const int begin = t == 0 ? 0 : tracks[t - 1].end;
        const int end = t == tracks.size() ? hops : tracks[t].begin;
        Gap gap;
        gap.begin = frameOf(begin);
        gap.frames = frameOf(end) - gap.begin;
        gap.floorDb = gapDb[t];
        const double music = t == 0 ? top[0] : t == tracks.size() ? top[t - 1] : std::min(top[t - 1], top[t]);
        gap.depthDb = music - gapDb[t];
        gap.silent = end > begin && std::none_of(silent.begin() + begin, silent.begin() + end, [](char c) { return !c; });
        mGaps.push_back(gap);
    }
    mOutcome = Outcome::Tracks;
}

std::vector<RMSStepDetector::Region> SoundTrackFinder::regions() const
{
    std::vector<RMSStepDetector::Region> out;
    const double hopSec = hopSeconds();
    const auto add = [&](int begin, int frames, double levelDb, bool noise) {
        if (frames <= 0)
            return;
        RMSStepDetector::Region r;
        r.BeginSample = begin;
        r.SampleNb = frames;
        r.RMSSqrValue0 = r.RMSSqrValue1 = std::pow(10.0, levelDb / 10.0);
        r.MeanSmpl = std::max(1, static_cast<int>(std::lround(frames / std::max(1.0, hopSec * mSampleRate))));
        r.IsNoise = noise;
        out.push_back(r);
    };
    for (size_t t = 0; t < mTracks.size(); ++t) {
        add(mGaps[t].begin, mGaps[t].frames, mGaps[t].floorDb, true);
        add(mTracks[t].begin, mTracks[t].frames, mTracks[t].levelDb, false);
    }
    if (!mTracks.empty())
        add(mGaps.back().begin, mGaps.back().frames, mGaps.back().floorDb, true);
    return out;
}

RMSStepDetector* SoundTrackFinder::createStepDetector() const
{
    if (mTracks.empty())
        return nullptr;
    QJsonArray list;
    for (const RMSStepDetector::Region& r : regions()) {
        list.append(QJsonObject{{"BeginSample", r.BeginSample},
                                {"SampleNb", r.SampleNb},
                                {"RMSSqrValue0", r.RMSSqrValue0},
                                {"RMSSqrValue1", r.RMSSqrValue1},
                                {"MeanSmpl", r.MeanSmpl},
                                {"IsNoise", r.IsNoise}});
    }
    QJsonObject object{{"Class", "RMSStepDetector"},
                       {"NoiseThreshold", mFloorDb + mSettings.floorMarginDb},
                       {"RMSTime", hopSeconds()},
                       {"MinSlopeTime", 1.0},
                       {"OutputMode", static_cast<int>(RMSStepDetector::NoOutput)},
                       {"RealTimeMode", false},
                       {"SampleRate", static_cast<int>(mSampleRate)},
                       {"Regions", list}};
    return RMSStepDetector::createFromJSon(object);
}
