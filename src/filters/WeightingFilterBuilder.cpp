#include "WeightingFilterBuilder.h"

#include "detail/Units.h"

#include "detail/Polynomial.h"

#include <QMessageLogger>

#include <algorithm>
#include <cmath>
#include <valarray>

namespace SoundTools {

namespace {


struct Stage {
    std::valarray<double> b;
    std::valarray<double> a;
};

// Bilinear image of the analogue section 2 pi f2 s / (s + 2 pi f1)^2.
Stage stageC(double f1, double f2, double K)
{
    const double w1 = 2.0 * vexa::detail::kPi * f1;
    const double w2 = 2.0 * vexa::detail::kPi * f2;
    const double D = (K + w1) * (K + w1);
    return Stage{{w2 * K / D, 0.0, -w2 * K / D}, {1.0, 2.0 * (w1 * w1 - K * K) / D, (K - w1) * (K - w1) / D}};
}

// Bilinear image of the analogue section s^2 / ((s + 2 pi f1)(s + 2 pi f2)).
Stage stageA(double f1, double f2, double K)
{
    const double w1 = 2.0 * vexa::detail::kPi * f1;
    const double w2 = 2.0 * vexa::detail::kPi * f2;
    const double D = (K + w1) * (K + w2);
    return Stage{{K * K / D, -2.0 * K * K / D, K * K / D}, {1.0, 2.0 * (w1 * w2 - K * K) / D, (K - w1) * (K - w2) / D}};
}

void logCoefficients(const char* name, const std::valarray<double>& c)
{
    QMessageLogger().debug("===========================");
    for (size_t k = 0; k < c.size(); ++k)
        QMessageLogger().debug("%s[%d]=%.17g", name, static_cast<int>(k), c[k]);
}

} // namespace

WeightingFilterBuilder::WeightingFilterBuilder() = default;
WeightingFilterBuilder::~WeightingFilterBuilder() = default;

std::shared_ptr<Filter> WeightingFilterBuilder::buildFilter(unsigned int sampleRate)
{
    const double K = 2.0 * sampleRate;
    const Stage c1 = stageC(20.6, 12194.0, K);
    const Stage c2 = stageC(12194.0, 12194.0, K);
    const Stage a1 = stageA(107.7, 737.9, K);

    // C-weighting, +0.062 dB, then the A section, +1.938 dB: 0 dB at 1 kHz.
    const std::valarray<double> bC = vexa::detail::convolve(c1.b, c2.b) * std::pow(10.0, 0.0031);
    const std::valarray<double> aC = vexa::detail::convolve(c1.a, c2.a);
    std::valarray<double> b = vexa::detail::convolve(bC, a1.b) * std::pow(10.0, 0.0969);
    std::valarray<double> a = vexa::detail::convolve(aC, a1.a);

    const double m = std::max(std::abs(b).max(), std::abs(a).max());
    if (m > 0.0) {
        b /= m;
        a /= m;
    }

    logCoefficients("AWeightB", b);
    logCoefficients("AWeightA", a);
    return std::make_shared<Order6Filter>(b, a);
}

} // namespace SoundTools
