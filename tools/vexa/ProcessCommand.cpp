// vexa process IN OUT [options]: one pass of a processing chain built from
// the options, in the order given (the steps are in ProcessSteps.cpp).
#include "Analysis.h"
#include "Batch.h"
#include "Commands.h"
#include "Console.h"
#include "Normalise.h"
#include "ProcessSteps.h"
#include "ReplayGain.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QDir>
#include <QFileInfo>

const Command& processCommand();

namespace {

// Several files: each written under DIR with its own name, by a run of its own.
int processEach(const ParsedArgs& args, int jobs, const OptionList& options)
{
    const QDir dir(args.value("output-dir"));
    if (args.positional.isEmpty())
        return fail(QStringLiteral("process --output-dir needs at least one input file"), ExitUsage);
    if (!dir.exists() && !QDir().mkpath(dir.path()))
        return fail(QStringLiteral("%1 : cannot create the folder").arg(dir.path()));
    const QStringList passed = optionArguments(args, options, {"jobs", "output-dir", "quiet"});
    return runBatch(args.positional, [&](const QString& input) {
        return QStringList{"process", input, dir.filePath(QFileInfo(input).fileName())} + passed + QStringList{"--quiet"};
    }, jobs, args.has("json"));
}


// What the chain cannot do with this file: filters at or beyond its Nyquist
// frequency, a start past its end. ExitOk, or ExitUsage with `error` set.
int checkAgainstFile(const ChainBuild& build, SoundReader& reader, QString& error)
{
    const double nyquist = reader.getSampleRate() / 2.0;
    for (const auto& [option, freq] : build.frequencies) {
        if (freq >= nyquist) {
            error = QStringLiteral("%1: at or beyond the Nyquist frequency of %2 (%3 Hz)").arg(option, build.input).arg(nyquist);
            return ExitUsage;
        }
    }
    if (build.start > 0 && build.start >= reader.getLength()) {
        error = QStringLiteral("--start %1: %2 is only %3 s long")
                    .arg(build.start)
                    .arg(build.input)
                    .arg(reader.getLength(), 0, 'f', 1);
        return ExitUsage;
    }
    return ExitOk;
}

int runProcess(const ParsedArgs& args)
{
    QString error;
    int jobs = 0;
    if (!batchJobs(args, jobs, error))
        return fail(error, ExitUsage);
    if (args.has("output-dir"))
        return processEach(args, jobs, commandOptions(processCommand()));
    if (args.positional.size() != 2)
        return fail(QStringLiteral("process needs IN and OUT, or files and --output-dir (see vexa process --help)"), ExitUsage);
    const QString in = args.positional[0];
    const QString out = args.positional[1];

    std::unique_ptr<SoundReader> reader = openReader(in, error);
    if (!reader)
        return fail(error);
    OutputSettings output;
    output.progress = !args.has("quiet");
    if (!parseOutputOptions(args, output, error) || !checkOutputName(out, error))
        return fail(error, ExitUsage);

    ChainBuild build;
    build.input = in;
    build.sampleRate = reader->getSampleRate();
    build.progress = output.progress;
    int status = buildChain(args, build);
    if (status == ExitOk)
        status = checkAgainstFile(build, *reader, build.error);
    if (status != ExitOk)
        return fail(build.error, status);
    reader->setStartPoint(build.start);
    reader->rewind();

    SoundIDTag tags;
    reader->getTags(tags);
    applyTagOptions(args, tags);
    if (build.normalise) {
        // The input's ReplayGain tags do not hold for an output of another loudness.
        dropReplayGainTags(tags);
        NormaliseResult result;
        status = normaliseFile(*reader, build, in, out, tags, output, result, error);
        if (status != ExitOk)
            return fail(error, status);
        printOut(args.has("json") ? normaliseJson(result) : normaliseText(result));
        return ExitOk;
    }
    if (args.has("json"))
        return fail(QStringLiteral("--json goes with --loudness (process prints nothing else)"), ExitUsage);
    if (!renderFile(*reader, build.chain.get(), in, out, tags, output, error))
        return fail(error);
    return ExitOk;
}

} // namespace

const Command& processCommand()
{
    static const Command command{
        "process", "process IN OUT [opts]", "run a file through gain, equalizer and filter steps",
        "vexa process IN OUT [options]  |  vexa process IN... --output-dir DIR [options]",
        "Runs IN through a chain of processing steps, in the order the options are given, and writes OUT.\n"
        "The output format follows OUT's extension: .wav, .flac, .ogg, .mp3 (headerless float otherwise).\n"
        "With --loudness, the chain's output is measured first (EBU R128) and written with the gain that\n"
        "brings it to the loudness asked, through a look-ahead limiter where that gain would lift the true\n"
        "peak above the ceiling (--true-peak, default -1 dBTP); the file written is measured again, and\n"
        "written once more with a corrected gain when it misses (a few passes at most). The loudness before\n"
        "and after is printed. A silent input has no loudness: an error, and nothing is written.",
        joinOptions({chainOptions(),
                     {{"json", nullptr, "with --loudness: print the measurements as JSON on standard output"},
                      {"quiet", nullptr, "no progress bar"}},
                     tagOptions(), outputOptions(),
                     batchOptions(true)}),
        "show this help (tags not given are copied from the input)",
        "  vexa process in.wav out.flac --eq 100:3 --eq 3000:-2:0.5 --gain -1\n"
        "  vexa process side.mp3 side.wav --high-pass 30 --low-shelf 120:2 --start 1.5\n"
        "  vexa process tape.flac tape_levelled.flac --level -16 --limit 0\n"
        "  vexa process side_*.flac --output-dir levelled --level -16 --jobs 2\n"
        "  vexa process master.wav stream.flac --loudness -14 --true-peak -1\n"
        "  vexa process talk.wav talk.mp3 --high-pass 80 --loudness -16 --json\n",
        runProcess,
    };
    return command;
}
