// vexa match IN: compares the band levels of a recording with a reference
// spectrum from a catalog, prints the correction per band and, with --apply,
// writes the recording through the correction equalizer.
#include "Analysis.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "Plot.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

// The catalog built into the tool (tools/vexa/references.json).
const char* const kDefaultCatalog = ":/vexa/references.json";
const unsigned int kFftSize = 8192;

const std::vector<OptionSpec> kOptions = withOutputOptions({
    {"catalog", "FILE", "reference catalog: JSON text when named .json, else Qt binary JSON (default: the built-in one)"},
    {"reference", "NAME", "compare with this reference instead of the nearest"},
    {"list", nullptr, "list the catalog's references and their band levels"},
    {"max-correction", "DB", "largest correction of a band before levelling (default 6)"},
    {"apply", "OUT", "write IN through the correction equalizer to OUT (tags copied)"},
    {"no-makeup", nullptr, "with --apply: no output gain (by default it restores the level the correction takes "
                           "from 830 Hz to 9.4 kHz)"},
    {"json", nullptr, "print the results as JSON on standard output"},
    {"plot", "FILE.svg", "draw the band levels with the reference and the correction"},
    {"quiet", nullptr, "no progress bar"},
    {"help", nullptr, "show this help"},
});

double rounded(double v)
{
    return std::round(v * 100.0) / 100.0;
}

// Root mean square of the level differences over the recording's bands.
double curveDistance(const std::vector<double>& reference, const std::vector<double>& relative)
{
    double sum = 0.0;
    for (size_t b = 0; b < relative.size(); ++b)
        sum += (reference[b] - relative[b]) * (reference[b] - relative[b]);
    return std::sqrt(sum / static_cast<double>(relative.size()));
}

// The band splits a reference is made for: its frequencies but the last,
// which is where its top band's shelf sits.
std::vector<double> splitsOf(const SoundStatReference& reference)
{
    std::vector<double> splits = reference.getFrequencies();
    splits.pop_back();
    return splits;
}

int listCatalog(const SoundStatReferenceCatalog& catalog, const QString& catalogName, bool json)
{
    QJsonArray list;
    if (!json)
        std::printf("%s\n", qUtf8Printable(catalogName));
    for (const SoundStatReference& r : catalog.getReferenceList()) {
        QJsonArray bands;
        QString levels;
        for (size_t b = 0; b < r.getLevels().size(); ++b) {
            const double f = b < r.getFrequencies().size() ? r.getFrequencies()[b] : 0.0;
            bands.append(QJsonObject{{"frequency_hz", f}, {"relative_db", r.getLevels()[b]}});
            levels += QStringLiteral(" %1").arg(r.getLevels()[b], 0, 'f', 1);
        }
        list.append(QJsonObject{{"name", r.getName()}, {"version", r.getVersion()}, {"complete", !r.isEmpty()}, {"bands", bands}});
        if (!json)
            std::printf("  %-20s %s%s\n", qUtf8Printable(r.getName()), r.isEmpty() ? "(incomplete)" : "dB:",
                        qUtf8Printable(levels));
    }
    if (json)
        std::printf("%s", QJsonDocument(QJsonObject{{"catalog", catalogName}, {"references", list}}).toJson().constData());
    return ExitOk;
}

} // namespace

int runMatch(int argc, char** argv)
{
    ParsedArgs args;
    const int early = startCommand(
        argc, argv, "match", kOptions,
        "vexa match IN [--catalog FILE] [--reference NAME] [--max-correction DB] [--apply OUT] [--json] [--plot FILE.svg]",
        "Measures the level of each frequency band of IN and compares it with a reference spectrum: the named one,\n"
        "or of the references made for the same bands, the one whose levels lie nearest (smallest RMS difference).\n"
        "Prints the correction of each band: the reference's level minus the recording's, at most --max-correction,\n"
        "then lowered so that no band is boosted. --apply writes IN through the equalizer that makes it: a low and a\n"
        "high shelf and one peaking band per inner band. The built-in catalog holds \"pink noise\" (equal energy per\n"
        "octave) and \"speech\" (the long-term average speech spectrum of ANSI S3.5-1997); --list shows it.",
        "  vexa match lecture.flac --reference speech --apply lecture-eq.flac\n"
        "  vexa match side_a.wav --catalog my-references.json --json\n"
        "  vexa match side_a.wav --plot side_a-match.svg\n"
        "  vexa match --list\n",
        args);
    if (early >= 0)
        return early;
    QString error;

    const QString catalogFile = args.value("catalog", QString::fromLatin1(kDefaultCatalog));
    // What people see: the file they named, or the tool's own catalog.
    const QString catalogName = args.has("catalog") ? catalogFile : QStringLiteral("built-in catalog");
    SoundStatReferenceCatalog catalog;
    if (!catalog.readJSonFile(catalogFile))
        return fail(QStringLiteral("%1 : not a readable reference catalog (a JSON array of references)").arg(catalogName));
    if (args.has("list"))
        return listCatalog(catalog, catalogName, args.has("json"));

    if (args.positional.size() != 1)
        return fail(QStringLiteral("match needs one file (see vexa match --help)"), ExitUsage);
    const QString in = args.positional[0];
    double maxCorrection = 6.0;
    if (args.has("max-correction") && (!toNumber(args.value("max-correction"), maxCorrection) || maxCorrection < 0 || maxCorrection > 40))
        return fail(QStringLiteral("--max-correction %1: expected a level in dB (0 to 40)").arg(args.value("max-correction")), ExitUsage);
    OutputSettings output;
    output.progress = !args.has("quiet");
    if (!parseOutputOptions(args, output, error) || (args.has("apply") && !checkOutputName(args.value("apply"), error)))
        return fail(error, ExitUsage);

    // The bands to measure: the named reference's, else the default ones,
    // for which the candidates are the references made for them.
    const SoundStatFile blank;
    SoundStatReference named;
    std::vector<double> splits = SoundStatReference::getDefaultFrequencies();
    if (args.has("reference")) {
        const QString name = args.value("reference");
        named = catalog.getReference(name);
        if (!catalog.getNameList().contains(name))
            return fail(QStringLiteral("--reference %1: no such reference in %2 (it has: %3)")
                            .arg(name, catalogName, catalog.getNameList().join(QStringLiteral(", "))),
                        ExitUsage);
        if (named.isEmpty() || named.getFrequencies().size() < 2)
            return fail(QStringLiteral("reference %1 in %2 is incomplete (%3 frequencies, %4 levels)")
                            .arg(name, catalogName)
                            .arg(named.getFrequencies().size())
                            .arg(named.getLevels().size()));
        if (named.getVersion() != blank.getVersion())
            return fail(QStringLiteral("reference %1 in %2 is for statistics version %3, not %4")
                            .arg(name, catalogName, named.getVersion(), blank.getVersion()));
        splits = splitsOf(named);
    }

    // Band powers from FFT statistics: the catalog's curves are band powers,
    // and a tree of crossover filters lets each band see a good part of its
    // neighbours' power (pink noise reads up to 8 dB off its curve there).
    Analysis analysis;
    AnalysisSettings settings;
    settings.splits = splits;
    settings.fftSize = kFftSize;
    settings.segmentation = false; // not needed to compare spectra
    settings.progress = output.progress;
    // A file too narrow for the reference's bands cannot be matched with
    // it: a failed run, not a usage error.
    if (analyseFile(in, settings, analysis, error) != ExitOk)
        return fail(error);
    if (analysis.peak.left <= -100.0 && analysis.peak.right <= -100.0)
        return fail(QStringLiteral("%1 is digital silence: it has no spectrum to match").arg(in));
    const std::vector<double> relative = analysis.file.getRelativeLevels();

    // Nearest: of the references made for these bands, the closest curve.
    std::vector<std::pair<double, SoundStatReference>> candidates;
    for (const SoundStatReference& r : catalog.getReferenceList()) {
        if (r.isEmpty() || r.getVersion() != analysis.file.getVersion() || r.getLevels().size() < relative.size()
            || splitsOf(r) != splits)
            continue;
        candidates.emplace_back(curveDistance(r.getLevels(), relative), r);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    SoundStatReference reference = named;
    if (!args.has("reference")) {
        if (candidates.empty())
            return fail(QStringLiteral("%1 has no reference for the bands %2 Hz (use --reference NAME)")
                            .arg(catalogName, QString::number(splits.front()) + QStringLiteral("...")
                                                  + QString::number(splits.back())));
        reference = candidates.front().second;
    }

    const std::vector<double> corrections = reference.getCorrectedLevels(analysis.file, maxCorrection);
    std::unique_ptr<SoundAlgoFilter, void (*)(SoundAlgoFilter*)> filter(
        reference.buildCorrectionFilter(analysis.file, maxCorrection, !args.has("no-makeup")),
        [](SoundAlgoFilter* f) { f->release(); });
    if (corrections.empty() || !filter)
        return fail(QStringLiteral("no correction from reference %1: %2").arg(reference.getName(), libraryError()));

    const unsigned int rate = analysis.sampleRate;
    if (args.has("plot")) {
        const std::vector<BandCurve> curves = {
            {QStringLiteral("reference: %1").arg(reference.getName()), reference.getLevels(), "#222222"},
            {QStringLiteral("correction"), corrections, "#d95f02"},
        };
        if (!writeText(args.value("plot"), bandPlot(splits, relative, rate, QFileInfo(in).fileName(), curves), error))
            return fail(error);
    }

    if (args.has("apply")) {
        std::unique_ptr<SoundReader> reader = openReader(in, error);
        if (!reader)
            return fail(error);
        SoundIDTag tags;
        reader->getTags(tags);
        if (!renderFile(*reader, filter.get(), in, args.value("apply"), tags, output, error))
            return fail(error);
    }

    const double gain = args.has("no-makeup") ? 0.0 : filter->getOutputGain();
    if (args.has("json")) {
        QJsonArray bands;
        for (size_t b = 0; b < relative.size(); ++b) {
            bands.append(QJsonObject{{"low_hz", b == 0 ? 0.0 : splits[b - 1]},
                                     {"high_hz", b < splits.size() ? splits[b] : rate / 2.0},
                                     {"relative_db", rounded(relative[b])},
                                     {"reference_db", rounded(reference.getLevels()[b])},
                                     {"correction_db", rounded(corrections[b])}});
        }
        QJsonArray nearest;
        for (const auto& [distance, r] : candidates)
            nearest.append(QJsonObject{{"name", r.getName()}, {"rms_difference_db", rounded(distance)}});
        QJsonObject o{{"file", in},
                      {"catalog", catalogName},
                      {"reference", reference.getName()},
                      {"chosen", args.has("reference") ? "named" : "nearest"},
                      {"candidates", nearest},
                      {"max_correction_db", maxCorrection},
                      {"output_gain_db", rounded(gain)},
                      {"bands", bands}};
        if (args.has("apply"))
            o.insert(QStringLiteral("applied"), args.value("apply"));
        std::printf("%s", QJsonDocument(o).toJson().constData());
        return ExitOk;
    }

    std::printf("%s\n", qUtf8Printable(in));
    std::printf("  reference      %s (%s)\n", qUtf8Printable(reference.getName()),
                args.has("reference") ? "named" : "nearest");
    if (!candidates.empty()) {
        QStringList distances;
        for (const auto& [distance, r] : candidates)
            distances << QStringLiteral("%1 %2 dB").arg(r.getName()).arg(distance, 0, 'f', 2);
        std::printf("  RMS difference %s\n", qUtf8Printable(distances.join(QStringLiteral(", "))));
    }
    std::printf("  band                 recording  reference  correction\n");
    for (size_t b = 0; b < relative.size(); ++b) {
        const double low = b == 0 ? 0.0 : splits[b - 1];
        const double high = b < splits.size() ? splits[b] : rate / 2.0;
        std::printf("    %6.0f - %6.0f Hz  %7.2f dB  %7.2f dB  %7.2f dB\n", low, high, relative[b],
                    reference.getLevels()[b], corrections[b]);
    }
    std::printf("  output gain    %+.2f dB\n", gain);
    if (args.has("apply"))
        std::printf("  written        %s\n", qUtf8Printable(args.value("apply")));
    return ExitOk;
}
