// vexa play FILE...: plays files through the system's audio output with the
// player's equalizer, one after the other without a gap.
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "Tracks.h"

#include <vexa/vexa.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <sstream>
#include <cstdio>
#include <memory>

namespace {

const std::vector<OptionSpec> kOptions = {
    {"preset", "NAME", "equalizer preset (an unknown name lists them)"},
    {"bass-boost", nullptr, "switch the bass boost on"},
    {"eq-gain", "X", "overall equalizer gain, linear (default 1)"},
    {"gate", "DB", "noise gate threshold"},
    {"amp", "DB", "amplification, peaks held below full scale by a look-ahead limiter"},
    {"quiet", nullptr, "no position display"},
    {"help", nullptr, "show this help"},
};

std::atomic<bool> gInterrupted{false};

void onInterrupt(int)
{
    gInterrupted = true;
}

} // namespace

int runPlay(int argc, char** argv)
{
    ParsedArgs args;
    const int early = startCommand(
        argc, argv, "play", kOptions, "vexa play FILE... [options]",
        "Plays the files one after the other, without a gap, through the audio output, with the player's\n"
        "equalizer (nine bands and a bass boost, fourteen presets). Ctrl-C stops.",
        "  vexa play side_a.flac side_b.flac\n  vexa play live.mp3 --preset Rock --bass-boost --amp 3\n", args);
    if (early >= 0)
        return early;
    QString error;
    if (args.positional.isEmpty())
        return fail(QStringLiteral("play needs at least one file (see vexa play --help)"), ExitUsage);

    std::vector<std::shared_ptr<SoundReader>> readers;
    for (const QString& name : args.positional) {
        std::unique_ptr<SoundReader> r = openReader(name, error, false);
        if (!r)
            return fail(error);
        readers.emplace_back(std::move(r));
    }
    double gateDb = 0, ampDb = 0, eqGain = 1;
    const bool gate = args.has("gate");
    const bool amp = args.has("amp");
    if (gate && (!toNumber(args.value("gate"), gateDb) || gateDb > 0))
        return fail(QStringLiteral("--gate %1: expected a threshold in dB (0 or below)").arg(args.value("gate")), ExitUsage);
    if (amp && (!toNumber(args.value("amp"), ampDb) || ampDb < -40 || ampDb > 40))
        return fail(QStringLiteral("--amp %1: expected a gain in dB (-40 to 40)").arg(args.value("amp")), ExitUsage);
    if (args.has("eq-gain") && (!toNumber(args.value("eq-gain"), eqGain) || eqGain <= 0 || eqGain > 4))
        return fail(QStringLiteral("--eq-gain %1: expected a linear gain above 0 (up to 4)").arg(args.value("eq-gain")), ExitUsage);

    // The graph the device runs: the gate and the amplifier when asked for.
    auto* graph = new SoundAlgoComposite(QStringLiteral("play"));
    SoundAlgoNoiseGate* gateNode = nullptr;
    SoundAlgoLimiter* limiter = nullptr;
    if (gate) {
        gateNode = new SoundAlgoNoiseGate(gateDb, 0.2, 0.01);
        graph->pushAlgo(gateNode);
    }
    if (amp) {
        limiter = new SoundAlgoLimiter(ampDb, 0.01, 0.1, nullptr);
        graph->pushAlgo(limiter);
    }
    if (!gate && !amp)
        graph->pushAlgo(new SoundAlgoBypass());

    SoundPlayerQt player(readers.front(), graph, true);
    graph->release(); // the device holds its own reference
    if (gateNode)
        player.setNoiseGate(gateNode);
    if (limiter)
        player.setAmplifier(limiter);
    if (args.has("preset")) {
        const QStringList presets = player.getEqPresets();
        const int index = presets.indexOf(args.value("preset"));
        if (index < 0)
            return fail(QStringLiteral("--preset %1: unknown; the presets are %2").arg(args.value("preset"), presets.join(", ")),
                        ExitUsage);
        player.setEqPreset(static_cast<unsigned int>(index));
    }
    if (args.has("bass-boost"))
        player.switchBassBoost(true);
    if (args.has("eq-gain"))
        player.setEqGain(eqGain);

    SoundAlgoDevice* device = player.getDevice();
    device->setContinuousPlaying(readers.size() > 1);
    size_t next = 1;
    // The next file follows as soon as the device has loaded the last block
    // of the current one (on the main thread: the signal comes from the
    // device's worker).
    QObject::connect(device, &SoundAlgoDevice::loadFinished, &player, [&](double) {
        if (next < readers.size()) {
            if (!device->setReader(readers[next]))
                device->statusFinished();
            ++next;
            if (next == readers.size())
                device->setContinuousPlaying(false);
        } else {
            device->statusFinished();
        }
    }, Qt::QueuedConnection);

    double total = 0;
    for (const auto& r : readers)
        total += r->getLength();
    const bool show = !args.has("quiet") && stderrIsTerminal();
    QObject::connect(&player, &SoundPlayer::playingProgress, &player, [&](double seconds) {
        if (show) {
            std::fprintf(stderr, "\r%s / %s ", qUtf8Printable(formatSeconds(seconds)), qUtf8Printable(formatSeconds(total)));
            std::fflush(stderr);
        }
    }, Qt::QueuedConnection);
    bool finishedAtEnd = false;
    QObject::connect(&player, &SoundPlayer::playingHasFinished, &player, [&](bool atEnd) {
        finishedAtEnd = atEnd;
        QCoreApplication::exit(0);
    }, Qt::QueuedConnection);

    // Ctrl-C asks the player to stop; the event loop ends when it has.
    gInterrupted = false;
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    QTimer watch;
    bool stoppedByUser = false;
    QObject::connect(&watch, &QTimer::timeout, &player, [&]() {
        if (gInterrupted.exchange(false)) {
            stoppedByUser = true;
            player.stop();
        }
    });
    watch.start(100);

    // The player's own notices go to the diagnostic stream; the tool says
    // what went wrong in one line of its own.
    std::ostringstream notices;
    std::ostream& diagnostics = SoundDebuggableClass::getOStream();
    if (!SoundDebuggableClass::isVerbose() && !SoundDebuggableClass::isDebug())
        SoundDebuggableClass::setOStream(&notices);
    player.start();
    QCoreApplication::exec();
    SoundDebuggableClass::setOStream(&diagnostics);
    watch.stop();
    player.stop();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (show)
        std::fprintf(stderr, "\n");
    if (!finishedAtEnd && !stoppedByUser) {
        const QString reason = libraryError().section(QStringLiteral(" : "), -1);
        return fail(reason.isEmpty() ? QStringLiteral("playback stopped before the end") : reason);
    }
    return ExitOk;
}
