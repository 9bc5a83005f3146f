#include "SoundTrackFinder.h"

#include "SoundReader.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <ostream>

namespace vexa::detail {

// A stretch of hops, [begin, end).
struct HopRun {
    int begin;
    int end;
};

} // namespace vexa::detail

namespace {

using Levels = std::vector<float>;
using Run = vexa::detail::HopRun;

constexpr double kHopSeconds = 0.01;
constexpr int kMedianRadius = 7;          // 150 ms median: crackle does not count
constexpr int kEdgeRadius = 2;            // 50 ms median where boundaries are placed
constexpr double kMusicSpreadDb = 6.0;    // music varies at least this much (5 % to 95 %)
constexpr double kMeetsFloorDb = 3.0;     // music as loud as the noise
constexpr double kMinTrackSeconds = 0.5;  // shorter bursts are noise
constexpr double kBelowFloorDb = 12.0;    // noise never dips this far below its level
constexpr double kBelowFloorShare = 0.005; // ... in more than this share of the music
constexpr double kSteadyDb = 3.0;
constexpr double kDriftSeconds = 45.0;    // the floor is followed this far around each gap
constexpr double kMaxDriftDb = 12.0;      // ... within this much of its quietest level         // noise holds its level within this
constexpr double kBridgeSeconds = 0.4;   // dips between the last notes of a fade


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
Levels medianLevels(const std::vector<float>& power, int radius)
{
    const int n = static_cast<int>(power.size());
    Levels out(power.size());
    std::vector<float> window(static_cast<size_t>(2 * radius + 1));
    for (int k = 0; k < n; ++k) {
        const int from = std::max(0, k - radius);
        const int to = std::min(n, k + radius + 1);
        std::copy(power.begin() + from, power.begin() + to, window.begin());
        const int count = to - from;
        std::nth_element(window.begin(), window.begin() + count / 2, window.begin() + count);
        out[static_cast<size_t>(k)] = toDb(window[static_cast<size_t>(count / 2)]);
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

// The lowest level, from `above` up, around which at least `count` hops lie
// within `widthDb`: the quietest level the recording holds for a gap's
// length. Silent hops are left out.
bool lowestDenseLevel(const Levels& o, const std::vector<char>& silent, double widthDb, int count, double above,
                      double& level)
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
        if (values[first] < above)
            continue;
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
    mSumL = mSumR = mSquaresL = mSquaresR = 0.0;
    mPrevMeanL = mPrevMeanR = 0.0;
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
    for (unsigned int i = 0; i < n; ++i) {
        mSumL += in[i].left;
        mSumR += in[i].right;
        mSquaresL += in[i].left * in[i].left;
        mSquaresR += in[i].right * in[i].right;
        if (++mHopCount == mHop)
            closeHop();
    }
    mFrames += n;
    return SoundTools::StatusOk;
}

// The power of a hop without its DC: the variance inside the hop, plus what
// lies between the DC and the hop rate, from the change of the hop means
// (a first difference: 0 at DC, about unity gain from 15 to 50 Hz). Each
// hop stands alone: a click or the end of a track does not leak into the
// hops after it.
void SoundTrackFinder::closeHop()
{
    const double count = mHopCount;
    const double meanL = mSumL / count, meanR = mSumR / count;
    const double varL = std::max(0.0, mSquaresL / count - meanL * meanL);
    const double varR = std::max(0.0, mSquaresR / count - meanR * meanR);
    if (mHopPower.empty()) {
        mPrevMeanL = meanL;
        mPrevMeanR = meanR;
    }
    const double lowL = meanL - mPrevMeanL, lowR = meanR - mPrevMeanR;
    mPrevMeanL = meanL;
    mPrevMeanR = meanR;
    mHopPower.push_back(static_cast<float>(0.5 * (varL + varR) + 0.25 * (lowL * lowL + lowR * lowR)));
    mSumL = mSumR = mSquaresL = mSquaresR = 0.0;
    mHopCount = 0;
}

void SoundTrackFinder::endProcess(int status, unsigned int frameNbProcessed)
{
    if (mHopCount > 0)
        closeHop();
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

namespace vexa::detail {

// The level arrays of one analysis and the decisions taken on them.
struct TrackAnalysis {
    const SoundTrackFinder::Settings& s;
    Levels level;              // 150 ms median level per hop (dB)
    Levels edge;               // 50 ms median level per hop (dB), for the boundaries
    Levels sustained;          // lowest level held for a gap's length around each hop
    std::vector<char> silent;  // below silenceDb
    std::vector<char> longSilence; // in a stretch of silence as long as a gap
    int gapHops = 1;
    int minTrackHops = 1;
    double lowest = -300.0;    // quietest level held for a gap's length
    Levels floor;              // the floor along the recording
    Levels drift;              // where the floor may have drifted to
    int support = 0;           // how often the floor is seen (edges count twice)
    int nearSilence = 0;       // how often it is seen at an edge or beside silence
    int silenceGaps = 0;       // silences between tracks...
    int noisySilenceGaps = 0;  // ... with noise at the floor beside them

    int hops() const { return static_cast<int>(level.size()); }
    bool sounding(int k) const { return !silent[static_cast<size_t>(k)]; }
    bool atFloor(int k) const
    {
        const size_t i = static_cast<size_t>(k);
        return sustained[i] <= floor[i] + s.floorMarginDb;
    }

    std::vector<char> quietMask(bool useFloor) const
    {
        std::vector<char> quiet(static_cast<size_t>(hops()));
        for (int k = 0; k < hops(); ++k)
            quiet[static_cast<size_t>(k)] = !sounding(k) || (useFloor && atFloor(k));
        return quiet;
    }

    // Whether a quiet run holds noise: a stretch between its silences (if
    // any) of enough sounding hops, at a level that does not move from its
    // second quarter to its third (a fade's tail going down does).
    bool steady(const Run& r) const
    {
        for (int from = r.begin; from < r.end;) {
            int to = from;
            while (to < r.end && !longSilence[static_cast<size_t>(to)])
                ++to;
            if (steadyStretch(from, to))
                return true;
            from = to;
            while (from < r.end && longSilence[static_cast<size_t>(from)])
                ++from;
        }
        return false;
    }

    bool steadyStretch(int begin, int end) const
    {
        std::vector<int> hopsOn;
        for (int k = begin; k < end; ++k) {
            if (sounding(k))
                hopsOn.push_back(k);
        }
        const int n = static_cast<int>(hopsOn.size());
        if (n < gapHops / 2)
            return false;
        Levels second(static_cast<size_t>(n / 4)), third(static_cast<size_t>(n / 4));
        for (int i = 0; i < n / 4; ++i) {
            second[static_cast<size_t>(i)] = sustained[static_cast<size_t>(hopsOn[static_cast<size_t>(n / 4 + i)])];
            third[static_cast<size_t>(i)] = sustained[static_cast<size_t>(hopsOn[static_cast<size_t>(n / 2 + i)])];
        }
        const auto all = [](int) { return true; };
        return std::fabs(quantile(second, 0, n / 4, 0.5, all) - quantile(third, 0, n / 4, 0.5, all)) <= kSteadyDb;
    }

    // Share of the sounding hops, away from silence, whose level lies far
    // below the floor: noise under the music never lets the level fall
    // there, while the rests of quiet music do.
    double belowFloorShare() const
    {
        const int margin = 100; // 1 s beside silence: the tails of fades
        std::vector<char> nearSilent(silent.size(), 0);
        for (int k = 0; k < hops(); ++k) {
            if (longSilence[static_cast<size_t>(k)]) {
                std::fill(nearSilent.begin() + std::max(0, k - margin), nearSilent.begin() + std::min(hops(), k + margin + 1), 1);
            }
        }
        int counted = 0, below = 0;
        for (int k = 0; k < hops(); ++k) {
            const size_t i = static_cast<size_t>(k);
            if (!sounding(k) || nearSilent[i])
                continue;
            ++counted;
            below += edge[i] < floor[i] - kBelowFloorDb;
        }
        return counted > 0 ? static_cast<double>(below) / counted : 0.0;
    }

    // The floor: the quietest level held for a gap's length, then followed
    // from gap to gap (each gap found gives the floor at its place, and the
    // floor is interpolated between them) until the gaps stop changing.
    void followFloor()
    {
        floor.assign(level.size(), static_cast<float>(lowest));
        findDrift();
        std::vector<Run> runs;
        for (int pass = 0; pass < 8; ++pass) {
            std::vector<char> searched = quietMask(true);
            for (int k = 0; k < hops(); ++k) {
                const size_t i = static_cast<size_t>(k);
                searched[i] = searched[i] || sustained[i] <= drift[i] + s.floorMarginDb;
            }
            markEdgeNoise(searched);
            std::vector<Run> next = quietRuns(searched, gapHops);
            std::vector<std::pair<int, double>> points;
            support = 0;
            nearSilence = 0;
            for (const Run& r : next) {
                if (!steady(r))
                    continue;
                points.emplace_back((r.begin + r.end) / 2,
                                    quantile(sustained, r.begin, r.end, 0.5, [&](int k) { return sounding(k); }));
                // A floor seen before the first sound or after the last
                // counts twice: the run-in and run-out of a side are noise.
                const bool leading = std::all_of(silent.begin(), silent.begin() + r.begin, [](char c) { return c; });
                const bool trailing = std::all_of(silent.begin() + r.end, silent.end(), [](char c) { return c; });
                support += (leading || trailing) ? 2 : 1;
                nearSilence += leading || trailing
                    || std::any_of(longSilence.begin() + std::max(0, r.begin - 1),
                                   longSilence.begin() + std::min(hops(), r.end + 1), [](char c) { return c; });
            }
            // Silences between tracks with the noise beside them.
            silenceGaps = noisySilenceGaps = 0;
            for (const Run& r : next) {
                if (r.begin == 0 || r.end == hops()
                    || std::none_of(longSilence.begin() + r.begin, longSilence.begin() + r.end, [](char c) { return c; }))
                    continue;
                ++silenceGaps;
                noisySilenceGaps += steady(r);
            }
            const bool same = next.size() == runs.size()
                && std::equal(next.begin(), next.end(), runs.begin(),
                              [](const Run& a, const Run& b) { return a.begin == b.begin && a.end == b.end; });
            runs = std::move(next);
            if (same)
                break;
            floor = floorCurve(points, hops(), lowest);
        }
    }

    // Where a floor that drifts between two gaps far apart may lie: the
    // quietest level held nearby (kDriftSeconds either side), when within
    // kMaxDriftDb of the quietest of all. Runs found at it join the floor
    // only when they are steady noise.
    void findDrift()
    {
        const int radius = static_cast<int>(kDriftSeconds / kHopSeconds);
        const Levels ahead = slidingExtreme(sustained, 2 * radius + 1, [](float a, float b) { return a < b; });
        drift.assign(level.size(), static_cast<float>(lowest));
        for (int k = 0; k < hops(); ++k) {
            const float near = ahead[static_cast<size_t>(std::max(0, k - radius))];
            if (near <= lowest + kMaxDriftDb)
                drift[static_cast<size_t>(k)] = std::max(near, static_cast<float>(lowest));
        }
    }

    // The run-in and run-out of a side: steady noise at either end (past any
    // silence), within kMaxDriftDb of the quietest level, even where the
    // floor has drifted far from the nearest gap.
    void markEdgeNoise(std::vector<char>& quiet) const
    {
        const auto near = [&](int k) {
            return !sounding(k) || sustained[static_cast<size_t>(k)] <= lowest + kMaxDriftDb;
        };
        int end = 0;
        while (end < hops() && near(end))
            ++end;
        if (steady({0, end}))
            std::fill(quiet.begin(), quiet.begin() + end, 1);
        int begin = hops();
        while (begin > 0 && near(begin - 1))
            --begin;
        if (steady({begin, hops()}))
            std::fill(quiet.begin() + begin, quiet.end(), 1);
    }

    // The stretches between quiet runs that hold music: with a floor, their
    // loudest 5 % rise minDepthDb above it; without, they stand that far
    // above silence.
    std::vector<Run> musicBetween(const std::vector<char>& quiet, bool useFloor) const
    {
        const std::vector<Run> runs = quietRuns(quiet, gapHops);
        const auto keep = [&](int k) { return sounding(k); };
        std::vector<Run> tracks;
        int from = 0;
        for (size_t g = 0; g <= runs.size(); ++g) {
            const int to = g < runs.size() ? runs[g].begin : hops();
            if (to - from >= minTrackHops) {
                const double top = quantile(level, from, to, 0.95, keep);
                bool music;
                if (useFloor) {
                    const float floorHere = *std::max_element(floor.begin() + from, floor.begin() + to);
                    music = top >= floorHere + s.minDepthDb;
                } else {
                    music = top >= s.silenceDb + s.minDepthDb;
                }
                if (music)
                    tracks.push_back({from, to});
            }
            if (g < runs.size())
                from = runs[g].end;
        }
        return tracks;
    }

    // Level of a gap, from its hops near the floor, and how far its noise
    // wanders above that level (from the middle half of the gap, away from
    // the tails of the tracks around it).
    void gapStats(int begin, int end, bool useFloor, double& levelDb, double& spreadDb) const
    {
        const auto core = [&](int k) {
            const size_t i = static_cast<size_t>(k);
            return sounding(k) && (!useFloor || std::fabs(sustained[i] - floor[i]) <= s.floorMarginDb);
        };
        const double middle = quantile(edge, begin, end, 0.5, core);
        if (middle < s.silenceDb) {
            levelDb = s.silenceDb;
            spreadDb = 0.0;
            return;
        }
        levelDb = middle;
        const int quarter = (end - begin) / 4;
        const double centre = quantile(edge, begin + quarter, end - quarter, 0.5, core);
        spreadDb = std::max(0.0, quantile(edge, begin + quarter, end - quarter, 0.9, core) - centre);
    }
};

} // namespace vexa::detail

using vexa::detail::TrackAnalysis;

void SoundTrackFinder::analyse()
{
    const double hopSec = hopSeconds();
    TrackAnalysis a{mSettings, medianLevels(mHopPower, kMedianRadius), medianLevels(mHopPower, kEdgeRadius), {}, {}, {}, 1,
                    1, -300.0, {}, {}, 0, 0, 0, 0};
    mLevelsDb = a.level;
    const int hops = a.hops();
    a.silent.resize(static_cast<size_t>(hops));
    int sounding = 0;
    for (int k = 0; k < hops; ++k) {
        a.silent[static_cast<size_t>(k)] = a.level[static_cast<size_t>(k)] < mSettings.silenceDb;
        sounding += a.sounding(k);
    }
    if (sounding == 0) {
        mOutcome = Outcome::Silence;
        return;
    }
    // A gap of minGapSeconds covers this many whole hops at least, whatever
    // its alignment and the median's edges.
    a.gapHops = std::max(1, static_cast<int>(std::lround(mSettings.minGapSeconds / hopSec)) - 3);
    a.minTrackHops = static_cast<int>(std::lround(kMinTrackSeconds / hopSec));
    a.sustained = opening(a.level, a.gapHops);
    a.longSilence.assign(a.silent.size(), 0);
    for (const Run& r : quietRuns(a.quietMask(false), a.gapHops)) {
        if (r.end - r.begin >= a.gapHops || r.begin == 0 || r.end == hops)
            std::fill(a.longSilence.begin() + r.begin, a.longSilence.begin() + r.end, 1);
    }

    // Music between silences alone, and between gaps at a floor. A floor is
    // one only when the music stands well above it, it is steady noise seen
    // at the edges or more than once (where silences part the music: beside
    // every one of them), the music never falls far below it, and it leaves
    // music in every stretch between silences. Else it is the quiet part of
    // the music itself.
    const std::vector<Run> bySilence = a.musicBetween(a.quietMask(false), false);
    std::vector<Run> tracks = bySilence;
    mHasFloor = false;
    const double loud = quantile(a.level, 0, hops, 0.95, [&](int k) { return a.sounding(k); });
    // Candidates from the quietest up: the tail of a fade below the floor,
    // or a quiet passage, is tried and passed over.
    double candidate = -300.0;
    for (int tries = 0; tries < 6 && !mHasFloor; ++tries) {
        if (!lowestDenseLevel(a.sustained, a.silent, mSettings.floorMarginDb, a.gapHops, candidate, a.lowest)
            || loud - a.lowest < mSettings.minDepthDb)
            break;
        candidate = a.lowest + mSettings.floorMarginDb;
        a.followFloor();
        // Where silence already parts the music (a CD image, an edited
        // transfer), noise between tracks shows beside the silence too; a
        // level seen only inside the music is the music's own.
        if (isDebug())
            getOStream() << "Floor candidate " << a.lowest << " dB: seen " << a.support << ", beside silence "
                         << a.nearSilence << ", silences with noise " << a.noisySilenceGaps << "/" << a.silenceGaps << ", below it " << 100.0 * a.belowFloorShare() << " %" << std::endl;
        const bool seen = bySilence.size() > 1 ? a.nearSilence >= 2 && a.noisySilenceGaps == a.silenceGaps
                                               : a.support >= 2;
        if (!seen || a.belowFloorShare() > kBelowFloorShare)
            continue;
        std::vector<Run> byFloor = a.musicBetween(a.quietMask(true), true);
        const bool keepsMusic = std::all_of(bySilence.begin(), bySilence.end(), [&](const Run& m) {
            return std::any_of(byFloor.begin(), byFloor.end(), [&](const Run& t) { return t.begin < m.end && t.end > m.begin; });
        });
        if (keepsMusic && !byFloor.empty()) {
            mHasFloor = true;
            tracks = std::move(byFloor);
        }
    }
    mFloorDb = mHasFloor ? a.lowest : mSettings.silenceDb;
    // Without a floor or a silence, one steady stretch is noise or a tone,
    // not music: its level does not vary as music does.
    if (!mHasFloor && tracks.size() == 1) {
        const auto keep = [&](int k) { return a.sounding(k); };
        const Run& r = tracks.front();
        if (quantile(a.level, r.begin, r.end, 0.95, keep) - quantile(a.level, r.begin, r.end, 0.05, keep) < kMusicSpreadDb)
            tracks.clear();
    }
    if (isDebug()) {
        getOStream() << "Track finder: lowest sustained level " << a.lowest << " dB, seen " << a.support
                     << " time(s); floor " << (mHasFloor ? "used" : "not used") << "; " << bySilence.size()
                     << " stretch(es) of music between silences, " << tracks.size() << " track(s)" << std::endl;
    }
    if (tracks.empty()) {
        mOutcome = Outcome::NoiseOnly;
        return;
    }
    placeBoundaries(a, tracks);
}

void SoundTrackFinder::placeBoundaries(const TrackAnalysis& a, std::vector<Run>& tracks)
{
    const int hops = a.hops();
    // Boundaries where the music meets the floor: each track grows into its
    // gaps while its level stands above the gap's noise (3 dB: the music as
    // loud as the noise; more where the noise itself wanders). Dips shorter
    // than kBridgeSeconds do not stop it.
    // A gap that holds silence is measured on each side of it: steady noise
    // between the silence and the track is what the track meets, else the
    // noise of the gap, else (without a floor) the silence itself.
    std::vector<double> gapDb(tracks.size() + 1), endThreshold(tracks.size() + 1), startThreshold(tracks.size() + 1);
    const auto thresholdOf = [&](int begin, int end, double* levelDb) {
        double level = mSettings.silenceDb, spread = 0.0;
        if (end > begin)
            a.gapStats(begin, end, mHasFloor, level, spread);
        if (levelDb)
            *levelDb = level;
        return level + std::max(kMeetsFloorDb, 1.5 * spread);
    };
    for (size_t t = 0; t <= tracks.size(); ++t) {
        const int begin = t == 0 ? 0 : tracks[t - 1].end;
        const int end = t == tracks.size() ? hops : tracks[t].begin;
        const double whole = thresholdOf(begin, end, &gapDb[t]);
        int firstSilent = begin;
        while (firstSilent < end && !a.longSilence[static_cast<size_t>(firstSilent)])
            ++firstSilent;
        int lastSilent = end;
        while (lastSilent > begin && !a.longSilence[static_cast<size_t>(lastSilent - 1)])
            --lastSilent;
        const double silence = mSettings.silenceDb + kMeetsFloorDb;
        if (firstSilent == end) {
            endThreshold[t] = startThreshold[t] = whole;
        } else {
            const double otherwise = mHasFloor ? whole : silence;
            endThreshold[t] = mHasFloor && a.steady({begin, firstSilent}) ? thresholdOf(begin, firstSilent, nullptr) : otherwise;
            startThreshold[t] = mHasFloor && a.steady({lastSilent, end}) ? thresholdOf(lastSilent, end, nullptr) : otherwise;
        }
        if (isDebug())
            getOStream() << "  gap " << t << ": hops " << begin << " to " << end << ", level " << gapDb[t]
                         << " dB; thresholds " << endThreshold[t] << " and " << startThreshold[t] << " dB" << std::endl;
    }
    const int bridge = static_cast<int>(std::lround(kBridgeSeconds / hopSeconds()));
    const auto above = [&](int k, double thr) { return a.edge[static_cast<size_t>(k)] > thr; };
    for (size_t t = 0; t < tracks.size(); ++t) {
        Run& r = tracks[t];
        const int lower = t == 0 ? 0 : tracks[t - 1].end;
        const int upper = t + 1 == tracks.size() ? hops : tracks[t + 1].begin;
        int first = r.begin;
        for (int k = r.begin - 1; k >= lower && first - k <= bridge; --k) {
            if (above(k, startThreshold[t]))
                first = k;
        }
        int last = r.end;
        for (int k = r.end; k < upper && k - last < bridge; ++k) {
            if (above(k, endThreshold[t + 1]))
                last = k + 1;
        }
        r.begin = first;
        r.end = last;
    }
    storeResults(a, tracks, gapDb);
}

void SoundTrackFinder::storeResults(const TrackAnalysis& a, const std::vector<Run>& tracks, const std::vector<double>& gapDb)
{
    const int hops = a.hops();
    const auto frameOf = [&](int hop) {
        return static_cast<int>(std::min<long long>(static_cast<long long>(hop) * mHop, mFrames));
    };
    std::vector<double> top(tracks.size());
    for (size_t t = 0; t < tracks.size(); ++t) {
        const Run& r = tracks[t];
        double energy = 0.0;
        for (int k = r.begin; k < r.end; ++k)
            energy += mHopPower[static_cast<size_t>(k)];
        top[t] = quantile(a.level, r.begin, r.end, 0.95, [](int) { return true; });
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
        gap.silent = end > begin && std::all_of(a.silent.begin() + begin, a.silent.begin() + end, [](char c) { return c; });
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
