#include "SoundAlgoFFTStats.h"

#include "detail/Units.h"

#include <QJsonArray>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <cstring>


SoundAlgoFFTStats::SoundAlgoFFTStats() = default;

SoundAlgoFFTStats::~SoundAlgoFFTStats() = default;

SoundTools::Status SoundAlgoFFTStats::onInitInputBuffer()
{
    mStats.assign(getFFTSampleSize(), 0.0);
    mCount = 0.0;
    return SoundTools::StatusOk;
}

SoundTools::Status SoundAlgoFFTStats::process()
{
    const unsigned int bins = getFFTSampleSize();
    if (mStats.size() < bins)
        mStats.resize(bins, 0.0);
    const double scale = 1.0 / mSize;
    const size_t channels = mInBuffers.empty() ? 1 : std::max<size_t>(1, mInBuffers[0]->getChannelNum());
    // The spectra pass through unchanged; their power is summed per bin,
    // over the frames that lie wholly within the stream.
    size_t call = 0;
    return forEachSpectrum([this, bins, scale, channels, &call](const double* x, double* y) {
        std::memcpy(y, x, 2 * static_cast<size_t>(bins) * sizeof(double));
        const long long start = mFrameStart + static_cast<long long>(call++ / channels) * getHop();
        if (mStreamEnd >= 0 && start + mSize > mStreamEnd)
            return;
        for (unsigned int j = 0; j < bins; ++j) {
            const double re = x[2 * j] * scale;
            const double im = x[2 * j + 1] * scale;
            mStats[j] += re * re + im * im;
        }
        mCount += 1.0;
    });
}

void SoundAlgoFFTStats::endProcess(int status, unsigned int frameNbProcessed)
{
    if (mCount > 0.0) {
        for (double& s : mStats)
            s /= mCount;
    }
    SoundAlgo::endProcess(status, frameNbProcessed);
}

void SoundAlgoFFTStats::writeToJSon(QJsonObject& object) const
{
    object.insert(QStringLiteral("Class"), QStringLiteral("SoundAlgoFFTStats"));
    SoundAlgoFFT::writeToJSon(object);
    object.insert(QStringLiteral("StatCount"), mCount);
    QJsonArray stats;
    for (double s : mStats)
        stats.append(s);
    object.insert(QStringLiteral("StatsArray"), stats);
}

bool SoundAlgoFFTStats::readFromJSon(QJsonObject& object)
{
    SoundAlgoFFT::readFromJSon(object);
    const QJsonValue count = object.value(QStringLiteral("StatCount"));
    if (count.isDouble())
        mCount = count.toDouble();
    const QJsonValue stats = object.value(QStringLiteral("StatsArray"));
    if (stats.isArray()) {
        for (const QJsonValue& v : stats.toArray()) {
            if (v.isDouble())
                mStats.push_back(v.toDouble());
        }
    }
    return !mStats.empty();
}

SoundAlgoFFTStats* SoundAlgoFFTStats::createFromJSon(QJsonObject& object)
{
    const QJsonValue cls = object.value(QStringLiteral("Class"));
    if (!cls.isString() || cls.toString() != QLatin1String("SoundAlgoFFTStats"))
        return nullptr;
    auto* node = new SoundAlgoFFTStats();
    if (!node->readFromJSon(object)) {
        delete node;
        return nullptr;
    }
    return node;
}

std::vector<double> SoundAlgoFFTStats::getFrequencies()
{
    std::vector<double> f(mStats.size());
    for (size_t j = 0; j < f.size(); ++j) {
        const unsigned int product = static_cast<unsigned int>(j) * mSampleRate;
        f[j] = mSize ? static_cast<double>(product) / static_cast<double>(mSize) : 0.0;
    }
    return f;
}

std::vector<double> SoundAlgoFFTStats::getStats()
{
    std::vector<double> levels(mStats.size());
    for (size_t j = 0; j < levels.size(); ++j)
        levels[j] = vexa::detail::powerToDb(mStats[j]);
    return levels;
}

std::vector<double> SoundAlgoFFTStats::getStats(const std::vector<double>& splitFrequencies)
{
    const size_t bands = splitFrequencies.size() + 1;
    std::vector<double> sums(bands, 0.0);
    std::vector<double> levels(bands, -100.0);
    const double spacing = mSize ? static_cast<double>(mSampleRate) / mSize : 0.0;
    size_t j = 0;
    double phi = 0.0;
    for (size_t b = 0; b < splitFrequencies.size(); ++b) {
        while (splitFrequencies[b] >= phi && j < mStats.size()) {
            sums[b] += mStats[j];
            ++j;
            phi += spacing;
        }
        levels[b] = vexa::detail::powerToDb(sums[b]);
    }
    for (; j < mStats.size(); ++j)
        sums[bands - 1] += mStats[j];
    levels[bands - 1] = vexa::detail::powerToDb(sums[bands - 1]);
    double loudest = -1000.0;
    for (double l : levels)
        loudest = std::max(loudest, l);
    for (double& l : levels)
        l -= loudest;
    return levels;
}
