// vexa demo [DIR]: the main job on a recording the tool makes itself. It
// synthesises a record side, finds its tracks and writes one tagged FLAC
// file per track, then prints what it found against what it made.
#include "Commands.h"
#include "Console.h"
#include "Synth.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

// The synthesised tracks beside those found, and the files written.
QByteArray demoReport(const std::vector<SynthTrack>& made, const std::vector<Track>& found, unsigned int sampleRate,
                      int files, const QStringList& written)
{
    QByteArray text = "\n  synthesised                        found\n";
    for (size_t i = 0; i < std::max(made.size(), found.size()); ++i) {
        QString left = QStringLiteral("-");
        QString right = QStringLiteral("-");
        if (i < made.size()) {
            left = QStringLiteral("%1 +%2  %3 dB%4")
                       .arg(formatSeconds(made[i].start))
                       .arg(made[i].duration, 5, 'f', 1)
                       .arg(made[i].levelDb, 5, 'f', 1)
                       .arg(made[i].fadeOut > 0 ? QStringLiteral(" fade") : QString());
        }
        if (i < found.size()) {
            right = QStringLiteral("%1 +%2  %3 dB")
                        .arg(formatSeconds(static_cast<double>(found[i].begin) / sampleRate))
                        .arg(static_cast<double>(found[i].frames) / sampleRate, 5, 'f', 1)
                        .arg(found[i].levelDb, 5, 'f', 1);
        }
        text += strf("  %-34s %s\n", qUtf8Printable(left), qUtf8Printable(right));
    }
    text += strf("\n%d of %zu tracks written:\n", files, made.size());
    for (const QString& f : written)
        text += strf("  %s\n", qUtf8Printable(f));
    return text;
}

int runDemo(const ParsedArgs& args)
{
    QString error;
    if (args.positional.size() > 1)
        return fail(QStringLiteral("demo takes at most one folder (see vexa demo --help)"), ExitUsage);
    double total = 900;
    if (args.has("duration") && (!toNumber(args.value("duration"), total) || total < 60 || total > 7200))
        return fail(QStringLiteral("--duration %1: expected 60 to 7200 seconds").arg(args.value("duration")), ExitUsage);
    const QString dirName = args.positional.value(0, QStringLiteral("demo-out"));
    QDir dir(dirName);
    if (!dir.exists() && !QDir().mkpath(dirName))
        return fail(QStringLiteral("%1 : cannot create the folder").arg(dirName));
    const bool progress = !args.has("quiet");
    const unsigned int rate = 44100;

    const std::vector<SynthTrack> made = demoTracks(total);
    const QString side = dir.filePath(QStringLiteral("demo-side.wav"));
    std::printf("synthesising %s (%s, %zu tracks)\n", qUtf8Printable(side), qUtf8Printable(formatSeconds(total)),
                made.size());
    std::fflush(stdout);
    if (!writeDemoSide(side, made, total, rate, error))
        return fail(error);

    SplitSettings settings;
    unsigned int sampleRate = rate;
    const SoundRef<RMSStepDetector> detector = detectTracks(side, settings, progress, error, sampleRate);
    if (!detector)
        return fail(error);
    const std::vector<Track> found = tracksOf(*detector, sampleRate, 0.0);

    SoundIDTag tags;
    tags.artist = "vexa";
    tags.album = "vexa demonstration side";
    QStringList written;
    const int files = writeTracks(side, dir.filePath(QStringLiteral("track.flac")), detector.get(), 192,
                                  SoundTools::PCM16, progress, &tags, written, error);
    if (files < 0)
        return fail(error);

    printOut(demoReport(made, found, sampleRate, files, written));
    return files == static_cast<int>(made.size()) ? ExitOk : ExitFailed;
}

} // namespace

const Command& demoCommand()
{
    static const Command command{
        "demo", "demo [DIR]", "synthesise a record side, split it and show the result",
        "vexa demo [DIR] [--duration SECONDS]",
        "Synthesises a demonstration record side (six tracks of different loudness separated by low-level\n"
        "noise, one ending in a fade-out) into DIR (default demo-out/), splits it into one tagged FLAC file\n"
        "per track and prints what it found against what it synthesised.",
        {
            {"duration", "SECONDS", "length of the demonstration side (default 900)"},
            {"quiet", nullptr, "no progress bar"},
        },
        "show this help",
        "  vexa demo\n  vexa demo /tmp/demo --duration 240\n",
        runDemo,
    };
    return command;
}
