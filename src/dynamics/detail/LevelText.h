// Level and time text shared by the dynamics diagnostics.
#ifndef VEXA_DYNAMICS_LEVELTEXT_H
#define VEXA_DYNAMICS_LEVELTEXT_H

#include "detail/Units.h"

#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>

namespace vexa::detail {

inline double toDb(double x)
{
    return vexa::detail::amplitudeToDb(x);
}

inline double fromDb(double db)
{
    return vexa::detail::dbToAmplitude(db);
}

// Seconds as hh:mm:ss.sss.
inline std::string formatLength(double seconds)
{
    const double hours = std::floor(seconds / 3600.0);
    const double rest = seconds - hours * 3600.0;
    const double minutes = std::floor(rest / 60.0);
    const double secs = rest - minutes * 60.0;
    std::ostringstream os;
    os << std::setfill('0') << std::fixed << std::setw(2) << std::setprecision(0) << hours << ':' << std::setw(2)
       << minutes << ':' << std::setw(6) << std::setprecision(3) << secs;
    return os.str();
}

// A time in seconds as a frame count.
inline int framesOf(unsigned int sampleRate, double seconds)
{
    return static_cast<int>(std::floor(sampleRate * seconds + 0.5));
}

} // namespace vexa::detail

#endif
