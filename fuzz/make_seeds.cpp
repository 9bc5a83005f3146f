// Writes the seed corpora of the fuzz targets from valid files made here:
//   make_seeds DIR   ->  DIR/<target>/<seed>
// Small audio files of every format the readers take, statistics files,
// reference catalogs (text and binary), node JSON and saved regions.
#include "FuzzSupport.h"

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoSelectChannel.h"
#include "SoundAlgoStats.h"
#include "SoundStatFile.h"
#include "SoundStatReference.h"
#include "SoundWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <memory>

namespace {

bool save(const QString& name, const QByteArray& bytes)
{
    QFile f(name);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray binary(const QJsonDocument& document)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return document.toBinaryData();
    QT_WARNING_POP
}

void writeAudio(const QString& name, unsigned int frames, unsigned int rate, SoundTools::SoundFormat format)
{
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(name, rate, 64, format));
    if (!writer || writer->open(name) != SoundTools::StatusOk) {
        std::fprintf(stderr, "make_seeds: cannot write %s\n", qPrintable(name));
        return;
    }
    fuzzsupport::ToneReader reader(frames, rate);
    auto* pass = new SoundAlgoBypass();
    pass->processAll(reader, writer.get());
    pass->release();
    writer->close();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (const char* target : {"fuzz_algo_json", "fuzz_stat_file", "fuzz_catalog", "fuzz_regions",
                               "fuzz_reader_sndfile", "fuzz_reader_mp3"})
        root.mkpath(QString::fromLatin1(target));
    const auto at = [&](const char* target, const QString& name) { return root.filePath(QLatin1String(target) + '/' + name); };

    // Audio: the sndfile target takes its format from the first byte
    // (0 WAV, 1 FLAC, 2 Ogg).
    struct Audio {
        const char* name;
        char selector;
        SoundTools::SoundFormat format;
        unsigned int rate;
    };
    const Audio audio[] = {{"pcm16.wav", 0, SoundTools::PCM16, 8000}, {"float.wav", 0, SoundTools::Float, 8000},
                           {"u8.wav", 0, SoundTools::PCM8, 8000},     {"pcm24.flac", 1, SoundTools::PCM24, 8000},
                           {"tone.ogg", 2, SoundTools::PCM16, 8000}};
    for (const Audio& a : audio) {
        const QString made = at("fuzz_reader_sndfile", QStringLiteral("made-") + QLatin1String(a.name));
        writeAudio(made, 4000, a.rate, a.format);
        QFile f(made);
        if (f.open(QIODevice::ReadOnly)) {
            save(at("fuzz_reader_sndfile", QLatin1String(a.name)), QByteArray(1, a.selector) + f.readAll());
            f.close();
        }
        QFile::remove(made);
    }
    for (unsigned int rate : {8000u, 44100u})
        writeAudio(at("fuzz_reader_mp3", QStringLiteral("tone%1.mp3").arg(rate)), rate / 2, rate, SoundTools::PCM16);

    // A whole analysis: band statistics and regions, as a statistics file.
    auto* branches = new SoundAlgoComposite(QStringLiteral("seed"));
    SoundAlgoStats::FrequencyBuilder bands;
    auto* tree = new SoundAlgoComposite(QStringLiteral("bands"));
    tree->buildMultibandTree({500, 2000}, bands, true);
    branches->pushAlgo(tree);
    branches->addNewBranch();
    auto* detector = new RMSStepDetector(-40.0, 0.05, 1.0, RMSStepDetector::NoOutput);
    branches->pushAlgo(detector);
    detector->addRef();
    for (SoundAlgoStats* s : bands.getStatsVector())
        s->addRef();
    auto* top = new SoundAlgoComposite(QStringLiteral("top"));
    top->pushAlgo(branches);
    top->pushAlgo(new SoundAlgoSelectChannel(0, 2));
    fuzzsupport::ToneReader reader(24000, 8000);
    top->processAll(reader, nullptr);
    top->release();
    SoundStatFile file;
    file.setStats({500, 2000}, bands.getStatsVector(), true);
    file.setStepDetector(detector, true);
    file.writeJSonFile(at("fuzz_stat_file", QStringLiteral("analysis.ssf")));

    // Nodes and regions as JSON.
    QJsonObject detectorJson;
    detector->writeToJSon(detectorJson);
    QJsonObject statsJson;
    bands.getStatsVector().front()->writeToJSon(statsJson);
    save(at("fuzz_regions", QStringLiteral("regions.json")), QJsonDocument(detectorJson).toJson());
    save(at("fuzz_algo_json", QStringLiteral("detector.json")), QJsonDocument(detectorJson).toJson());
    save(at("fuzz_algo_json", QStringLiteral("stats.json")), QJsonDocument(statsJson).toJson());
    save(at("fuzz_algo_json", QStringLiteral("both.json")), QJsonDocument(QJsonArray{detectorJson, statsJson}).toJson());
    detector->release();
    for (SoundAlgoStats* s : bands.getStatsVector())
        s->release();

    // A catalog, as text and as binary JSON.
    QJsonArray catalog;
    QJsonArray freqs;
    QJsonArray levels;
    for (double f : SoundStatReference::getDefaultFrequencies()) {
        freqs.append(f);
        levels.append(-f / 1000.0);
    }
    freqs.append(12500);
    levels.append(-12);
    catalog.append(QJsonObject{{"Class", "SoundStatReference"}, {"Name", "slope"}, {"Version", "1"},
                               {"Frequency", freqs}, {"RelativeLevel", levels}});
    catalog.append(QJsonObject{{"Class", "SoundStatReference"}, {"Name", "two"}, {"Version", "1"},
                               {"Frequency", QJsonArray{1000, 4000}}, {"RelativeLevel", QJsonArray{0, -6}}});
    save(at("fuzz_catalog", QStringLiteral("catalog.json")), QJsonDocument(catalog).toJson());
    save(at("fuzz_catalog", QStringLiteral("catalog.bin")), binary(QJsonDocument(catalog)));
    return 0;
}
