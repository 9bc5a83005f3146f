// Units shared across the library: pi, and levels in decibels.
#ifndef VEXA_DETAIL_UNITS_H
#define VEXA_DETAIL_UNITS_H

#include <cmath>

namespace vexa::detail {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

// An amplitude in dB: 20 log10(x), or -100 dB at or below 1e-20 (silence
// must give a number that prints and sorts, not -inf).
inline double amplitudeToDb(double x)
{
    return x > 1e-20 ? 20.0 * std::log10(x) : -100.0;
}

// A power (mean square) in dB, with the same floor: 10 log10(p) = 20 log10(sqrt p).
inline double powerToDb(double p)
{
    return amplitudeToDb(std::sqrt(p));
}

inline double dbToAmplitude(double db)
{
    return std::pow(10.0, db / 20.0);
}

} // namespace vexa::detail

#endif
