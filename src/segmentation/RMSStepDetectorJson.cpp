// The step detector's JSON form: its parameters, its sample rate and its
// regions, and the builder that recreates a detector from it.
#include "RMSStepDetector.h"

#include <QJsonArray>
#include <QReadLocker>
#include <QWriteLocker>

#include <climits>

namespace {

class RMSStepDetectorJSonBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    RMSStepDetectorJSonBuilder() { SoundAlgo::declareBuilder(this); }
    SoundAlgo* build(QJsonObject& object) override { return RMSStepDetector::createFromJSon(object); }
    QString getClassName() override { return QStringLiteral("RMSStepDetector"); }
};

// Registered when the library is loaded.
RMSStepDetectorJSonBuilder sRMSStepDetectorBuilder;

} // namespace

void RMSStepDetector::writeToJSon(QJsonObject& object) const
{
    QReadLocker locker(&mLock);
    object.insert(QStringLiteral("Class"), QStringLiteral("RMSStepDetector"));
    object.insert(QStringLiteral("NoiseThreshold"), noiseDb());
    object.insert(QStringLiteral("RMSTime"), mRmsTime);
    object.insert(QStringLiteral("MinSlopeTime"), mSlopeDetector.getMinSlopeTime());
    object.insert(QStringLiteral("OutputMode"), static_cast<int>(mOutputMode));
    object.insert(QStringLiteral("RealTimeMode"), mRealTimeMode);
    object.insert(QStringLiteral("SampleRate"), static_cast<int>(getSampleRate()));
    if (!mRegions.empty()) {
        QJsonArray regions;
        for (const Region& r : mRegions) {
            QJsonObject o;
            o.insert(QStringLiteral("BeginSample"), r.BeginSample);
            o.insert(QStringLiteral("SampleNb"), r.SampleNb);
            o.insert(QStringLiteral("RMSSqrValue0"), r.RMSSqrValue0);
            o.insert(QStringLiteral("RMSSqrValue1"), r.RMSSqrValue1);
            o.insert(QStringLiteral("MeanSmpl"), r.MeanSmpl);
            o.insert(QStringLiteral("IsNoise"), r.IsNoise);
            regions.append(o);
        }
        object.insert(QStringLiteral("Regions"), regions);
    }
}

RMSStepDetector* RMSStepDetector::createFromJSon(QJsonObject& object)
{
    if (object.value(QStringLiteral("Class")).toString() != QStringLiteral("RMSStepDetector")
        || !object.value(QStringLiteral("NoiseThreshold")).isDouble()
        || !object.value(QStringLiteral("RMSTime")).isDouble()
        || !object.value(QStringLiteral("MinSlopeTime")).isDouble()
        || !object.value(QStringLiteral("OutputMode")).isDouble()
        || !object.value(QStringLiteral("RealTimeMode")).isBool())
        return nullptr;
    const int mode = object.value(QStringLiteral("OutputMode")).toInt();
    if (mode < RegionLevel || mode > NoOutput) {
        setError(QStringLiteral("Unknown output mode %1").arg(mode), "RMSStepDetector::createFromJSon");
        return nullptr;
    }
    auto* detector = new RMSStepDetector(object.value(QStringLiteral("NoiseThreshold")).toDouble(),
                                         object.value(QStringLiteral("RMSTime")).toDouble(),
                                         object.value(QStringLiteral("MinSlopeTime")).toDouble(),
                                         static_cast<OutputMode>(mode),
                                         object.value(QStringLiteral("RealTimeMode")).toBool());
    // A detector saved before any run has no regions: it is rebuilt as it
    // was. A region list that cannot be trusted gives no detector at all.
    detector->SoundAlgo::readFromJSon(object);
    if (detector->readRegions(object) == JsonRead::Invalid) {
        detector->release();
        return nullptr;
    }
    return detector;
}

bool RMSStepDetector::readFromJSon(QJsonObject& object)
{
    SoundAlgo::readFromJSon(object);
    return readRegions(object) == JsonRead::Loaded;
}

RMSStepDetector::JsonRead RMSStepDetector::readRegions(const QJsonObject& object)
{
    static const char* context = "RMSStepDetector::readFromJSon";
    const QJsonValue rate = object.value(QStringLiteral("SampleRate"));
    const QJsonValue list = object.value(QStringLiteral("Regions"));
    if (!list.isArray())
        return list.isUndefined() ? JsonRead::Absent : JsonRead::Invalid;
    if (!rate.isDouble() || rate.toInt(-1) < 0) {
        setError(QStringLiteral("Regions without a valid SampleRate"), context);
        return JsonRead::Invalid;
    }

    QWriteLocker locker(&mLock);
    std::vector<Region> loaded;
    const QJsonArray array = list.toArray();
    loaded.reserve(static_cast<size_t>(array.size()));
    long long previousBegin = mRegions.empty() ? LLONG_MIN : mRegions.back().BeginSample;
    for (int i = 0; i < array.size(); ++i) {
        auto refuse = [i](const QString& why) {
            setError(QStringLiteral("Region %1: %2").arg(i).arg(why), context);
            return JsonRead::Invalid;
        };
        if (!array[i].isObject())
            return refuse(QStringLiteral("not an object"));
        const QJsonObject o = array[i].toObject();
        const QJsonValue begin = o.value(QStringLiteral("BeginSample"));
        const QJsonValue length = o.value(QStringLiteral("SampleNb"));
        const QJsonValue v0 = o.value(QStringLiteral("RMSSqrValue0"));
        const QJsonValue v1 = o.value(QStringLiteral("RMSSqrValue1"));
        const QJsonValue weight = o.value(QStringLiteral("MeanSmpl"));
        const QJsonValue noise = o.value(QStringLiteral("IsNoise"));
        if (!begin.isDouble() || !length.isDouble() || !v0.isDouble() || !v1.isDouble() || !weight.isDouble()
            || !noise.isBool())
            return refuse(QStringLiteral("missing key or wrong type"));
        Region r;
        r.BeginSample = begin.toInt();
        r.SampleNb = length.toInt();
        r.RMSSqrValue0 = v0.toDouble();
        r.RMSSqrValue1 = v1.toDouble();
        r.MeanSmpl = weight.toInt();
        r.IsNoise = noise.toBool();
        if (begin.toDouble() != r.BeginSample || length.toDouble() != r.SampleNb || weight.toDouble() != r.MeanSmpl)
            return refuse(QStringLiteral("count not a 32-bit integer"));
        if (r.BeginSample < 0 || r.SampleNb < 0 || r.MeanSmpl < 0 || r.RMSSqrValue0 < 0 || r.RMSSqrValue1 < 0)
            return refuse(QStringLiteral("negative value"));
        if (r.BeginSample <= previousBegin)
            return refuse(QStringLiteral("out of stream order"));
        previousBegin = r.BeginSample;
        loaded.push_back(r);
    }
    mSampleRate = static_cast<unsigned int>(rate.toInt());
    mRegions.insert(mRegions.end(), loaded.begin(), loaded.end());
    mBackup = mRegions;
    if (isDebug())
        printRegionsUnlocked("JSON Loaded");
    return JsonRead::Loaded;
}
