// Duration text shared by the segmentation diagnostics: hh:mm:ss.sss, the
// format of SoundReader::getLengthString.
#ifndef VEXA_SEGMENTATION_TIMEFORMAT_H
#define VEXA_SEGMENTATION_TIMEFORMAT_H

#include <cmath>
#include <iomanip>
#include <sstream>
#include <string>

namespace vexa_detail {

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

} // namespace vexa_detail

#endif
