// Levels of a recording every hop (10 ms) for the track finder, kept in
// half-decibel steps (one byte a hop), with the running filters and
// statistics the finder takes over them.
#ifndef VEXA_DETAIL_TRACKLEVELS_H
#define VEXA_DETAIL_TRACKLEVELS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vexa::detail {

// A stretch of hops, [begin, end).
struct HopRun {
    int begin;
    int end;
};

// dB levels in half-decibel steps: code c is -127.5 + c / 2 dBFS, from code 0
// (that level, silence and below) to 255 (0 dBFS and above).
class LevelCodes {
public:
    static uint8_t encode(double db);
    static double decode(int code) { return -127.5 + 0.5 * code; }

    LevelCodes() = default;
    LevelCodes(size_t count, double db) : mCodes(count, encode(db)) {}

    size_t size() const { return mCodes.size(); }
    double operator[](size_t i) const { return decode(mCodes[i]); }
    uint8_t code(size_t i) const { return mCodes[i]; }
    void set(size_t i, double db) { mCodes[i] = encode(db); }
    void push_back(double db) { mCodes.push_back(encode(db)); }
    void reserve(size_t n) { mCodes.reserve(n); }
    void clear() { mCodes.clear(); }
    std::vector<uint8_t>& codes() { return mCodes; }
    const std::vector<uint8_t>& codes() const { return mCodes; }

private:
    std::vector<uint8_t> mCodes;
};

using Mask = std::vector<bool>;

// The floor along the recording: linear between the levels measured in the
// gaps found (constant before the first and after the last), never below
// the quietest level.
class FloorCurve {
public:
    class Cursor;
    FloorCurve() = default;
    FloorCurve(std::vector<std::pair<int, double>> points, double lowest);
    double at(int hop) const;
    double highest(int begin, int end) const; // over hops [begin, end)


private:
    double interpolate(size_t next, int hop) const;

    std::vector<std::pair<int, double>> mPoints; // hop, level (dB)
    double mLowest = -300.0;
};

// Reads a floor curve at increasing hops without searching.
class FloorCurve::Cursor {
public:
    explicit Cursor(const FloorCurve& curve) : mCurve(curve) {}
    double at(int hop);

private:
    const FloorCurve& mCurve;
    size_t mNext = 0;
};

using Histogram = std::array<int, 256>;

// The q-quantile of the codes of [begin, end) for which keep(k) holds, in
// dB; -300 when there are none.
template <typename Codes, typename Keep>
inline double quantile(const Codes& codeOf, int begin, int end, double q, Keep keep)
{
    Histogram h{};
    int n = 0;
    for (int k = begin; k < end; ++k) {
        if (keep(k)) {
            ++h[codeOf(k)];
            ++n;
        }
    }
    if (n == 0)
        return -300.0;
    const int rank = static_cast<int>(q * (n - 1) + 0.5);
    int seen = 0;
    for (int c = 0; c < 256; ++c) {
        seen += h[static_cast<size_t>(c)];
        if (seen > rank)
            return LevelCodes::decode(c);
    }
    return LevelCodes::decode(255);
}

// Median of the codes within `radius` hops (at most 7) of hop k.
uint8_t medianAround(const std::vector<uint8_t>& v, int k, int radius);

// Morphological opening: at each hop, the lowest level under which some
// stretch of `width` hops containing it stays.
LevelCodes opening(const LevelCodes& s, int width);

// Runs of hops where quiet[k] holds: those of at least minLength hops, and
// those touching either end of the recording.
std::vector<HopRun> quietRuns(const Mask& quiet, int minLength);

} // namespace vexa::detail

#endif
