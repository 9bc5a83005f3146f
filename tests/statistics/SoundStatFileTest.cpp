// The statistics file: band data (level or FFT statistics) and reference
// counts, relative levels, a
// whole analysis written and read back, file names, refused, malformed and
// corrupted files, and write failures.
#include "FileSizeLimit.h"
#include "StatsTestSupport.h"
#include "TestSignals.h"

#include "RMSStepDetector.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoFFTStats.h"
#include "SoundStatFile.h"
#include "detail/JsonDocumentFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>
#include <random>

using namespace statstest;

namespace {

class StatFileTest : public StatsTest {
protected:
    QString path(const QString& name) const { return mDir.filePath(name); }

    static QByteArray readBytes(const QString& name)
    {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void writeBytes(const QString& name, const QByteArray& bytes)
    {
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    static QByteArray binary(const QJsonObject& root)
    {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        return QJsonDocument(root).toBinaryData();
        QT_WARNING_POP
    }

    QTemporaryDir mDir;
};

// Tracks whether a node has been deleted.
struct Watch {
    explicit Watch(QObject* o) : alive(std::make_shared<bool>(true))
    {
        auto flag = alive;
        QObject::connect(o, &QObject::destroyed, [flag]() { *flag = false; });
    }
    std::shared_ptr<bool> alive;
};

// Three noise passages of 6 s at 8 kHz: loud, quiet, loud (long enough for
// the quiet one to lie before the last 10 s, where a drop opens no region).
Frames passages()
{
    Frames x = testsignals::noiseFrames(144000, 31, 1.0);
    for (size_t i = 48000; i < 96000; ++i) {
        x[i].left *= 0.01;
        x[i].right *= 0.01;
    }
    for (size_t i = 0; i < x.size(); ++i) {
        x[i].left *= 0.3;
        x[i].right *= 0.2;
    }
    return x;
}

} // namespace

TEST_F(StatFileTest, BandDataNeedsOneNodeMoreThanFrequencies)
{
    SoundStatFile file;
    EXPECT_STREQ(SoundStatFile::getExtension(), "ssf");
    EXPECT_EQ(file.getVersion(), QStringLiteral("1"));
    std::vector<SoundAlgoStats*> three{statsAtLevel(-1), statsAtLevel(-2), statsAtLevel(-3)};
    file.setStats({100, 1000}, three, false);
    std::vector<double> freqs;
    std::vector<SoundAlgoStats*> stats;
    file.getStats(freqs, stats);
    EXPECT_EQ(freqs, (std::vector<double>{100, 1000}));
    EXPECT_EQ(stats, three);

    std::vector<SoundAlgoStats*> others{statsAtLevel(-1), statsAtLevel(-2), statsAtLevel(-3)};
    std::vector<Watch> watches{Watch(three[0]), Watch(three[1]), Watch(three[2])};
    {
        LogCapture log;
        file.setStats({100, 1000, 5000}, others, true);
        ASSERT_EQ(log.critical.size(), 1);
        EXPECT_TRUE(log.critical[0].contains(
            QRegularExpression(QStringLiteral("SoundStatFile::setStats : incoherent input sizes stats=\\W*3\\W+freqs=\\W*3"))))
            << log.critical[0].toStdString();
    }
    // The refused call still dropped what the file held.
    file.getStats(freqs, stats);
    EXPECT_TRUE(freqs.empty());
    EXPECT_TRUE(stats.empty());
    EXPECT_TRUE(file.getRelativeLevels().empty());
    for (const Watch& w : watches)
        EXPECT_FALSE(*w.alive);
    for (SoundAlgoStats* s : others) {
        EXPECT_EQ(s->getRefCount(), 1);
        s->release();
    }
}

TEST_F(StatFileTest, ReferenceCountsOfSettersAndCopies)
{
    std::vector<SoundAlgoStats*> nodes{statsAtLevel(-1), statsAtLevel(-2)};
    auto* detector = new RMSStepDetector();
    {
        SoundStatFile file;
        file.setStats({500}, nodes, true);
        file.setStepDetector(detector, true);
        // Giving the file what it holds already keeps one reference.
        file.setStepDetector(detector, true);
        file.setStats({500}, nodes, true);
        EXPECT_EQ(nodes[0]->getRefCount(), 2);
        EXPECT_EQ(detector->getRefCount(), 2);
        {
            SoundStatFile copy(file);
            EXPECT_EQ(nodes[1]->getRefCount(), 3);
            EXPECT_EQ(detector->getRefCount(), 3);
            SoundStatFile assigned;
            SoundAlgoStats* own = statsAtLevel(0);
            Watch ownWatch(own);
            assigned.setStats({}, {own}, false);
            assigned = copy;
            EXPECT_FALSE(*ownWatch.alive);
            assigned = assigned;
            EXPECT_EQ(nodes[0]->getRefCount(), 4);
            EXPECT_EQ(assigned.getFrequencies(), (std::vector<double>{500}));
            EXPECT_EQ(assigned.getStepDetector(), detector);
        }
        EXPECT_EQ(nodes[0]->getRefCount(), 2);
        EXPECT_EQ(detector->getRefCount(), 2);
    }
    // The caller's references are untouched.
    EXPECT_EQ(nodes[0]->getRefCount(), 1);
    EXPECT_EQ(nodes[1]->getRefCount(), 1);
    EXPECT_EQ(detector->getRefCount(), 1);

    // Adopted references go with the file.
    Watch w0(nodes[0]), w1(nodes[1]), wd(detector);
    {
        SoundStatFile file;
        file.setStats({500}, nodes, false);
        file.setStepDetector(detector, false);
        EXPECT_EQ(nodes[0]->getRefCount(), 1);
    }
    EXPECT_FALSE(*w0.alive);
    EXPECT_FALSE(*w1.alive);
    EXPECT_FALSE(*wd.alive);
}

TEST_F(StatFileTest, RelativeLevelsAndSampleRate)
{
    SoundStatFile file;
    EXPECT_EQ(file.getSampleRate(), 44100u);
    EXPECT_TRUE(file.getRelativeLevels().empty());

    file.setStats({250, 2000}, {statsAtLevel(-10), statsAtLevel(-3), statsAtLevel(-6)}, false);
    const std::vector<double> rel = file.getRelativeLevels();
    ASSERT_EQ(rel.size(), 3u);
    EXPECT_NEAR(rel[0], -7.0, 1e-12);
    EXPECT_NEAR(rel[1], 0.0, 1e-12);
    EXPECT_NEAR(rel[2], -3.0, 1e-12);

    // Silent bands: all at -100 dB, none below the loudest.
    file.setStats({250}, {makeStats(100, 0, 0), makeStats(100, 0, 0, 0, 0, 48000)}, false);
    EXPECT_EQ(file.getRelativeLevels(), (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(file.getSampleRate(), 44100u);

    // A band that saw no frame counts as 0 dB, the loudest.
    file.setStats({250}, {statsAtLevel(-10), makeStats(0, 0, 0, 0, 0, 48000)}, false);
    const std::vector<double> withEmpty = file.getRelativeLevels();
    EXPECT_NEAR(withEmpty[0], -10.0, 1e-12);
    EXPECT_EQ(withEmpty[1], 0.0);
}

// A multiband tree of statistics nodes followed by a step detector, run
// once, written and read back under another audio extension.
TEST_F(StatFileTest, WholeAnalysisRoundTrip)
{
    auto* top = new SoundAlgoComposite(QStringLiteral("analysis"));
    auto* tree = new SoundAlgoComposite(QStringLiteral("bands"));
    SoundAlgoStats::FrequencyBuilder builder;
    const std::vector<double> freqs{250, 1000, 2500};
    tree->buildMultibandTree(freqs, builder, true);
    auto* detector = new RMSStepDetector(-30.0, 0.2, 1.0, RMSStepDetector::PassThrough);
    top->pushAlgo(tree);
    top->pushAlgo(detector);
    const Frames x = passages();
    const Frames out = runStreamAt(*top, x, 8000, 8192, 3000);
    ASSERT_EQ(out.size(), x.size());
    ASSERT_GE(detector->size(), 3);

    SoundStatFile written;
    written.setStats(freqs, builder.getStatsVector(), true);
    written.setStepDetector(detector, true);
    ASSERT_TRUE(QDir().mkpath(path("x")));
    ASSERT_TRUE(written.writeJSonFile(path("x/a.wav")));
    EXPECT_FALSE(QFile::exists(path("x/a.wav")));
    EXPECT_TRUE(readBytes(path("x/a.ssf")).startsWith("qbjs"));

    // The tree and the detector are gone from the graph; the file keeps its
    // nodes alive.
    const std::vector<SoundAlgoStats*> bands = builder.getStatsVector();
    top->release();
    for (SoundAlgoStats* s : bands)
        EXPECT_EQ(s->getRefCount(), 1);
    EXPECT_EQ(detector->getRefCount(), 1);

    SoundStatFile read;
    ASSERT_TRUE(read.readJSonFile(path("x/a.flac")));
    EXPECT_EQ(read.getVersion(), QStringLiteral("1"));
    EXPECT_EQ(read.getFrequencies(), freqs);
    EXPECT_EQ(read.getSampleRate(), 8000u);
    std::vector<double> f;
    std::vector<SoundAlgoStats*> back;
    read.getStats(f, back);
    ASSERT_EQ(back.size(), bands.size());
    for (size_t b = 0; b < bands.size(); ++b) {
        EXPECT_EQ(back[b]->getTotalCount(), x.size()) << b;
        EXPECT_EQ(back[b]->getTotalCount(), bands[b]->getTotalCount()) << b;
        EXPECT_EQ(back[b]->getSquareSums().left, bands[b]->getSquareSums().left) << b;
        EXPECT_EQ(back[b]->getSquareSums().right, bands[b]->getSquareSums().right) << b;
        EXPECT_EQ(back[b]->getPeaks().left, bands[b]->getPeaks().left) << b;
        EXPECT_EQ(back[b]->getPeaks().right, bands[b]->getPeaks().right) << b;
        EXPECT_EQ(back[b]->getRefCount(), 1);
    }
    EXPECT_EQ(read.getRelativeLevels(), written.getRelativeLevels());
    RMSStepDetector* d = read.getStepDetector();
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->size(), detector->size());
    for (int i = 0; i < d->size(); ++i) {
        const auto a = detector->getRegion(i);
        const auto b = d->getRegion(i);
        EXPECT_EQ(a.BeginSample, b.BeginSample) << i;
        EXPECT_EQ(a.SampleNb, b.SampleNb) << i;
        EXPECT_EQ(a.RMSSqrValue0, b.RMSSqrValue0) << i;
        EXPECT_EQ(a.RMSSqrValue1, b.RMSSqrValue1) << i;
        EXPECT_EQ(a.MeanSmpl, b.MeanSmpl) << i;
        EXPECT_EQ(a.IsNoise, b.IsNoise) << i;
    }
    EXPECT_EQ(d->getSegmentsNumber(), detector->getSegmentsNumber());

    // A second successful read replaces everything, the detector included.
    SoundStatFile other;
    other.setStats({}, {statsAtLevel(-4)}, false);
    ASSERT_TRUE(other.writeJSonFile(path("x/b")));
    Watch oldDetector(d);
    ASSERT_TRUE(read.readJSonFile(path("x/b.ssf")));
    EXPECT_FALSE(*oldDetector.alive);
    EXPECT_EQ(read.getStepDetector(), nullptr);
    EXPECT_TRUE(read.getFrequencies().empty());
}

TEST_F(StatFileTest, FileNamesGetTheStatisticsExtension)
{
    SoundStatFile file;
    file.setStats({}, {statsAtLevel(-1)}, false);
    ASSERT_TRUE(QDir().mkpath(path("d/a.b")));
    ASSERT_TRUE(file.writeJSonFile(path("d/song")));
    EXPECT_TRUE(QFile::exists(path("d/song.ssf")));
    ASSERT_TRUE(file.writeJSonFile(path("d/a.b/track")));
    EXPECT_TRUE(QFile::exists(path("d/a.b/track.ssf")));
    ASSERT_TRUE(file.writeJSonFile(path("d/take.MP3")));
    EXPECT_TRUE(QFile::exists(path("d/take.ssf")));
    // Back slashes are directory separators.
    ASSERT_TRUE(file.writeJSonFile(path("d/a.b/bs.wav").replace('/', '\\')));
    EXPECT_TRUE(QFile::exists(path("d/a.b/bs.ssf")));
    // No base name, no file.
    EXPECT_FALSE(file.writeJSonFile(path("d/.wav")));
    EXPECT_FALSE(file.writeJSonFile(path("d/")));
    EXPECT_FALSE(QFile::exists(path("d/.ssf")));
    SoundStatFile back;
    EXPECT_TRUE(back.readJSonFile(path("d/a.b/bs.ogg")));
    EXPECT_FALSE(back.readJSonFile(path("d/.ssf")));
}

TEST_F(StatFileTest, RefusedFilesKeepThePreviousContent)
{
    SoundStatFile file;
    SoundAlgoStats* kept = statsAtLevel(-1);
    auto* detector = new RMSStepDetector();
    file.setStats({}, {kept}, false);
    file.setStepDetector(detector, false);

    QJsonObject valid{{"Class", "SoundStatFile"}, {"Version", "1"}, {"BandFreqs", QJsonArray()}, {"BandStats", QJsonArray()}};
    QJsonObject otherClass = valid;
    otherClass["Class"] = "SoundAlgoStats";
    QJsonObject noVersion = valid;
    noVersion.remove("Version");
    QJsonObject numericVersion = valid;
    numericVersion["Version"] = 1;
    QJsonObject noClass = valid;
    noClass.remove("Class");
    int i = 0;
    for (const QJsonObject& o : {otherClass, noVersion, numericVersion, noClass, QJsonObject()}) {
        const QString name = path(QStringLiteral("bad%1.ssf").arg(i++));
        writeBytes(name, binary(o));
        EXPECT_FALSE(file.readJSonFile(name)) << name.toStdString();
    }
    // JSON text, an array root, garbage, an empty file, no file.
    writeBytes(path("text.ssf"), QJsonDocument(valid).toJson());
    writeBytes(path("array.ssf"), QByteArray("qbjs\x01\x00\x00\x00", 8) + QByteArray(16, '\0'));
    writeBytes(path("garbage.ssf"), QByteArray(100, 'z'));
    writeBytes(path("empty.ssf"), QByteArray());
    for (const char* name : {"text.ssf", "array.ssf", "garbage.ssf", "empty.ssf", "missing.ssf"})
        EXPECT_FALSE(file.readJSonFile(path(name))) << name;

    std::vector<double> f;
    std::vector<SoundAlgoStats*> stats;
    file.getStats(f, stats);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0], kept);
    EXPECT_EQ(file.getStepDetector(), detector);
}

// Values of the wrong type are skipped or read as 0, as far as they go; the
// number of band nodes is not checked against the frequencies.
TEST_F(StatFileTest, MalformedContentIsReadAsFarAsValid)
{
    QJsonObject goodStats{{"Class", "SoundAlgoStats"}, {"OutputType", 2}, {"WindowTime", 0.0}, {"TotalCount", 10}};
    QJsonArray manyFreqs;
    for (int i = 0; i < 20000; ++i)
        manyFreqs.append(i + 0.5);
    QJsonObject root{{"Class", "SoundStatFile"},
                     {"Version", "7"},
                     {"BandFreqs", QJsonArray{100, "x", QJsonArray(), 300}},
                     {"BandStats", QJsonArray{1, QJsonObject{{"Class", "Other"}}, goodStats, "s", QJsonObject()}},
                     {"StepDetector", QJsonObject{{"Class", "RMSStepDetector"}, {"IsNoise", 3}}}};
    writeBytes(path("odd.ssf"), binary(root));
    SoundStatFile file;
    ASSERT_TRUE(file.readJSonFile(path("odd.ssf")));
    EXPECT_EQ(file.getVersion(), QStringLiteral("7"));
    EXPECT_EQ(file.getFrequencies(), (std::vector<double>{100, 0, 0, 300}));
    std::vector<double> f;
    std::vector<SoundAlgoStats*> stats;
    file.getStats(f, stats);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]->getTotalCount(), 10u);
    EXPECT_EQ(file.getStepDetector(), nullptr);

    // Arrays where objects are expected, objects where arrays are.
    QJsonObject swapped{{"Class", "SoundStatFile"},
                        {"Version", "1"},
                        {"BandFreqs", QJsonObject{{"a", 1}}},
                        {"BandStats", goodStats},
                        {"StepDetector", QJsonArray{1, 2}}};
    writeBytes(path("swapped.ssf"), binary(swapped));
    ASSERT_TRUE(file.readJSonFile(path("swapped.ssf")));
    EXPECT_TRUE(file.getFrequencies().empty());
    EXPECT_TRUE(file.getRelativeLevels().empty());

    // A long frequency list with a single band.
    QJsonObject many{{"Class", "SoundStatFile"}, {"Version", "1"}, {"BandFreqs", manyFreqs}, {"BandStats", QJsonArray{goodStats}}};
    writeBytes(path("many.ssf"), binary(many));
    ASSERT_TRUE(file.readJSonFile(path("many.ssf")));
    EXPECT_EQ(file.getFrequencies().size(), 20000u);
    EXPECT_EQ(file.getRelativeLevels().size(), 1u);
}

// Every truncation and many damaged bytes of a real file: each read either
// fails or gives a file whose content can be used.
TEST_F(StatFileTest, CorruptedBinaryFilesNeverCrash)
{
    auto* tree = new SoundAlgoComposite();
    SoundAlgoStats::FrequencyBuilder builder;
    tree->buildMultibandTree({500, 2000}, builder, false);
    auto* detector = new RMSStepDetector(-30.0);
    tree->pushAlgo(detector);
    runStreamAt(*tree, passages(), 8000);
    SoundStatFile file;
    file.setStats({500, 2000}, builder.getStatsVector(), true);
    file.setStepDetector(detector, true);
    tree->release();
    ASSERT_TRUE(file.writeJSonFile(path("good.ssf")));
    const QByteArray good = readBytes(path("good.ssf"));
    ASSERT_GT(good.size(), 100);

    auto probe = [&](const QByteArray& bytes, const std::string& what) {
        writeBytes(path("bad.ssf"), bytes);
        SoundStatFile damaged;
        if (!damaged.readJSonFile(path("bad.ssf")))
            return 0;
        // Whatever was accepted is usable.
        const std::vector<double> levels = damaged.getRelativeLevels();
        for (double l : levels)
            EXPECT_FALSE(l > 0.0) << what;
        if (RMSStepDetector* d = damaged.getStepDetector()) {
            for (int i = 0; i < d->size(); ++i)
                d->getRegion(i);
        }
        EXPECT_TRUE(damaged.writeJSonFile(path("rewritten.ssf"))) << what;
        return 1;
    };
    int accepted = 0;
    for (int len = 0; len < good.size(); ++len)
        accepted += probe(good.left(len), "truncated to " + std::to_string(len));
    EXPECT_EQ(accepted, 0) << "a truncated file was accepted";

    std::mt19937 rng(5);
    for (int trial = 0; trial < 300; ++trial) {
        QByteArray bytes = good;
        const int pos = static_cast<int>(rng() % static_cast<unsigned>(bytes.size()));
        if (trial % 2 == 0) {
            bytes[pos] = static_cast<char>(bytes[pos] ^ static_cast<char>(1 << (rng() % 8)));
        } else {
            // A 32-bit word set to a huge value: sizes and offsets.
            const int word = pos & ~3;
            for (int k = 0; k < 4 && word + k < bytes.size(); ++k)
                bytes[word + k] = static_cast<char>(trial % 4 == 1 ? 0xff : 0x7f);
        }
        probe(bytes, "damaged at " + std::to_string(pos));
    }
}

TEST_F(StatFileTest, WriteFailuresAreReported)
{
    SoundStatFile file;
    file.setStats({}, {statsAtLevel(-1)}, false);
    {
        LogCapture log;
        EXPECT_FALSE(file.writeJSonFile(path("no/such/dir/a.wav")));
        ASSERT_EQ(log.critical.size(), 1);
        EXPECT_TRUE(log.critical[0].contains(QStringLiteral("JSON write error ; unable to open file")));
        EXPECT_TRUE(log.critical[0].contains(QStringLiteral("no/such/dir/a.ssf")));
    }
    // A full disk is a failure, not a success.
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        const QJsonDocument doc(QJsonObject{{"Class", "SoundStatFile"}});
        EXPECT_FALSE(vexa::detail::saveJsonDocument(doc, QStringLiteral("/dev/full"), true));
        EXPECT_FALSE(vexa::detail::saveJsonDocument(doc, QStringLiteral("/dev/full"), false));
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("/dev/full")));
    }
    // The disk fills in the middle of the file (a file-size limit below the
    // document's size), binary and text: false, and the file named.
    const QJsonDocument doc(QJsonObject{{"Class", "SoundStatFile"}, {"Padding", QString(8192, QLatin1Char('p'))}});
    for (bool binary : {true, false}) {
        const QString name = path(binary ? "limited.ssf" : "limited.json");
        SoundDebuggableClass::setError(QString());
        {
            FileSizeLimit limit(1024);
            ASSERT_TRUE(limit.active());
            EXPECT_FALSE(vexa::detail::saveJsonDocument(doc, name, binary)) << binary;
        }
        EXPECT_TRUE(SoundDebuggableClass::getError().contains(name)) << qPrintable(SoundDebuggableClass::getError());
    }
}

// Qt's binary JSON cannot address more than 128 MiB: such a document would
// be written with values missing. It is refused and an existing file stays.
TEST_F(StatFileTest, DocumentTooLargeForBinaryJsonIsRefused)
{
    const QString name = path("large.ssf");
    writeBytes(name, QByteArray("previous"));
    QJsonDocument large(QJsonObject{{"Version", QString(68 * 1000 * 1000, QLatin1Char('v'))}, {"Class", "SoundStatFile"}});
    EXPECT_FALSE(vexa::detail::saveJsonDocument(large, name, true));
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(QStringLiteral("too large")));
    EXPECT_EQ(readBytes(name), QByteArray("previous"));
    // Text has no such limit.
    large = QJsonDocument(QJsonObject{{"Class", "SoundStatFile"}});
    EXPECT_TRUE(vexa::detail::saveJsonDocument(large, name, true));
    EXPECT_EQ(vexa::detail::loadJsonDocument(name, true), large);
}

// FFT statistics in place of band nodes: written, read back with the same
// per-bin powers and band levels; each kind of band data replaces the other.
TEST_F(StatFileTest, FftStatisticsRoundTrip)
{
    auto* fft = new SoundAlgoFFTStats();
    {
        auto* chain = new SoundAlgoComposite();
        chain->pushAlgo(new SoundAlgoFFTDirectCompute(512, true, false));
        fft->addRef();
        chain->pushAlgo(fft);
        chain->pushAlgo(new SoundAlgoFFTInverseCompute(false));
        // Noise with its left channel louder, and a quiet tail.
        Frames x = testsignals::noiseFrames(40000, 8, 0.5);
        for (size_t i = 30000; i < x.size(); ++i)
            x[i] = {x[i].left * 0.1, x[i].right * 0.1};
        runStreamAt(*chain, x, 8000, 4096);
        chain->release();
    }
    ASSERT_EQ(fft->getRefCount(), 1);
    ASSERT_EQ(fft->getPowers().size(), 257u);
    const std::vector<double> freqs{500, 2000};
    const std::vector<double> levels = fft->getStats(freqs);

    SoundStatFile file;
    SoundAlgoStats* bandNode = statsAtLevel(-1);
    Watch band(bandNode);
    file.setStats({250}, {bandNode, statsAtLevel(-2)}, false);
    file.setStats(freqs, fft, true);
    EXPECT_FALSE(*band.alive);
    EXPECT_EQ(fft->getRefCount(), 2);
    EXPECT_EQ(file.getFFTStats(), fft);
    EXPECT_EQ(file.getRelativeLevels(), levels);
    EXPECT_EQ(file.getSampleRate(), 8000u);
    ASSERT_TRUE(file.writeJSonFile(path("fft.wav")));

    SoundStatFile read;
    ASSERT_TRUE(read.readJSonFile(path("fft.ssf")));
    SoundAlgoFFTStats* back = read.getFFTStats();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->getPowers(), fft->getPowers());
    EXPECT_EQ(back->getCount(), fft->getCount());
    EXPECT_EQ(read.getFrequencies(), freqs);
    EXPECT_EQ(read.getRelativeLevels(), levels);
    std::vector<double> f;
    std::vector<SoundAlgoStats*> none;
    read.getStats(f, none);
    EXPECT_TRUE(none.empty());

    // Band nodes replace the FFT statistics, which the file releases.
    file.setStats({}, {statsAtLevel(-3)}, false);
    EXPECT_EQ(file.getFFTStats(), nullptr);
    EXPECT_EQ(fft->getRefCount(), 1);
    // FFT statistics without values are not read.
    QJsonObject root{{"Class", "SoundStatFile"}, {"Version", "1"}, {"FFTStats", QJsonObject{{"Class", "SoundAlgoFFTStats"}}}};
    writeBytes(path("nofft.ssf"), binary(root));
    ASSERT_TRUE(read.readJSonFile(path("nofft.ssf")));
    EXPECT_EQ(read.getFFTStats(), nullptr);
    fft->release();
}
