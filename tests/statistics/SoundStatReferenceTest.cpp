// Reference spectra and catalogs: reading (text and binary, malformed and
// damaged files), look-ups, the nearest reference, the corrected levels, the
// correction filter's cascade against one built by hand, and a recording
// tilted by a known shelf brought back towards its reference.
#include "StatsTestSupport.h"
#include "TestSignals.h"

#include "BiquadEqBuilder.h"
#include "FilterBuilder.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFilter.h"
#include "SoundStatFile.h"
#include "SoundStatReference.h"
#include "SoundStatReferenceCatalog.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cmath>
#include <memory>

using namespace statstest;

namespace {

QJsonObject referenceObject(const QString& name, const std::vector<double>& freqs, const std::vector<double>& levels,
                            const QString& version = QStringLiteral("1"))
{
    QJsonArray f, l;
    for (double v : freqs)
        f.append(v);
    for (double v : levels)
        l.append(v);
    return QJsonObject{{"Class", "SoundStatReference"}, {"Name", name}, {"Frequency", f}, {"RelativeLevel", l},
                       {"Version", version}};
}

SoundStatReference makeReference(const std::vector<double>& freqs, const std::vector<double>& levels,
                                 const QString& name = QStringLiteral("ref"), const QString& version = QStringLiteral("1"))
{
    SoundStatReference r;
    QJsonObject o = referenceObject(name, freqs, levels, version);
    EXPECT_TRUE(r.readFromJSon(o));
    return r;
}

// A statistics file whose bands have the given full RMS levels.
void setLevels(SoundStatFile& file, const std::vector<double>& freqs, const std::vector<double>& levels)
{
    std::vector<SoundAlgoStats*> stats;
    for (double l : levels)
        stats.push_back(statsAtLevel(l));
    file.setStats(freqs, stats, false);
}

class ReferenceTest : public StatsTest {
protected:
    QString path(const QString& name) const { return mDir.filePath(name); }
    void write(const QString& name, const QByteArray& bytes)
    {
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    static QByteArray binary(const QJsonArray& root)
    {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        return QJsonDocument(root).toBinaryData();
        QT_WARNING_POP
    }
    QTemporaryDir mDir;
};

// Runs frames through the multiband statistics analysis (default split
// frequencies, second-order splits) and fills a statistics file.
void analyse(const Frames& x, SoundStatFile& file)
{
    auto* tree = new SoundAlgoComposite();
    SoundAlgoStats::FrequencyBuilder builder;
    const std::vector<double> freqs = SoundStatReference::getDefaultFrequencies();
    tree->buildMultibandTree(freqs, builder, true);
    runStreamAt(*tree, x, 44100, 16384);
    file.setStats(freqs, builder.getStatsVector(), true);
    tree->release();
}

double distance(const std::vector<double>& a, const std::vector<double>& b)
{
    double s = 0;
    for (size_t i = 0; i < a.size(); ++i)
        s += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(s / static_cast<double>(a.size()));
}

} // namespace

TEST_F(ReferenceTest, ReferenceFieldsAndEmptiness)
{
    EXPECT_EQ(SoundStatReference::getDefaultFrequencies(),
              (std::vector<double>{250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000}));
    EXPECT_TRUE(SoundStatReference().isEmpty());
    EXPECT_TRUE(makeReference({250, 500}, {0}).isEmpty());
    EXPECT_TRUE(makeReference({}, {}).isEmpty());
    const SoundStatReference r = makeReference({250, 500}, {0, -3}, "pop", "2");
    EXPECT_FALSE(r.isEmpty());
    EXPECT_EQ(r.getName(), QStringLiteral("pop"));
    EXPECT_EQ(r.getVersion(), QStringLiteral("2"));
    EXPECT_EQ(r.getLevels(), (std::vector<double>{0, -3}));

    // Checks stop at the first bad key; what was read stays, arrays append.
    SoundStatReference partial;
    QJsonObject o = referenceObject("first", {100, 200}, {0, -1});
    o["Frequency"] = QJsonArray{100, "x", 300};
    o.remove("Version");
    EXPECT_FALSE(partial.readFromJSon(o));
    EXPECT_EQ(partial.getName(), QStringLiteral("first"));
    EXPECT_EQ(partial.getFrequencies(), (std::vector<double>{100, 0, 300}));
    EXPECT_TRUE(partial.getVersion().isEmpty());
    o = referenceObject("second", {400}, {-2});
    EXPECT_TRUE(partial.readFromJSon(o));
    EXPECT_EQ(partial.getFrequencies(), (std::vector<double>{100, 0, 300, 400}));
    EXPECT_EQ(partial.getLevels(), (std::vector<double>{0, -1, -2}));
    o["Class"] = "SoundStatFile";
    SoundStatReference wrongClass;
    EXPECT_FALSE(wrongClass.readFromJSon(o));
    EXPECT_TRUE(wrongClass.getName().isEmpty());
    o = referenceObject("third", {1}, {1});
    o["Name"] = 3;
    EXPECT_FALSE(wrongClass.readFromJSon(o));
    EXPECT_TRUE(wrongClass.getFrequencies().empty());
}

TEST_F(ReferenceTest, CatalogFilesTextAndBinary)
{
    const QJsonArray refs{referenceObject("b", {250}, {0}), referenceObject("A", {500}, {0}),
                          referenceObject("a", {1000}, {0}), referenceObject("b", {2000}, {0})};
    write("refs.json", QJsonDocument(refs).toJson());
    write("refs.bin", binary(refs));
    write("binary.json", binary(refs));

    SoundStatReferenceCatalog catalog;
    EXPECT_TRUE(catalog.isEmpty());
    ASSERT_TRUE(catalog.readJSonFile(path("refs.json")));
    EXPECT_EQ(catalog.getReferenceList().size(), 4u);
    EXPECT_EQ(catalog.getNameList(), QStringList({"A", "a", "b", "b"}));
    EXPECT_EQ(catalog.getReference("b").getFrequencies(), (std::vector<double>{250}));
    EXPECT_TRUE(catalog.getReference("B").isEmpty());
    EXPECT_TRUE(catalog.getReference("B").getName().isEmpty());

    // Reading again appends; binary data is read under any other name.
    ASSERT_TRUE(catalog.readJSonFile(path("refs.bin")));
    EXPECT_EQ(catalog.getReferenceList().size(), 8u);
    {
        LogCapture log;
        EXPECT_FALSE(catalog.readJSonFile(path("binary.json")));
        ASSERT_EQ(log.critical.size(), 1);
        EXPECT_TRUE(log.critical[0].startsWith(QStringLiteral("JSON read error offset"))) << log.critical[0].toStdString();
    }
    EXPECT_EQ(catalog.getReferenceList().size(), 8u);

    // Copies are independent values.
    SoundStatReferenceCatalog copy(catalog);
    SoundStatReferenceCatalog assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getNameList(), catalog.getNameList());
}

TEST_F(ReferenceTest, MalformedCatalogs)
{
    SoundStatReferenceCatalog catalog;
    write("empty.json", "[]");
    write("object.json", "{\"Class\": \"SoundStatReference\"}");
    write("broken.json", "[{\"Class\": ");
    EXPECT_FALSE(catalog.readJSonFile(path("empty.json")));
    EXPECT_FALSE(catalog.readJSonFile(path("object.json")));
    EXPECT_FALSE(catalog.readJSonFile(path("broken.json")));
    EXPECT_FALSE(catalog.readJSonFile(path("missing.json")));
    EXPECT_TRUE(catalog.isEmpty());

    // A non-object element stops the read; the references before it stay.
    // Incomplete references are appended as far as they were read.
    QJsonObject incomplete = referenceObject("half", {250, 500}, {0, -1});
    incomplete["RelativeLevel"] = "loud";
    const QJsonArray mixed{referenceObject("ok", {250}, {0}), incomplete, 5, referenceObject("late", {1}, {1})};
    write("mixed.json", QJsonDocument(mixed).toJson());
    EXPECT_FALSE(catalog.readJSonFile(path("mixed.json")));
    ASSERT_EQ(catalog.getReferenceList().size(), 2u);
    EXPECT_FALSE(catalog.getReference("ok").isEmpty());
    EXPECT_TRUE(catalog.getReference("half").isEmpty());
    EXPECT_EQ(catalog.getReference("half").getFrequencies().size(), 2u);

    // Every truncation of a binary catalog, and damaged words: no crash.
    const QByteArray good = binary(mixed);
    for (int len = 0; len < good.size(); ++len) {
        write("cut.bin", good.left(len));
        SoundStatReferenceCatalog c;
        c.readJSonFile(path("cut.bin"));
        for (const SoundStatReference& r : c.getReferenceList())
            r.isEmpty();
    }
    for (int word = 0; word + 4 <= good.size(); word += 4) {
        QByteArray bytes = good;
        bytes.replace(word, 4, QByteArray(4, '\xff'));
        write("damaged.bin", bytes);
        SoundStatReferenceCatalog c;
        c.readJSonFile(path("damaged.bin"));
        for (const SoundStatReference& r : c.getReferenceList())
            r.isEmpty();
    }
}

TEST_F(ReferenceTest, NearestReferenceByFrequencies)
{
    SoundStatFile file;
    setLevels(file, {250, 500}, {0, 0, 0});
    const QJsonArray refs{referenceObject("far", {300, 600, 1000}, {0, 0, 0}),
                          referenceObject("other version", {250, 500}, {0, 0}, "2"),
                          referenceObject("longer", {250, 500, 1000}, {0, 0, 0}),
                          referenceObject("tie", {250, 500, 7}, {0, 0, 0}),
                          referenceObject("shorter", {251}, {0})};
    write("refs.json", QJsonDocument(refs).toJson());
    SoundStatReferenceCatalog catalog;
    EXPECT_TRUE(catalog.getNearestReference(file).isEmpty());
    ASSERT_TRUE(catalog.readJSonFile(path("refs.json")));
    // Distance over the common length: "longer" and "tie" are at 0, the
    // first one wins; "other version" is never chosen.
    EXPECT_EQ(catalog.getNearestReference(file).getName(), QStringLiteral("longer"));

    SoundStatFile farFile;
    setLevels(farFile, {2e6, 500}, {0, 0, 0});
    SoundStatReferenceCatalog sameVersionFar;
    write("far.json", QJsonDocument(QJsonArray{referenceObject("x", {250, 500}, {0, 0})}).toJson());
    ASSERT_TRUE(sameVersionFar.readJSonFile(path("far.json")));
    EXPECT_TRUE(sameVersionFar.getNearestReference(farFile).getName().isEmpty());

    SoundStatReferenceCatalog onlyOther;
    write("other.json", QJsonDocument(QJsonArray{referenceObject("x", {250, 500}, {0, 0}, "2")}).toJson());
    ASSERT_TRUE(onlyOther.readJSonFile(path("other.json")));
    EXPECT_TRUE(onlyOther.getNearestReference(file).getName().isEmpty());
}

TEST_F(ReferenceTest, CorrectedLevelsOnlyAttenuate)
{
    SoundStatFile file;
    setLevels(file, {250, 500}, {-2, 0, -10});
    const SoundStatReference r = makeReference({250, 500, 1000}, {0, -6, -3});
    const std::vector<double> c = r.getCorrectedLevels(file, 6.0);
    ASSERT_EQ(c.size(), 3u);
    EXPECT_NEAR(c[0], -4.0, 1e-12);
    EXPECT_NEAR(c[1], -12.0, 1e-12);
    EXPECT_NEAR(c[2], 0.0, 1e-12);

    // All corrections negative: nothing is raised to 0.
    setLevels(file, {250, 500}, {0, 0, 0});
    const std::vector<double> down = makeReference({250, 500, 1000}, {-1, -2, -3}).getCorrectedLevels(file, 6.0);
    EXPECT_EQ(down, (std::vector<double>{-1, -2, -3}));

    // Too few levels for the file's bands, or no band at all: no correction.
    const SoundStatReference shortRef = makeReference({250, 500}, {0, -6});
    EXPECT_TRUE(shortRef.getCorrectedLevels(file, 6.0).empty());
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("2 levels for 3 bands")));
    EXPECT_EQ(shortRef.buildCorrectionFilter(file, 6.0, true), nullptr);
    SoundStatFile empty;
    EXPECT_TRUE(r.getCorrectedLevels(empty, 6.0).empty());
    EXPECT_EQ(r.buildCorrectionFilter(empty, 6.0, false), nullptr);
}

// The filter's cascade against the same bands built here: shelves on the
// outer bands, one peaking band per inner band with that band's correction,
// none where the correction is 0, and the compensation gain.
TEST_F(ReferenceTest, CorrectionFilterCascade)
{
    SoundStatFile file;
    setLevels(file, {500, 1000, 4000}, {-2, 0, -10, -3});
    const SoundStatReference r = makeReference({500, 1000, 4000, 8000}, {0, -6, -3, 0});
    const std::vector<double> c = r.getCorrectedLevels(file, 6.0);
    ASSERT_EQ(c.size(), 4u);
    EXPECT_NEAR(c[0], -4.0, 1e-12);
    EXPECT_NEAR(c[1], -12.0, 1e-12);
    EXPECT_NEAR(c[2], 0.0, 1e-12);
    EXPECT_NEAR(c[3], -3.0, 1e-12);

    // The three inner bands all overlap 832 Hz - 9.4 kHz; the mean power of
    // their gains (-12, 0 and -3 dB) is made up by the output gain.
    const double compensation = -10.0 * std::log10((std::pow(10.0, -1.2) + 1.0 + std::pow(10.0, -0.3)) / 3.0);
    Frames impulse(4096, {0.0, 0.0});
    impulse[0] = {1.0, 0.5};
    for (bool setGain : {false, true}) {
        SCOPED_TRACE(setGain ? "with gain" : "without gain");
        SoundAlgoFilter* filter = nullptr;
        LogCapture log;
        filter = r.buildCorrectionFilter(file, 6.0, setGain);
        ASSERT_NE(filter, nullptr);
        if (setGain) {
            ASSERT_EQ(log.debug.size(), 1);
            EXPECT_TRUE(log.debug[0].startsWith(QStringLiteral("buildCorrectionFilter : correction=")));
            EXPECT_NEAR(log.debug[0].section('=', 1).toDouble(), compensation, 1e-4);
        } else {
            EXPECT_TRUE(log.debug.isEmpty());
        }
        const Frames out = runStreamAt(*filter, impulse, 44100);
        filter->release();

        double fco1, w1, fco3, w3;
        SoundTools::get_fco(500, 1000, fco1, w1);
        SoundTools::get_fco(4000, 8000, fco3, w3);
        std::vector<std::shared_ptr<SoundTools::Filter>> kernels{
            SoundTools::BiquadEqBuilder(SoundTools::LowShelf, 500, 1.0, -4.0).buildFilter(44100),
            SoundTools::BiquadEqBuilder(SoundTools::HighShelf, 8000, 1.0, -3.0).buildFilter(44100),
            SoundTools::BiquadEqBuilder(SoundTools::BandEq, fco1, w1, -12.0).buildFilter(44100),
            SoundTools::BiquadEqBuilder(SoundTools::BandEq, fco3, w3, -3.0).buildFilter(44100)};
        kernels.back()->setGain(setGain ? std::pow(10.0, compensation / 20.0) : 1.0);
        Frames want = impulse;
        for (auto& k : kernels)
            k->filter(want.data(), want.data(), static_cast<unsigned int>(want.size()));
        ASSERT_EQ(out.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_NEAR(out[i].left, want[i].left, 1e-12) << i;
            ASSERT_NEAR(out[i].right, want[i].right, 1e-12) << i;
        }
    }
}

// A recording that needs no correction gets a filter that runs and passes
// the signal through.
TEST_F(ReferenceTest, NoCorrectionGivesPassThrough)
{
    SoundStatFile file;
    setLevels(file, {500, 1000}, {0, 0, 0});
    const SoundStatReference r = makeReference({500, 1000, 2000}, {0, 0, 0});
    EXPECT_EQ(r.getCorrectedLevels(file, 6.0), (std::vector<double>{0, 0, 0}));
    SoundAlgoFilter* filter = r.buildCorrectionFilter(file, 6.0, true);
    ASSERT_NE(filter, nullptr);
    const Frames x = testsignals::noiseFrames(3000, 9);
    const Frames out = runStreamAt(*filter, x, 44100);
    filter->release();
    ASSERT_EQ(out.size(), x.size());
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(out[i].left, x[i].left, 1e-12) << i;
}

// Noise whose top is raised by a high shelf: the correction filter chosen
// from the catalog brings its band levels back towards the untilted noise.
TEST_F(ReferenceTest, CorrectionUndoesAKnownTilt)
{
    const Frames flat = testsignals::noiseFrames(3 * 44100, 17, 0.3);
    Frames tilted = flat;
    SoundTools::BiquadEqBuilder(SoundTools::HighShelf, 2000, 1.0, 8.0)
        .buildFilter(44100)
        ->filter(tilted.data(), tilted.data(), static_cast<unsigned int>(tilted.size()));

    SoundStatFile flatFile;
    analyse(flat, flatFile);
    std::vector<double> freqs = SoundStatReference::getDefaultFrequencies();
    freqs.push_back(16000);
    QJsonArray refs{referenceObject("flat", freqs, flatFile.getRelativeLevels()),
                    referenceObject("wrong", {1, 2}, {0, 0})};
    write("refs.json", QJsonDocument(refs).toJson());
    SoundStatReferenceCatalog catalog;
    ASSERT_TRUE(catalog.readJSonFile(path("refs.json")));

    SoundStatFile tiltedFile;
    analyse(tilted, tiltedFile);
    const SoundStatReference ref = catalog.getNearestReference(tiltedFile);
    ASSERT_EQ(ref.getName(), QStringLiteral("flat"));
    const std::vector<double> target = ref.getLevels();
    const double before = distance(tiltedFile.getRelativeLevels(), target);
    EXPECT_GT(before, 2.0);

    SoundAlgoFilter* filter = ref.buildCorrectionFilter(tiltedFile, 12.0, true);
    ASSERT_NE(filter, nullptr);
    const Frames corrected = runStreamAt(*filter, tilted, 44100, 16384);
    filter->release();
    SoundStatFile correctedFile;
    analyse(corrected, correctedFile);
    const double after = distance(correctedFile.getRelativeLevels(), target);
    EXPECT_LT(after, 0.35 * before) << "before " << before << " dB, after " << after << " dB";
}
