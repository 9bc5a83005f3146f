#include "TrackAnalysis.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace vexa::detail {

namespace {

using Run = HopRun;

constexpr int kMedianRadius = 7;           // 150 ms median: crackle does not count
constexpr int kEdgeRadius = 2;             // 50 ms median where boundaries are placed
constexpr double kMusicSpreadDb = 6.0;     // music varies at least this much (5 % to 95 %)
constexpr double kMeetsFloorDb = 3.0;      // music as loud as the noise
constexpr double kMinTrackSeconds = 0.5;   // shorter bursts are noise
constexpr double kBelowFloorDb = 12.0;     // noise never dips this far below its level...
constexpr double kBelowFloorShare = 0.005; // ... in more than this share of the music
constexpr double kSteadyDb = 3.0;          // noise holds its level within this
constexpr double kDriftSeconds = 45.0;     // the floor is looked for this far around each place...
constexpr double kMaxDriftDb = 12.0;       // ... within this much of its quietest level
constexpr double kBridgeSeconds = 0.4;     // dips between the last notes of a fade
constexpr double kBesideSilenceSeconds = 1.0; // the tails of fades into silence

} // namespace

uint8_t TrackAnalysis::medianLevel(const std::vector<uint8_t>& hopCodes, int hop)
{
    return medianAround(hopCodes, hop, kMedianRadius);
}

TrackAnalysis::TrackAnalysis(const SoundTrackFinder::Settings& settings, const std::vector<uint8_t>& hopCodes,
                             double hopSeconds)
    : mSettings(settings)
    , mHop(hopCodes)
    , mHopSeconds(hopSeconds)
{
    const int n = static_cast<int>(hopCodes.size());
    mLevel = LevelCodes(static_cast<size_t>(n), 0.0);
    for (int k = 0; k < n; ++k)
        mLevel.codes()[static_cast<size_t>(k)] = medianAround(hopCodes, k, kMedianRadius);
    // A gap of minGapSeconds covers this many whole hops at least, whatever
    // its alignment and the median's edges.
    mGapHops = std::max(1, static_cast<int>(std::lround(settings.minGapSeconds / hopSeconds)) - 3);
    mMinTrackHops = static_cast<int>(std::lround(kMinTrackSeconds / hopSeconds));
    mDriftHops = static_cast<int>(std::lround(kDriftSeconds / hopSeconds));
    mSustained = opening(mLevel, mGapHops);
    mLongSilence.assign(static_cast<size_t>(n), false);
    for (const Run& r : quietRuns(quietMask(false), mGapHops))
        std::fill(mLongSilence.begin() + r.begin, mLongSilence.begin() + r.end, true);
}

double TrackAnalysis::edge(int k) const
{
    return LevelCodes::decode(medianAround(mHop, k, kEdgeRadius));
}

Mask TrackAnalysis::quietMask(bool useFloor) const
{
    Mask quiet(static_cast<size_t>(hops()));
    FloorCurve::Cursor floor(mFloor);
    for (int k = 0; k < hops(); ++k) {
        quiet[static_cast<size_t>(k)] = !sounding(k)
            || (useFloor && mSustained[static_cast<size_t>(k)] <= floor.at(k) + mSettings.floorMarginDb);
    }
    return quiet;
}

// Whether a quiet run holds noise: a stretch between its silences (if any)
// of enough sounding hops, at a level that does not move from its second
// quarter to its third (a fade's tail going down does).
bool TrackAnalysis::steady(const Run& r) const
{
    for (int from = r.begin; from < r.end;) {
        int to = from;
        while (to < r.end && !longSilent(to))
            ++to;
        if (steadyStretch(from, to))
            return true;
        from = to;
        while (from < r.end && longSilent(from))
            ++from;
    }
    return false;
}

bool TrackAnalysis::steadyStretch(int begin, int end) const
{
    std::vector<int> on;
    for (int k = begin; k < end; ++k) {
        if (sounding(k))
            on.push_back(k);
    }
    const int n = static_cast<int>(on.size());
    if (n < mGapHops / 2)
        return false;
    const auto sustainedAt = [&](int i) { return mSustained.code(static_cast<size_t>(on[static_cast<size_t>(i)])); };
    const auto all = [](int) { return true; };
    return std::fabs(quantile(sustainedAt, n / 4, n / 2, 0.5, all) - quantile(sustainedAt, n / 2, 3 * n / 4, 0.5, all))
        <= kSteadyDb;
}

// Share of the sounding hops, away from silence, whose level lies far below
// the floor: noise under the music never lets the level fall there, while
// the rests of quiet music do.
double TrackAnalysis::belowFloorShare() const
{
    const int beside = static_cast<int>(std::lround(kBesideSilenceSeconds / mHopSeconds));
    Mask near(static_cast<size_t>(hops()), false);
    for (int k = 0, last = -beside - 1; k < hops(); ++k) {
        last = longSilent(k) ? k : last;
        near[static_cast<size_t>(k)] = k - last <= beside;
    }
    for (int k = hops() - 1, next = hops() + beside + 1; k >= 0; --k) {
        next = longSilent(k) ? k : next;
        near[static_cast<size_t>(k)] = near[static_cast<size_t>(k)] || next - k <= beside;
    }
    int counted = 0, below = 0;
    FloorCurve::Cursor floor(mFloor);
    for (int k = 0; k < hops(); ++k) {
        if (!sounding(k) || near[static_cast<size_t>(k)])
            continue;
        ++counted;
        below += edge(k) < floor.at(k) - kBelowFloorDb;
    }
    return counted > 0 ? static_cast<double>(below) / counted : 0.0;
}

// The floor: the quietest level held for a gap's length, then followed from
// gap to gap (each steady gap found gives the floor at its place, and the
// floor is interpolated between them) until the gaps stop changing.
void TrackAnalysis::followFloor()
{
    mFloor = FloorCurve({}, mLowest);
    const LevelCodes drift = findDrift();
    std::vector<Run> runs;
    for (int pass = 0; pass < 8; ++pass) {
        Mask searched = quietMask(true);
        for (int k = 0; k < hops(); ++k) {
            const size_t i = static_cast<size_t>(k);
            searched[i] = searched[i] || mSustained[i] <= drift[i] + mSettings.floorMarginDb;
        }
        markEdgeNoise(searched);
        std::vector<Run> next = quietRuns(searched, mGapHops);
        std::vector<std::pair<int, double>> points;
        mSupport = mNearSilence = mSilenceGaps = mNoisySilenceGaps = 0;
        for (const Run& r : next) {
            const bool inner = r.begin > 0 && r.end < hops();
            const bool holdsSilence = std::any_of(mLongSilence.begin() + std::max(0, r.begin - 1),
                                                  mLongSilence.begin() + std::min(hops(), r.end + 1), [](char c) { return c; });
            const bool isSteady = steady(r);
            // Silences between tracks, and those with noise beside them.
            mSilenceGaps += inner && holdsSilence;
            mNoisySilenceGaps += inner && holdsSilence && isSteady;
            if (!isSteady)
                continue;
            points.emplace_back((r.begin + r.end) / 2, quantile([&](int k) { return mSustained.code(static_cast<size_t>(k)); },
                                                                r.begin, r.end, 0.5, [&](int k) { return sounding(k); }));
            // A floor seen before the first sound or after the last counts
            // twice: the run-in and run-out of a side are noise.
            const bool leading = std::none_of(mLevel.codes().begin(), mLevel.codes().begin() + r.begin,
                                              [&](uint8_t c) { return LevelCodes::decode(c) >= mSettings.silenceDb; });
            const bool trailing = std::none_of(mLevel.codes().begin() + r.end, mLevel.codes().end(),
                                               [&](uint8_t c) { return LevelCodes::decode(c) >= mSettings.silenceDb; });
            mSupport += (leading || trailing) ? 2 : 1;
            mNearSilence += leading || trailing || holdsSilence;
        }
        const bool same = next.size() == runs.size()
            && std::equal(next.begin(), next.end(), runs.begin(),
                          [](const Run& a, const Run& b) { return a.begin == b.begin && a.end == b.end; });
        runs = std::move(next);
        if (same)
            break;
        mFloor = FloorCurve(std::move(points), mLowest);
    }
}

// Where a floor that drifts between two gaps far apart may lie: the quietest
// level held nearby (kDriftSeconds either side), when within kMaxDriftDb of
// the quietest of all. Runs found at it join the floor only as steady noise.
LevelCodes TrackAnalysis::findDrift() const
{
    const int n = hops(), width = 2 * mDriftHops + 1;
    LevelCodes drift(static_cast<size_t>(n), mLowest);
    std::deque<std::pair<int, uint8_t>> q;
    // Window [k - radius, k + radius]: values enter at k + radius.
    for (int k = -mDriftHops; k < n; ++k) {
        const int in = k + mDriftHops;
        if (in < n) {
            const uint8_t c = mSustained.code(static_cast<size_t>(in));
            while (!q.empty() && q.back().second >= c)
                q.pop_back();
            q.emplace_back(in, c);
        }
        while (!q.empty() && q.front().first < in - width + 1)
            q.pop_front();
        if (k >= 0 && !q.empty()) {
            const double near = LevelCodes::decode(q.front().second);
            if (near <= mLowest + kMaxDriftDb)
                drift.set(static_cast<size_t>(k), std::max(near, mLowest));
        }
    }
    return drift;
}

// The run-in and run-out of a side: steady noise at either end (past any
// silence), within kMaxDriftDb of the quietest level, even where the floor
// has drifted far from the nearest gap.
void TrackAnalysis::markEdgeNoise(Mask& quiet) const
{
    const auto near = [&](int k) { return !sounding(k) || mSustained[static_cast<size_t>(k)] <= mLowest + kMaxDriftDb; };
    int end = 0;
    while (end < hops() && near(end))
        ++end;
    if (steady({0, end}))
        std::fill(quiet.begin(), quiet.begin() + end, true);
    int begin = hops();
    while (begin > 0 && near(begin - 1))
        --begin;
    if (steady({begin, hops()}))
        std::fill(quiet.begin() + begin, quiet.end(), true);
}

// The stretches between quiet runs that hold music: with a floor, their
// loudest 5 % rise minDepthDb above it; without, they stand that far above
// silence.
std::vector<Run> TrackAnalysis::musicBetween(const Mask& quiet, bool useFloor) const
{
    const std::vector<Run> runs = quietRuns(quiet, mGapHops);
    const auto levelAt = [&](int k) { return mLevel.code(static_cast<size_t>(k)); };
    std::vector<Run> tracks;
    int from = 0;
    for (size_t g = 0; g <= runs.size(); ++g) {
        const int to = g < runs.size() ? runs[g].begin : hops();
        if (to - from >= mMinTrackHops) {
            const double top = quantile(levelAt, from, to, 0.95, [&](int k) { return sounding(k); });
            double base = mSettings.silenceDb;
            if (useFloor)
                base = mFloor.highest(from, to);
            if (top >= base + mSettings.minDepthDb)
                tracks.push_back({from, to});
        }
        if (g < runs.size())
            from = runs[g].end;
    }
    return tracks;
}

// Tries the floor candidate mLowest: a floor is one only when it is steady
// noise seen at the edges or more than once (where silences part the music:
// beside every one of them), the music never falls far below it, and it
// leaves music in every stretch between silences. Else it is the quiet part
// of the music itself.
bool TrackAnalysis::tryFloor(const std::vector<Run>& bySilence, std::vector<Run>& tracks, std::ostream* trace)
{
    followFloor();
    const double below = belowFloorShare();
    if (trace) {
        *trace << "Floor candidate " << mLowest << " dB: seen " << mSupport << ", beside silence " << mNearSilence
               << ", silences with noise " << mNoisySilenceGaps << "/" << mSilenceGaps << ", below it " << 100.0 * below
               << " %" << std::endl;
    }
    const bool seen = bySilence.size() > 1 ? mNearSilence >= 2 && mNoisySilenceGaps == mSilenceGaps : mSupport >= 2;
    if (!seen || below > kBelowFloorShare)
        return false;
    std::vector<Run> byFloor = musicBetween(quietMask(true), true);
    const bool keepsMusic = std::all_of(bySilence.begin(), bySilence.end(), [&](const Run& m) {
        return std::any_of(byFloor.begin(), byFloor.end(), [&](const Run& t) { return t.begin < m.end && t.end > m.begin; });
    });
    if (!keepsMusic || byFloor.empty())
        return false;
    tracks = std::move(byFloor);
    return true;
}

TrackSearch TrackAnalysis::run(std::ostream* trace)
{
    TrackSearch result;
    const int n = hops();
    int sounding = 0;
    for (int k = 0; k < n; ++k)
        sounding += this->sounding(k);
    if (sounding == 0) {
        result.outcome = SoundTrackFinder::Outcome::Silence;
        return result;
    }
    const auto levelAt = [&](int k) { return mLevel.code(static_cast<size_t>(k)); };
    const auto sustainedAt = [&](int k) { return mSustained.code(static_cast<size_t>(k)); };
    const auto isSounding = [&](int k) { return this->sounding(k); };
    const double loud = quantile(levelAt, 0, n, 0.95, isSounding);
    // Music between silences alone; then floor candidates from the quietest
    // sustained level up (the tail of a fade below the floor, or a quiet
    // passage, is tried and passed over).
    const std::vector<Run> bySilence = musicBetween(quietMask(false), false);
    std::vector<Run> tracks = bySilence;
    Histogram h{};
    for (int k = 0; k < n; ++k)
        h[sustainedAt(k)] += isSounding(k);
    const int width = static_cast<int>(mSettings.floorMarginDb * 2.0 + 0.5);
    for (int first = 0, tries = 0; first < 256 && tries < 6 && !mHasFloor; ++first) {
        int count = 0;
        for (int c = first; c < std::min(256, first + width); ++c)
            count += h[static_cast<size_t>(c)];
        if (count < mGapHops)
            continue;
        mLowest = quantile(sustainedAt, 0, n, 0.5, [&](int k) {
            return isSounding(k) && sustainedAt(k) >= first && sustainedAt(k) < first + width;
        });
        if (loud - mLowest < mSettings.minDepthDb)
            break;
        ++tries;
        mHasFloor = tryFloor(bySilence, tracks, trace);
        first += width - 1;
    }
    result.hasFloor = mHasFloor;
    result.floorDb = mHasFloor ? mLowest : mSettings.silenceDb;
    // Without a floor or a silence, one steady stretch is noise or a tone,
    // not music: its level does not vary as music does.
    if (!mHasFloor && tracks.size() == 1) {
        const Run& r = tracks.front();
        if (quantile(levelAt, r.begin, r.end, 0.95, isSounding) - quantile(levelAt, r.begin, r.end, 0.05, isSounding)
            < kMusicSpreadDb)
            tracks.clear();
    }
    if (trace) {
        *trace << "Track finder: floor " << (mHasFloor ? "used" : "not used") << "; " << bySilence.size()
               << " stretch(es) of music between silences, " << tracks.size() << " track(s)" << std::endl;
    }
    if (tracks.empty()) {
        result.outcome = SoundTrackFinder::Outcome::NoiseOnly;
        return result;
    }
    placeBoundaries(tracks, result.gapDb, trace);
    for (size_t t = 0; t <= tracks.size(); ++t) {
        const int begin = t == 0 ? 0 : tracks[t - 1].end;
        const int end = t == tracks.size() ? n : tracks[t].begin;
        bool silent = end > begin;
        for (int k = begin; k < end && silent; ++k)
            silent = !isSounding(k);
        result.gapSilent.push_back(silent);
        if (t < tracks.size())
            result.trackTopDb.push_back(quantile(levelAt, tracks[t].begin, tracks[t].end, 0.95, [](int) { return true; }));
    }
    result.tracks = std::move(tracks);
    result.outcome = SoundTrackFinder::Outcome::Tracks;
    return result;
}

// Level of a gap, from its hops near the floor, and how far its noise
// wanders above that level (from the middle half of the gap, away from the
// tails of the tracks around it).
void TrackAnalysis::gapStats(int begin, int end, double& levelDb, double& spreadDb) const
{
    const auto core = [&](int k) {
        const size_t i = static_cast<size_t>(k);
        return sounding(k) && (!mHasFloor || std::fabs(mSustained[i] - mFloor.at(k)) <= mSettings.floorMarginDb);
    };
    const auto edgeAt = [&](int k) { return medianAround(mHop, k, kEdgeRadius); };
    const double middle = quantile(edgeAt, begin, end, 0.5, core);
    levelDb = mSettings.silenceDb;
    spreadDb = 0.0;
    if (middle < mSettings.silenceDb)
        return;
    levelDb = middle;
    const int quarter = (end - begin) / 4;
    const double centre = quantile(edgeAt, begin + quarter, end - quarter, 0.5, core);
    spreadDb = std::max(0.0, quantile(edgeAt, begin + quarter, end - quarter, 0.9, core) - centre);
}

// Boundaries where the music meets the floor: each track grows into its gaps
// while its level stands above the gap's noise (3 dB: the music as loud as
// the noise; more where the noise itself wanders). Dips shorter than
// kBridgeSeconds do not stop it. A gap that holds silence is measured on
// each side of it: steady noise between the silence and the track is what
// the track meets, else the noise of the gap, else (without a floor) the
// silence itself.
void TrackAnalysis::placeBoundaries(std::vector<Run>& tracks, std::vector<double>& gapDb, std::ostream* trace) const
{
    const size_t gaps = tracks.size() + 1;
    std::vector<double> endThreshold(gaps), startThreshold(gaps);
    gapDb.assign(gaps, mSettings.silenceDb);
    const auto thresholdOf = [&](int begin, int end, double* levelDb) {
        double level = mSettings.silenceDb, spread = 0.0;
        if (end > begin)
            gapStats(begin, end, level, spread);
        if (levelDb)
            *levelDb = level;
        return level + std::max(kMeetsFloorDb, 1.5 * spread);
    };
    for (size_t t = 0; t < gaps; ++t) {
        const int begin = t == 0 ? 0 : tracks[t - 1].end;
        const int end = t == tracks.size() ? hops() : tracks[t].begin;
        const double whole = thresholdOf(begin, end, &gapDb[t]);
        int firstSilent = begin;
        while (firstSilent < end && !longSilent(firstSilent))
            ++firstSilent;
        int lastSilent = end;
        while (lastSilent > begin && !longSilent(lastSilent - 1))
            --lastSilent;
        const double otherwise = mHasFloor ? whole : mSettings.silenceDb + kMeetsFloorDb;
        endThreshold[t] = startThreshold[t] = whole;
        if (firstSilent < end) {
            endThreshold[t] = mHasFloor && steady({begin, firstSilent}) ? thresholdOf(begin, firstSilent, nullptr) : otherwise;
            startThreshold[t] = mHasFloor && steady({lastSilent, end}) ? thresholdOf(lastSilent, end, nullptr) : otherwise;
        }
        if (trace)
            *trace << "  gap " << t << ": hops " << begin << " to " << end << ", level " << gapDb[t] << " dB; thresholds "
                   << endThreshold[t] << " and " << startThreshold[t] << " dB" << std::endl;
    }
    const int bridge = static_cast<int>(std::lround(kBridgeSeconds / mHopSeconds));
    for (size_t t = 0; t < tracks.size(); ++t) {
        Run& r = tracks[t];
        const int lower = t == 0 ? 0 : tracks[t - 1].end;
        const int upper = t + 1 == tracks.size() ? hops() : tracks[t + 1].begin;
        int first = r.begin;
        for (int k = r.begin - 1; k >= lower && first - k <= bridge; --k) {
            if (edge(k) > startThreshold[t])
                first = k;
        }
        int last = r.end;
        for (int k = r.end; k < upper && k - last < bridge; ++k) {
            if (edge(k) > endThreshold[t + 1])
                last = k + 1;
        }
        r.begin = first;
        r.end = last;
    }
}

} // namespace vexa::detail
