// vexa match IN: compares the band levels of a recording with a reference
// spectrum from a catalog, prints the correction per band and, with --apply,
// writes the recording through the correction equalizer.
#include "MatchCommand.h"

#include "Analysis.h"
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

namespace {

// The catalog built into the tool (tools/vexa/references.json).
const char* const kDefaultCatalog = ":/vexa/references.json";
const unsigned int kFftSize = 8192;

double rounded(double v)
{
    return std::round(v * 100.0) / 100.0;
}

double bandLow(const MatchResult& r, size_t b)
{
    return b == 0 ? 0.0 : r.splits[b - 1];
}

double bandHigh(const MatchResult& r, size_t b)
{
    return b < r.splits.size() ? r.splits[b] : r.sampleRate / 2.0;
}

} // namespace

QByteArray matchJson(const MatchResult& r)
{
    QJsonArray bands;
    for (size_t b = 0; b < r.relativeDb.size(); ++b) {
        bands.append(QJsonObject{{"low_hz", bandLow(r, b)},
                                 {"high_hz", bandHigh(r, b)},
                                 {"relative_db", rounded(r.relativeDb[b])},
                                 {"reference_db", rounded(r.referenceDb[b])},
                                 {"correction_db", rounded(r.correctionDb[b])}});
    }
    QJsonArray nearest;
    for (const auto& [name, distance] : r.candidates)
        nearest.append(QJsonObject{{"name", name}, {"rms_difference_db", rounded(distance)}});
    QJsonObject o{{"file", r.file},
                  {"catalog", r.catalog},
                  {"reference", r.reference},
                  {"chosen", r.named ? "named" : "nearest"},
                  {"candidates", nearest},
                  {"max_correction_db", r.maxCorrectionDb},
                  {"output_gain_db", rounded(r.outputGainDb)},
                  {"bands", bands}};
    if (!r.applied.isEmpty())
        o.insert(QStringLiteral("applied"), r.applied);
    return QJsonDocument(o).toJson();
}

QByteArray matchText(const MatchResult& r)
{
    QByteArray text = strf("%s\n", qUtf8Printable(r.file));
    text += strf("  reference      %s (%s)\n", qUtf8Printable(r.reference), r.named ? "named" : "nearest");
    if (!r.candidates.empty()) {
        QStringList distances;
        for (const auto& [name, distance] : r.candidates)
            distances << QStringLiteral("%1 %2 dB").arg(name).arg(distance, 0, 'f', 2);
        text += strf("  RMS difference %s\n", qUtf8Printable(distances.join(QStringLiteral(", "))));
    }
    text += "  band                 recording  reference  correction\n";
    for (size_t b = 0; b < r.relativeDb.size(); ++b) {
        text += strf("    %6.0f - %6.0f Hz  %7.2f dB  %7.2f dB  %7.2f dB\n", bandLow(r, b), bandHigh(r, b), r.relativeDb[b],
                     r.referenceDb[b], r.correctionDb[b]);
    }
    text += strf("  output gain    %+.2f dB\n", r.outputGainDb);
    if (!r.applied.isEmpty())
        text += strf("  written        %s\n", qUtf8Printable(r.applied));
    return text;
}

namespace {

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
    QByteArray text = strf("%s\n", qUtf8Printable(catalogName));
    for (const SoundStatReference& r : catalog.getReferenceList()) {
        QJsonArray bands;
        QString levels;
        for (size_t b = 0; b < r.getLevels().size(); ++b) {
            const double f = b < r.getFrequencies().size() ? r.getFrequencies()[b] : 0.0;
            bands.append(QJsonObject{{"frequency_hz", f}, {"relative_db", r.getLevels()[b]}});
            levels += QStringLiteral(" %1").arg(r.getLevels()[b], 0, 'f', 1);
        }
        list.append(QJsonObject{{"name", r.getName()}, {"version", r.getVersion()}, {"complete", !r.isEmpty()}, {"bands", bands}});
        text += strf("  %-20s %s%s\n", qUtf8Printable(r.getName()), r.isEmpty() ? "(incomplete)" : "dB:", qUtf8Printable(levels));
    }
    printOut(json ? QJsonDocument(QJsonObject{{"catalog", catalogName}, {"references", list}}).toJson() : text);
    return ExitOk;
}

// The reference named with --reference, checked; ExitOk or an exit status
// with `error` set.
int namedReference(SoundStatReferenceCatalog& catalog, const QString& catalogName, const QString& name,
                   SoundStatReference& named, QString& error)
{
    const SoundStatFile blank;
    named = catalog.getReference(name);
    if (!catalog.getNameList().contains(name)) {
        error = QStringLiteral("--reference %1: no such reference in %2 (it has: %3)")
                    .arg(name, catalogName, catalog.getNameList().join(QStringLiteral(", ")));
        return ExitUsage;
    }
    if (named.isEmpty() || named.getFrequencies().size() < 2) {
        error = QStringLiteral("reference %1 in %2 is incomplete (%3 frequencies, %4 levels)")
                    .arg(name, catalogName)
                    .arg(named.getFrequencies().size())
                    .arg(named.getLevels().size());
        return ExitFailed;
    }
    if (named.getVersion() != blank.getVersion()) {
        error = QStringLiteral("reference %1 in %2 is for statistics version %3, not %4")
                    .arg(name, catalogName, named.getVersion(), blank.getVersion());
        return ExitFailed;
    }
    return ExitOk;
}

// Of the references made for these bands, the curves nearest first.
std::vector<std::pair<double, SoundStatReference>> nearestReferences(const SoundStatReferenceCatalog& catalog,
                                                                     const SoundStatFile& file,
                                                                     const std::vector<double>& splits)
{
    const std::vector<double> relative = file.getRelativeLevels();
    std::vector<std::pair<double, SoundStatReference>> candidates;
    for (const SoundStatReference& r : catalog.getReferenceList()) {
        if (r.isEmpty() || r.getVersion() != file.getVersion() || r.getLevels().size() < relative.size()
            || splitsOf(r) != splits)
            continue;
        candidates.emplace_back(curveDistance(r.getLevels(), relative), r);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return candidates;
}

// What the command works with, from its options.
struct MatchJob {
    QString in;
    QString catalogName;
    SoundStatReferenceCatalog catalog;
    SoundStatReference named; // with --reference
    std::vector<double> splits = SoundStatReference::getDefaultFrequencies();
    double maxCorrection = 6.0;
    OutputSettings output;
};

// Band powers from FFT statistics: the catalog's curves are band powers, and
// a tree of crossover filters lets each band see a good part of its
// neighbours' power (pink noise reads up to 8 dB off its curve there).
// ExitOk or an exit status with `error` set.
int measure(const MatchJob& job, Analysis& analysis, QString& error)
{
    AnalysisSettings settings;
    settings.splits = job.splits;
    settings.fftSize = kFftSize;
    settings.segmentation = false; // not needed to compare spectra
    settings.progress = job.output.progress;
    // A file too narrow for the reference's bands cannot be matched with
    // it: a failed run, not a usage error.
    if (analyseFile(job.in, settings, analysis, error) != ExitOk)
        return ExitFailed;
    if (analysis.peak.left <= -100.0 && analysis.peak.right <= -100.0) {
        error = QStringLiteral("%1 is digital silence: it has no spectrum to match").arg(job.in);
        return ExitFailed;
    }
    return ExitOk;
}

// Measures, chooses the reference and makes the correction (the equalizer
// in `filter`). ExitOk or an exit status with `error` set.
int match(const MatchJob& job, const ParsedArgs& args, MatchResult& result, SoundRef<SoundAlgoFilter>& filter,
          QString& error)
{
    Analysis analysis;
    if (measure(job, analysis, error) != ExitOk)
        return ExitFailed;
    const auto candidates = nearestReferences(job.catalog, analysis.file, job.splits);
    SoundStatReference reference = job.named;
    if (!args.has("reference")) {
        if (candidates.empty()) {
            error = QStringLiteral("%1 has no reference for the bands %2 Hz (use --reference NAME)")
                        .arg(job.catalogName, QString::number(job.splits.front()) + QStringLiteral("...")
                                                  + QString::number(job.splits.back()));
            return ExitFailed;
        }
        reference = candidates.front().second;
    }
    result.correctionDb = reference.getCorrectedLevels(analysis.file, job.maxCorrection);
    filter.reset(reference.buildCorrectionFilter(analysis.file, job.maxCorrection, !args.has("no-makeup")));
    if (result.correctionDb.empty() || !filter) {
        error = QStringLiteral("no correction from reference %1: %2").arg(reference.getName(), libraryError());
        return ExitFailed;
    }
    result.file = job.in;
    result.catalog = job.catalogName;
    result.reference = reference.getName();
    result.named = args.has("reference");
    for (const auto& [distance, r] : candidates)
        result.candidates.emplace_back(r.getName(), distance);
    result.splits = job.splits;
    result.sampleRate = analysis.sampleRate;
    result.relativeDb = analysis.file.getRelativeLevels();
    result.referenceDb = reference.getLevels();
    result.maxCorrectionDb = job.maxCorrection;
    result.outputGainDb = args.has("no-makeup") ? 0.0 : filter->getOutputGain();
    return ExitOk;
}

// Reads the options past the catalog into `job`; ExitOk or an exit status
// with `error` set.
int readOptions(const ParsedArgs& args, MatchJob& job, QString& error)
{
    if (args.positional.size() != 1) {
        error = QStringLiteral("match needs one file (see vexa match --help)");
        return ExitUsage;
    }
    job.in = args.positional[0];
    if (args.has("max-correction")
        && (!toNumber(args.value("max-correction"), job.maxCorrection) || job.maxCorrection < 0 || job.maxCorrection > 40)) {
        error = QStringLiteral("--max-correction %1: expected a level in dB (0 to 40)").arg(args.value("max-correction"));
        return ExitUsage;
    }
    job.output.progress = !args.has("quiet");
    if (!parseOutputOptions(args, job.output, error)
        || (args.has("apply") && !checkOutputName(args.value("apply"), error)))
        return ExitUsage;
    // The bands to measure: the named reference's, else the default ones,
    // for which the candidates are the references made for them.
    if (args.has("reference")) {
        const int status = namedReference(job.catalog, job.catalogName, args.value("reference"), job.named, error);
        if (status != ExitOk)
            return status;
        job.splits = splitsOf(job.named);
    }
    return ExitOk;
}

// The picture and the corrected file, when asked for.
int writeOutputs(const ParsedArgs& args, const MatchJob& job, MatchResult& result, SoundAlgoFilter* filter)
{
    QString error;
    if (args.has("plot")) {
        const std::vector<BandCurve> curves = {
            {QStringLiteral("reference: %1").arg(result.reference), result.referenceDb, "#222222"},
            {QStringLiteral("correction"), result.correctionDb, "#d95f02"},
        };
        if (!writeText(args.value("plot"),
                       bandPlot(result.splits, result.relativeDb, result.sampleRate, QFileInfo(job.in).fileName(), curves),
                       error))
            return fail(error);
    }
    if (args.has("apply")) {
        std::unique_ptr<SoundReader> reader = openReader(job.in, error);
        if (!reader)
            return fail(error);
        SoundIDTag tags;
        reader->getTags(tags);
        if (!renderFile(*reader, filter, job.in, args.value("apply"), tags, job.output, error))
            return fail(error);
        result.applied = args.value("apply");
    }
    return ExitOk;
}

int runMatch(const ParsedArgs& args)
{
    MatchJob job;
    const QString catalogFile = args.value("catalog", QString::fromLatin1(kDefaultCatalog));
    // What people see: the file they named, or the tool's own catalog.
    job.catalogName = args.has("catalog") ? catalogFile : QStringLiteral("built-in catalog");
    if (!job.catalog.readJSonFile(catalogFile))
        return fail(QStringLiteral("%1 : not a readable reference catalog (a JSON array of references)").arg(job.catalogName));
    if (args.has("list"))
        return listCatalog(job.catalog, job.catalogName, args.has("json"));
    QString error;
    int status = readOptions(args, job, error);
    MatchResult result;
    SoundRef<SoundAlgoFilter> filter;
    if (status == ExitOk)
        status = match(job, args, result, filter, error);
    if (status != ExitOk)
        return fail(error, status);
    status = writeOutputs(args, job, result, filter.get());
    if (status != ExitOk)
        return status;
    printOut(args.has("json") ? matchJson(result) : matchText(result));
    return ExitOk;
}

} // namespace

const Command& matchCommand()
{
    static const Command command{
        "match", "match IN", "band levels against a reference spectrum, and the correction",
        "vexa match IN [--catalog FILE] [--reference NAME] [--max-correction DB] [--apply OUT] [--json] [--plot FILE.svg]",
        "Measures the level of each frequency band of IN and compares it with a reference spectrum: the named one,\n"
        "or of the references made for the same bands, the one whose levels lie nearest (smallest RMS difference).\n"
        "Prints the correction of each band: the reference's level minus the recording's, at most --max-correction,\n"
        "then lowered so that no band is boosted. --apply writes IN through the equalizer that makes it: a low and a\n"
        "high shelf and one peaking band per inner band. The built-in catalog holds \"pink noise\" (equal energy per\n"
        "octave) and \"speech\" (the long-term average speech spectrum of ANSI S3.5-1997); --list shows it.",
        joinOptions({{
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
        }, outputOptions()}),
        "show this help",
        "  vexa match lecture.flac --reference speech --apply lecture-eq.flac\n"
        "  vexa match side_a.wav --catalog my-references.json --json\n"
        "  vexa match side_a.wav --plot side_a-match.svg\n"
        "  vexa match --list\n",
        runMatch,
    };
    return command;
}
