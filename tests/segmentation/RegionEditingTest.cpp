// JSON form of the detector and the region edits, on region lists given
// through JSON so that every level and length is known.
#include "RMSStepDetector.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <sstream>

namespace {

constexpr int kRate = 1000;

struct R {
    int begin;
    int length;
    double ms0;
    double ms1;
    int weight;
    bool noise;
};

QJsonObject regionObject(const R& r)
{
    QJsonObject o;
    o.insert("BeginSample", r.begin);
    o.insert("SampleNb", r.length);
    o.insert("RMSSqrValue0", r.ms0);
    o.insert("RMSSqrValue1", r.ms1);
    o.insert("MeanSmpl", r.weight);
    o.insert("IsNoise", r.noise);
    return o;
}

QJsonObject detectorObject(const std::vector<R>& regions, double noiseDb = -40.0)
{
    QJsonObject o;
    o.insert("Class", "RMSStepDetector");
    o.insert("NoiseThreshold", noiseDb);
    o.insert("RMSTime", 0.2);
    o.insert("MinSlopeTime", 1.0);
    o.insert("OutputMode", 2);
    o.insert("RealTimeMode", false);
    o.insert("SampleRate", kRate);
    QJsonArray list;
    for (const R& r : regions)
        list.append(regionObject(r));
    if (!regions.empty())
        o.insert("Regions", list);
    return o;
}

RMSStepDetector* build(const std::vector<R>& regions, double noiseDb = -40.0)
{
    QJsonObject o = detectorObject(regions, noiseDb);
    return RMSStepDetector::createFromJSon(o);
}

// Consecutive regions: begins follow from the lengths.
std::vector<R> chain(std::vector<std::pair<int, double>> lengthAndMs, std::vector<bool> noise)
{
    std::vector<R> result;
    int begin = 0;
    for (size_t i = 0; i < lengthAndMs.size(); ++i) {
        result.push_back({begin, lengthAndMs[i].first, lengthAndMs[i].second, lengthAndMs[i].second,
                          lengthAndMs[i].first, noise[i]});
        begin += lengthAndMs[i].first;
    }
    return result;
}

double levelOf(const RMSStepDetector::Region& r)
{
    return std::max(r.RMSSqrValue0, r.RMSSqrValue1);
}

class Exposed : public RMSStepDetector {
public:
    using RMSStepDetector::readFromJSon;
};

} // namespace

TEST(RMSStepDetectorJson, RoundTripThroughTheRegistry)
{
    const std::vector<R> regions = {{0, 3000, 0.01, 0.005, 2900, false},
                                    {3000, 2000, 1e-7, 2e-7, 2000, true},
                                    {5000, 1, 0.0, 0.0, 1, true}};
    RMSStepDetector* original = build(regions, -35.0);
    ASSERT_NE(original, nullptr);
    original->setId("side A");

    QJsonObject saved;
    original->writeToJSon(saved);
    EXPECT_EQ(saved.value("Class").toString(), QStringLiteral("RMSStepDetector"));
    // Through text and back, then rebuilt by class name.
    QJsonObject reread = QJsonDocument::fromJson(QJsonDocument(saved).toJson()).object();
    SoundAlgo* node = SoundAlgo::createFromJSon(reread);
    auto* copy = dynamic_cast<RMSStepDetector*>(node);
    ASSERT_NE(copy, nullptr);
    EXPECT_NEAR(copy->getNoiseThreshold(), -35.0, 1e-9);
    EXPECT_EQ(copy->getOutputMode(), RMSStepDetector::NoOutput);
    EXPECT_EQ(copy->getSampleRate(), static_cast<unsigned int>(kRate));
    ASSERT_EQ(copy->size(), 3);
    for (int i = 0; i < 3; ++i) {
        const auto a = copy->getRegion(i);
        EXPECT_EQ(a.BeginSample, regions[i].begin);
        EXPECT_EQ(a.SampleNb, regions[i].length);
        EXPECT_DOUBLE_EQ(a.RMSSqrValue0, regions[i].ms0);
        EXPECT_DOUBLE_EQ(a.RMSSqrValue1, regions[i].ms1);
        EXPECT_EQ(a.MeanSmpl, regions[i].weight);
        EXPECT_EQ(a.IsNoise, regions[i].noise);
    }
    // The loaded regions are also the backup.
    EXPECT_EQ(copy->size(true), 3);
    original->release();
    node->release();

    // A detector that never ran has no regions and is rebuilt as it was.
    auto* fresh = new RMSStepDetector(-50.0, 0.1, 2.0, RMSStepDetector::PassThrough, true);
    QJsonObject empty;
    fresh->writeToJSon(empty);
    EXPECT_FALSE(empty.contains("Regions"));
    auto* rebuilt = RMSStepDetector::createFromJSon(empty);
    ASSERT_NE(rebuilt, nullptr);
    EXPECT_EQ(rebuilt->size(), 0);
    EXPECT_TRUE(rebuilt->isRealTimeMode());
    EXPECT_DOUBLE_EQ(rebuilt->getRMSTime(), 0.1);
    fresh->release();
    rebuilt->release();
}

TEST(RMSStepDetectorJson, RefusesMalformedOrUnsafeRegions)
{
    QJsonObject wrongClass = detectorObject({});
    wrongClass.insert("Class", "SoundAlgoStats");
    EXPECT_EQ(RMSStepDetector::createFromJSon(wrongClass), nullptr);
    QJsonObject missingKey = detectorObject({});
    missingKey.remove("RealTimeMode");
    EXPECT_EQ(RMSStepDetector::createFromJSon(missingKey), nullptr);

    const std::vector<R> good = {{0, 100, 0.1, 0.1, 100, false}, {100, 100, 0.1, 0.1, 100, false}};
    auto refused = [&](const std::function<void(QJsonObject&)>& spoil) {
        QJsonObject o = detectorObject(good);
        QJsonArray list = o.value("Regions").toArray();
        QJsonObject second = list[1].toObject();
        spoil(second);
        list[1] = second;
        o.insert("Regions", list);
        RMSStepDetector* d = RMSStepDetector::createFromJSon(o);
        const bool wasRefused = d == nullptr;
        if (d)
            d->release();
        return wasRefused;
    };
    EXPECT_TRUE(refused([](QJsonObject& r) { r.insert("IsNoise", 1); }));
    EXPECT_TRUE(refused([](QJsonObject& r) { r.insert("BeginSample", -5); }));
    EXPECT_TRUE(refused([](QJsonObject& r) { r.insert("SampleNb", -1); }));
    EXPECT_TRUE(refused([](QJsonObject& r) { r.insert("BeginSample", 0); }));  // same begin as the first
    EXPECT_TRUE(refused([](QJsonObject& r) { r.insert("MeanSmpl", 2.5); }));
    EXPECT_TRUE(refused([](QJsonObject& r) { r.remove("RMSSqrValue1"); }));
    EXPECT_FALSE(refused([](QJsonObject&) {}));
    EXPECT_TRUE(SoundDebuggableClass::getError().startsWith("RMSStepDetector::readFromJSon"));

    // readFromJSon appends, keeps stream order, and changes nothing on refusal.
    auto* d = new Exposed();
    QJsonObject first = detectorObject(good);
    EXPECT_TRUE(d->readFromJSon(first));
    EXPECT_EQ(d->size(), 2);
    QJsonObject again = detectorObject(good);
    EXPECT_FALSE(d->readFromJSon(again));
    EXPECT_EQ(d->size(), 2);
    QJsonObject later = detectorObject({{300, 10, 0.1, 0.1, 10, true}});
    EXPECT_TRUE(d->readFromJSon(later));
    EXPECT_EQ(d->size(), 3);
    d->release();
}

TEST(RegionEditing, PrintRegions)
{
    std::ostringstream os;
    SoundDebuggableClass::setOStream(&os);
    RMSStepDetector* d = build({{1000, 2000, 0.5, 0.125, 10, false}, {3000, 500, 1e-6, 1e-6, 10, true}});
    d->printRegions("Title");
    EXPECT_EQ(os.str(), "Title 2 regions\nNoise level :-40 dB\n"
                        "[Thread 0] 00:00:01.000 (00:00:02.000) : -3.01 -9.03\n"
                        "[Thread 0] [00:00:03.000 (00:00:00.500) : -60.00 -60.00]\n");
    d->release();

    std::vector<R> many;
    for (int i = 0; i < 201; ++i)
        many.push_back({i * 10, 10, 0.1, 0.1, 10, false});
    os.str("");
    d = build(many);
    d->printRegions(nullptr);
    EXPECT_EQ(os.str(), "201 regions\nNoise level :-40.00 dB\n");
    d->release();
    SoundDebuggableClass::setOStream(&std::cout);
}

TEST(RegionEditing, MergeBackupAndNoise)
{
    RMSStepDetector* d = build(chain({{100, 1e-6}, {300, 2e-6}, {1000, 0.1}, {3000, 0.2}, {500, 1e-6}},
                                     {true, true, false, false, true}));
    ASSERT_NE(d, nullptr);
    d->mergeRegions();
    ASSERT_EQ(d->size(), 3);
    const auto track = d->getRegion(1);
    EXPECT_EQ(track.BeginSample, 400);
    EXPECT_EQ(track.SampleNb, 4000);
    EXPECT_EQ(track.MeanSmpl, 4000);
    EXPECT_NEAR(track.RMSSqrValue0, (1000 * 0.1 + 3000 * 0.2) / 4000, 1e-12);
    EXPECT_NEAR(d->getRegion(0).RMSSqrValue0, (100 * 1e-6 + 300 * 2e-6) / 400, 1e-15);

    // The backup holds the loaded regions: resetRegions undoes the merge.
    d->resetRegions();
    EXPECT_EQ(d->size(), 5);
    d->clearBackup();
    EXPECT_EQ(d->size(true), 5); // an empty backup falls back to the regions

    // The public applyNoise re-flags against the loudest region: -20 dB
    // below 0.2 is 0.002.
    d->applyNoise(-20.0);
    EXPECT_TRUE(d->getRegion(0).IsNoise);
    EXPECT_FALSE(d->getRegion(2).IsNoise);
    EXPECT_EQ(d->getSegmentsNumber(), 1);
    d->applyNoise(-3.0); // threshold 0.1002: the 0.1 region becomes noise
    EXPECT_TRUE(d->getRegion(2).IsNoise);
    EXPECT_FALSE(d->getRegion(3).IsNoise);
    EXPECT_NEAR(d->getNoiseThreshold(), -3.0, 1e-12);
    d->release();
}

TEST(RegionEditing, EstimateNoise)
{
    // Five minutes or less: the budget is `seconds` once. The quietest
    // region above the threshold (40 dB under the loudest) that fills 2 s
    // sets the level, 5% above it.
    RMSStepDetector* d = build(chain({{1500, 1e-9}, {1500, 1e-4}, {1000, 4e-4}, {20000, 1e-2}, {1, 0.0}},
                                     {false, false, false, false, true}));
    const double expected = 20 * std::log10(1.05 * std::sqrt(4e-4) / std::sqrt(1e-2));
    EXPECT_NEAR(d->estimateNoise(2.0, 40.0), expected, 1e-9);
    // 1 s is filled by the 1e-4 region alone.
    EXPECT_NEAR(d->estimateNoise(1.0, 40.0), 20 * std::log10(1.05 * std::sqrt(1e-4 / 1e-2)), 1e-9);
    // A non-positive duration counts as 1 s.
    EXPECT_NEAR(d->estimateNoise(0.0, 40.0), d->estimateNoise(1.0, 40.0), 1e-12);
    d->release();

    // The loudest region is the first one above the threshold: the default.
    d = build(chain({{5000, 1e-9}, {20000, 1e-2}, {1, 0.0}}, {true, false, true}));
    EXPECT_DOUBLE_EQ(d->estimateNoise(2.0, 40.0), -40.0);
    d->release();
}

TEST(RegionEditing, SplitAtQuietPassages)
{
    // One long run with a quiet passage, and a short run.
    const auto regions = chain({{40000, 1e-2}, {3000, 1e-5}, {40000, 2e-2}, {2000, 1e-9}, {4000, 1e-2}, {1, 0}},
                               {false, false, false, true, false, true});
    RMSStepDetector* d = build(regions);
    EXPECT_EQ(d->getSegmentsNumber(), 2);
    // No run is longer than 100 s: nothing changes.
    d->split(2.0, 100.0, 40.0);
    EXPECT_EQ(d->getSegmentsNumber(), 2);
    EXPECT_FALSE(d->getRegion(1).IsNoise);
    // The run of 83 s is split at its quiet passage; the 4 s run is kept.
    d->split(2.0, 10.0, 40.0);
    EXPECT_TRUE(d->getRegion(1).IsNoise);
    EXPECT_FALSE(d->getRegion(0).IsNoise);
    EXPECT_FALSE(d->getRegion(2).IsNoise);
    EXPECT_FALSE(d->getRegion(4).IsNoise);
    EXPECT_EQ(d->getSegmentsNumber(), 3);
    d->release();
}

TEST(RegionEditing, CompressDynamic)
{
    // Two runs; ratio 1 brings every region of a run to the run's loudest.
    const auto regions = chain({{1000, 0.01}, {3000, 0.04}, {500, 1e-8}, {2000, 0.0025}, {1000, 0.0001}, {1, 0}},
                               {false, false, true, false, false, true});
    RMSStepDetector* d = build(regions);
    const double correction = d->compressDynamic(1.0);
    EXPECT_NEAR(levelOf(d->getRegion(0)), 0.04, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(1)), 0.04, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(3)), 0.0025, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(4)), 0.0025, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(2)), 1e-8, 1e-20);
    // Mean of the power gains ref^2 / l^2, weighted by the lengths.
    const double gains = (1000 * 4.0 + 3000 * 1.0 + 2000 * 16.0 + 1000 * 400.0) / 7000.0;
    EXPECT_NEAR(correction, 10 * std::log10(gains), 1e-9);
    d->release();

    // Ratio 2: p = 1/4, gain (l/ref)^(p-1), then the run's least-raised
    // region keeps its level.
    d = build(chain({{4000, 0.04}, {1000, 0.0004}, {1, 0}}, {false, false, true}));
    d->compressDynamic(2.0);
    EXPECT_NEAR(levelOf(d->getRegion(0)), 0.04, 1e-12);
    const double g2 = std::pow(0.1, 2 * (0.25 - 1.0));
    EXPECT_NEAR(levelOf(d->getRegion(1)), 0.0004 * g2, 1e-12);
    d->release();
}

// A fade at the end of the last track takes the level of the region before
// it (the gain is not raised through the fade), within 10% of the tracks.
TEST(RegionEditing, CompressDynamicKeepsFadeOuts)
{
    // 92% body, 8% fade in four steps, end marker.
    auto fadeOut = [](int fadeStep) {
        return chain({{92000 - 4 * fadeStep + 8000, 0.01}, {fadeStep, 0.005}, {fadeStep, 0.002}, {fadeStep, 0.001},
                      {fadeStep, 0.0005}, {1, 0}},
                     {false, false, false, false, false, true});
    };
    RMSStepDetector* d = build(fadeOut(2000));
    d->compressDynamic(1e12); // p = 1: gains of 1, only the fade rule acts
    for (int i = 1; i <= 4; ++i)
        EXPECT_NEAR(levelOf(d->getRegion(i)), 0.01, 1e-9) << i;
    d->release();

    // A fade of 4 x 5000 frames, 20% of the tracks, is flattened from its
    // second step on only: the walk stops once 10% is passed.
    d = build(fadeOut(5000));
    d->compressDynamic(1e12);
    EXPECT_NEAR(levelOf(d->getRegion(1)), 0.005, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(2)), 0.002, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(3)), 0.002, 1e-12);
    EXPECT_NEAR(levelOf(d->getRegion(4)), 0.002, 1e-12);
    d->release();
}
