#include "FilterBuilder.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace SoundTools {

FilterBuilder::~FilterBuilder() = default;

namespace {

constexpr size_t kOctaveSteps = 4096;
constexpr double kOctaveStep = 15.0 / 4096.0; // 0.003662109375, exact in binary

// 2^(i * step) for i = 0 .. 4095. A function-local static is initialised
// once, and the first callers of concurrent threads wait for it.
const std::array<double, kOctaveSteps>& ratioTable()
{
    static const std::array<double, kOctaveSteps> table = [] {
        std::array<double, kOctaveSteps> t{};
        for (size_t i = 0; i < kOctaveSteps; ++i)
            t[i] = std::pow(2.0, static_cast<double>(i) * kOctaveStep);
        return t;
    }();
    return table;
}

} // namespace

void get_fco(double fmin, double fmax, double& fco, double& width)
{
    const auto& t = ratioTable();
    const double r = fmax / fmin;
    // First entry above r (the table rises), then the one before it.
    size_t i = static_cast<size_t>(std::upper_bound(t.begin(), t.end(), r) - t.begin());
    if (i > 0)
        --i;
    width = (static_cast<double>(i) + 0.5) * kOctaveStep;
    fco = std::pow(2.0, width / 2.0) * fmin;
}

void get_minmax(double fco, double width, double& fmin, double& fmax)
{
    const double k = std::pow(2.0, width / 2.0);
    fmin = fco / k;
    fmax = fco * k;
}

} // namespace SoundTools
