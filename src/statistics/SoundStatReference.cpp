#include "SoundStatReference.h"

#include "BiquadEqBuilder.h"
#include "FilterBuilder.h"

#include <QJsonArray>
#include <QMessageLogger>

#include <algorithm>
#include <cmath>
#include <memory>

SoundStatReference::SoundStatReference() = default;
SoundStatReference::SoundStatReference(const SoundStatReference& other) = default;
SoundStatReference& SoundStatReference::operator=(const SoundStatReference& other) = default;
SoundStatReference::~SoundStatReference() = default;

bool SoundStatReference::isEmpty() const
{
    return mFrequencies.empty() || mLevels.empty() || mLevels.size() != mFrequencies.size();
}

std::vector<double> SoundStatReference::getDefaultFrequencies()
{
    return {250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000};
}

bool SoundStatReference::readFromJSon(QJsonObject& object)
{
    const QJsonValue cls = object.value(QStringLiteral("Class"));
    if (!cls.isString() || cls.toString() != QStringLiteral("SoundStatReference"))
        return false;
    const QJsonValue name = object.value(QStringLiteral("Name"));
    if (!name.isString())
        return false;
    mName = name.toString();
    const QJsonValue freqs = object.value(QStringLiteral("Frequency"));
    if (!freqs.isArray())
        return false;
    for (const QJsonValue& v : freqs.toArray())
        mFrequencies.push_back(v.toDouble());
    const QJsonValue levels = object.value(QStringLiteral("RelativeLevel"));
    if (!levels.isArray())
        return false;
    for (const QJsonValue& v : levels.toArray())
        mLevels.push_back(v.toDouble());
    const QJsonValue version = object.value(QStringLiteral("Version"));
    if (!version.isString())
        return false;
    mVersion = version.toString();
    return true;
}

std::vector<double> SoundStatReference::getCorrectedLevels(const SoundStatFile& file, double maxCorrection) const
{
    const std::vector<double> rel = file.getRelativeLevels();
    if (rel.empty() || mLevels.size() < rel.size()) {
        SoundDebuggableClass::setError(
            QStringLiteral("reference %1 has %2 levels for %3 bands").arg(mName).arg(mLevels.size()).arg(rel.size()),
            "SoundStatReference::getCorrectedLevels");
        return {};
    }
    std::vector<double> c(rel.size());
    double m = 0.0;
    for (size_t i = 0; i < rel.size(); ++i) {
        c[i] = std::min(std::max(mLevels[i] - rel[i], -maxCorrection), maxCorrection);
        m = std::max(m, c[i]);
    }
    for (double& v : c)
        v -= m;
    return c;
}

SoundAlgoFilter* SoundStatReference::buildCorrectionFilter(const SoundStatFile& file, double maxCorrection,
                                                           bool setGain) const
{
    using SoundTools::BiquadEqBuilder;
    const std::vector<double>& f = mFrequencies;
    const std::vector<double> c = getCorrectedLevels(file, maxCorrection);
    if (c.empty() || f.empty()) {
        if (f.empty())
            SoundDebuggableClass::setError(QStringLiteral("reference %1 has no frequency").arg(mName),
                                           "SoundStatReference::buildCorrectionFilter");
        return nullptr;
    }
    const size_t n = f.size();
    const size_t bands = c.size();

    auto* filter = new SoundAlgoFilter();
    bool any = false;
    if (c[0] != 0.0) {
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::LowShelf, f[0], 1.0, c[0]));
        any = true;
    }
    if (c[bands - 1] != 0.0) {
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::HighShelf, f[n - 1], 1.0, c[bands - 1]));
        any = true;
    }

    double fmin = 0.0;
    double fmax = 0.0;
    SoundTools::get_minmax(2800.0, 3.5, fmin, fmax);
    // The file band between f[i] and f[i + 1] is band i + 1: its peaking
    // band takes that band's correction.
    double powerSum = 0.0;
    int inRange = 0;
    for (size_t i = 0; i + 1 < n && i + 1 < bands; ++i) {
        const double gain = c[i + 1];
        if (f[i + 1] >= fmin && f[i] <= fmax) {
            powerSum += std::pow(10.0, gain / 10.0);
            ++inRange;
        }
        if (gain == 0.0)
            continue;
        double fco = 0.0;
        double width = 0.0;
        SoundTools::get_fco(f[i], f[i + 1], fco, width);
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, fco, width, gain));
        any = true;
    }
    // Nothing to correct: a 0 dB band keeps the node runnable (a filter
    // node without a design refuses to start).
    if (!any)
        filter->pushFilter(std::make_shared<BiquadEqBuilder>(SoundTools::BandEq, 1000.0, 1.0, 0.0));

    if (setGain) {
        const double compensation = inRange > 0 ? -10.0 * std::log10(powerSum / inRange) : 0.0;
        QMessageLogger().debug() << "buildCorrectionFilter : correction=" << compensation;
        filter->setOutputGain(compensation);
    }
    return filter;
}
