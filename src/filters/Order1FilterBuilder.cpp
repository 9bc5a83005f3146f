#include "Order1FilterBuilder.h"

#include "detail/Units.h"

#include <QMessageLogger>

#include <algorithm>
#include <cmath>

namespace SoundTools {

namespace {

constexpr double kMinFreq = 1.0;

} // namespace

Order1FilterBuilder::Order1FilterBuilder(FilterType type, double freq)
    : mType(type)
    , mFreq(freq)
{
}

Order1FilterBuilder::~Order1FilterBuilder() = default;

std::shared_ptr<Filter> Order1FilterBuilder::buildFilter(unsigned int sampleRate)
{
    const double passB[2] = {1.0, 0.0};
    const double passA[2] = {1.0, 0.0};
    if (mType != LowPass && mType != HighPass) {
        QMessageLogger().critical("Unsupported FirstOrderFilter Eq mode : %d", static_cast<int>(mType));
        return std::make_shared<Order1Filter>(passB, passA);
    }
    const double fs = sampleRate;
    const double f = std::max(mFreq, kMinFreq);
    // tan(pi f / fs) turns negative past fs/2 and the filter unstable; at
    // 0 Hz it is 0 and the coefficients NaN.
    if (2.0 * f + 1.0 >= fs)
        return std::make_shared<Order1Filter>(passB, passA);

    const double K = std::tan(vexa::detail::kPi * f / fs);
    const double c = 1.0 / K;
    if (mType == LowPass) {
        const double b[2] = {1.0 / (1.0 + c), 1.0 / (1.0 + c)};
        const double a[2] = {1.0, (1.0 - c) / (1.0 + c)};
        return std::make_shared<Order1Filter>(b, a);
    }
    // Left unnormalised: the kernel divides by a0.
    const double b[2] = {c, -c};
    const double a[2] = {1.0 + c, 1.0 - c};
    return std::make_shared<Order1Filter>(b, a);
}

} // namespace SoundTools
