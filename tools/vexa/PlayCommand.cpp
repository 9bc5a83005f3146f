// vexa play FILE...: plays files through the system's audio output with the
// player's equalizer, one after the other without a gap.
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

std::atomic<bool> gInterrupted{false};

void onInterrupt(int)
{
    gInterrupted = true;
}

// The levels asked for: the gate and the amplifier when given.
struct PlaySettings {
    bool gate = false;
    bool amp = false;
    double gateDb = 0;
    double ampDb = 0;
    double eqGain = 1;
};

// ExitOk, or ExitUsage with `error` set.
int readSettings(const ParsedArgs& args, PlaySettings& s, QString& error)
{
    s.gate = args.has("gate");
    s.amp = args.has("amp");
    if (s.gate && (!toNumber(args.value("gate"), s.gateDb) || s.gateDb > 0))
        error = QStringLiteral("--gate %1: expected a threshold in dB (0 or below)").arg(args.value("gate"));
    else if (s.amp && (!toNumber(args.value("amp"), s.ampDb) || s.ampDb < -40 || s.ampDb > 40))
        error = QStringLiteral("--amp %1: expected a gain in dB (-40 to 40)").arg(args.value("amp"));
    else if (args.has("eq-gain") && (!toNumber(args.value("eq-gain"), s.eqGain) || s.eqGain <= 0 || s.eqGain > 4))
        error = QStringLiteral("--eq-gain %1: expected a linear gain above 0 (up to 4)").arg(args.value("eq-gain"));
    return error.isEmpty() ? ExitOk : ExitUsage;
}

// The graph the device runs: the gate and the amplifier when asked for.
SoundRef<SoundAlgoComposite> playGraph(const PlaySettings& s, SoundAlgoNoiseGate*& gate, SoundAlgoLimiter*& limiter)
{
    SoundRef<SoundAlgoComposite> graph(new SoundAlgoComposite(QStringLiteral("play")));
    if (s.gate) {
        gate = new SoundAlgoNoiseGate(s.gateDb, 0.2, 0.01);
        graph->pushAlgo(gate);
    }
    if (s.amp) {
        limiter = new SoundAlgoLimiter(s.ampDb, 0.01, 0.1, nullptr);
        graph->pushAlgo(limiter);
    }
    if (!s.gate && !s.amp)
        graph->pushAlgo(new SoundAlgoBypass());
    return graph;
}

// The player's equalizer as asked for; ExitOk, or ExitUsage with `error` set.
int setUpEqualizer(const ParsedArgs& args, const PlaySettings& s, SoundPlayerQt& player, QString& error)
{
    if (args.has("preset")) {
        const QStringList presets = player.getEqPresets();
        const int index = presets.indexOf(args.value("preset"));
        if (index < 0) {
            error = QStringLiteral("--preset %1: unknown; the presets are %2").arg(args.value("preset"), presets.join(", "));
            return ExitUsage;
        }
        player.setEqPreset(static_cast<unsigned int>(index));
    }
    if (args.has("bass-boost"))
        player.switchBassBoost(true);
    if (args.has("eq-gain"))
        player.setEqGain(s.eqGain);
    return ExitOk;
}

// The next file follows as soon as the device has loaded the last block of
// the current one (on the main thread: the signal comes from the device's
// worker).
void queueFiles(SoundPlayerQt& player, const std::vector<std::shared_ptr<SoundReader>>& readers, size_t& next)
{
    SoundAlgoDevice* device = player.getDevice();
    device->setContinuousPlaying(readers.size() > 1);
    QObject::connect(device, &SoundAlgoDevice::loadFinished, &player, [device, &readers, &next](double) {
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
}

// Plays until the end or Ctrl-C (which asks the player to stop; the event
// loop ends when it has). True when it played to the end or was stopped.
bool playToEnd(SoundPlayerQt& player, double total, bool show)
{
    QObject::connect(&player, &SoundPlayer::playingProgress, &player, [total, show](double seconds) {
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
    return finishedAtEnd || stoppedByUser;
}

int runPlay(const ParsedArgs& args)
{
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
    PlaySettings settings;
    if (readSettings(args, settings, error) != ExitOk)
        return fail(error, ExitUsage);
    SoundAlgoNoiseGate* gate = nullptr;
    SoundAlgoLimiter* limiter = nullptr;
    SoundRef<SoundAlgoComposite> graph = playGraph(settings, gate, limiter);
    SoundPlayerQt player(readers.front(), graph.get(), true);
    graph.reset(); // the device holds its own reference
    if (gate)
        player.setNoiseGate(gate);
    if (limiter)
        player.setAmplifier(limiter);
    if (setUpEqualizer(args, settings, player, error) != ExitOk)
        return fail(error, ExitUsage);
    size_t next = 1;
    queueFiles(player, readers, next);
    double total = 0;
    for (const auto& r : readers)
        total += r->getLength();
    if (!playToEnd(player, total, !args.has("quiet") && stderrIsTerminal())) {
        const QString reason = libraryError().section(QStringLiteral(" : "), -1);
        return fail(reason.isEmpty() ? QStringLiteral("playback stopped before the end") : reason);
    }
    return ExitOk;
}

} // namespace

const Command& playCommand()
{
    static const Command command{
        "play", "play FILE...", "play files without a gap, with the player's equalizer",
        "vexa play FILE... [options]",
        "Plays the files one after the other, without a gap, through the audio output, with the player's\n"
        "equalizer (nine bands and a bass boost, fourteen presets). Ctrl-C stops.",
        {
            {"preset", "NAME", "equalizer preset (an unknown name lists them)"},
            {"bass-boost", nullptr, "switch the bass boost on"},
            {"eq-gain", "X", "overall equalizer gain, linear (default 1)"},
            {"gate", "DB", "noise gate threshold"},
            {"amp", "DB", "amplification, peaks held below full scale by a look-ahead limiter"},
            {"quiet", nullptr, "no position display"},
        },
        "show this help",
        "  vexa play side_a.flac side_b.flac\n  vexa play live.mp3 --preset Rock --bass-boost --amp 3\n",
        runPlay,
        true,
        true,
    };
    return command;
}
