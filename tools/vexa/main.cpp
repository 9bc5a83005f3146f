// vexa: the command-line host of the vexa library.
#include "Commands.h"
#include "Console.h"

#include <vexa/vexa.h>

#include <QCoreApplication>
#include <QLoggingCategory>

#include <csignal>
#include <cstdlib>
#include <unistd.h>
#include <cstdio>
#include <cstring>

namespace {

const char* kUsage =
    "usage: vexa COMMAND [ARGS] [--help]\n"
    "\n"
    "commands:\n"
    "  info FILE...            format, length and tags of audio files\n"
    "  process IN OUT [opts]   run a file through gain, equalizer and filter steps\n"
    "  split IN TEMPLATE       find the tracks of a recording, write one file per track\n"
    "  analyze IN              levels, band levels and segmentation, kept in IN.ssf\n"
    "  match IN                band levels against a reference spectrum, and the correction\n"
    "  play FILE...            play files without a gap, with the player's equalizer\n"
    "  demo [DIR]              synthesise a record side, split it and show the result\n"
    "\n"
    "vexa COMMAND --help shows the options and examples of a command; vexa --version the version.\n";

} // namespace

int main(int argc, char** argv)
{
    // OpenMP's threads spin for milliseconds after each parallel region by
    // default; on a busy machine that spinning takes the core the work needs
    // (the library runs its branches in parallel only while that is faster,
    // but still tries it now and then). The runtime reads the policy once,
    // when it loads: a run without one set starts again with waiting
    // threads that sleep. A policy the user set is kept, and commands that
    // process no audio do not pay for the restart (some 25 ms).
    const bool processes = argc >= 2 && std::strcmp(argv[1], "info") != 0 && argv[1][0] != '-';
    if (processes && !std::getenv("OMP_WAIT_POLICY") && !std::getenv("GOMP_SPINCOUNT")) {
        ::setenv("OMP_WAIT_POLICY", "passive", 1);
        ::execv("/proc/self/exe", argv);
        // Not restarted (no /proc): go on spinning.
    }
    QCoreApplication app(argc, argv);
    // Beyond a file-size limit a write fails (EFBIG) and is reported like a
    // full disk, instead of the signal ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // Blocks of 65536 frames (1.5 s at 44.1 kHz) instead of the library's
    // default of 1048576: every node holds buffers of the block size, so a
    // ten-band analysis tree took 1.35 GB with the default, and smaller
    // blocks stay in the cache.
    SoundBuffer::setDefaultSize(65536);
    // The library announces readers on Qt's debug channel; a tool keeps quiet.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
    if (argc < 2) {
        std::fprintf(stderr, "%s", kUsage);
        return ExitUsage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
        std::printf("%s", kUsage);
        return ExitOk;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("vexa %s\n", VEXA_VERSION_STRING);
        return ExitOk;
    }
    if (std::strcmp(command, "play") == 0)
        return runPlay(argc, argv); // stops the player on its own signals
    const struct {
        const char* name;
        int (*run)(int, char**);
    } commands[] = {{"info", runInfo},       {"process", runProcess}, {"split", runSplit},
                    {"analyze", runAnalyze}, {"match", runMatch},     {"demo", runDemo}};
    for (const auto& c : commands) {
        if (std::strcmp(command, c.name) != 0)
            continue;
        stopRunsOnSignals();
        const int status = c.run(argc, argv);
        if (stopSignal() != 0) {
            std::fprintf(stderr, "vexa: stopped\n");
            return 128 + stopSignal();
        }
        return status;
    }
    return fail(QStringLiteral("unknown command '%1' (vexa --help lists them)").arg(QString::fromLocal8Bit(command)), ExitUsage);
}
