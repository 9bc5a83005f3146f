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

// OpenMP's threads spin for milliseconds after each parallel region by
// default; on a busy machine that spinning takes the core the work needs
// (the library runs its branches in parallel only while that is faster,
// but still tries it now and then). The runtime reads the policy once,
// when it loads: a run without one set starts again with waiting threads
// that sleep. A policy the user set is kept, and commands that process no
// audio do not pay for the restart (some 25 ms).
void restartWithPassiveWaits(int argc, char** argv)
{
    if (argc < 2 || argv[1][0] == '-')
        return;
    const Command* command = findCommand(QString::fromLocal8Bit(argv[1]));
    if (command && !command->processesAudio)
        return;
    if (!std::getenv("OMP_WAIT_POLICY") && !std::getenv("GOMP_SPINCOUNT")) {
        ::setenv("OMP_WAIT_POLICY", "passive", 1);
        ::execv("/proc/self/exe", argv);
        // Not restarted (no /proc): go on spinning.
    }
}

void setUpLibrary()
{
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
}

// The tool's own words: help, version, and the pages made from the command
// table (--man and --bash-completion, used by the build). -1 when the word
// is none of them.
int answerToolOption(const char* word)
{
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "help") == 0) {
        std::printf("%s", qUtf8Printable(toolUsage()));
        return ExitOk;
    }
    if (std::strcmp(word, "--version") == 0) {
        std::printf("vexa %s\n", VEXA_VERSION_STRING);
        return ExitOk;
    }
    if (std::strcmp(word, "--man") == 0) {
        std::printf("%s", qUtf8Printable(manPage(QStringLiteral(VEXA_VERSION_STRING))));
        return ExitOk;
    }
    if (std::strcmp(word, "--bash-completion") == 0) {
        std::printf("%s", qUtf8Printable(bashCompletion()));
        return ExitOk;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    restartWithPassiveWaits(argc, argv);
    QCoreApplication app(argc, argv);
    setUpLibrary();
    if (argc < 2) {
        std::fprintf(stderr, "%s", qUtf8Printable(toolUsage()));
        return ExitUsage;
    }
    const int answered = answerToolOption(argv[1]);
    if (answered >= 0)
        return answered;
    const QString name = QString::fromLocal8Bit(argv[1]);
    const Command* command = findCommand(name);
    if (!command)
        return fail(QStringLiteral("unknown command '%1' (vexa --help lists them)").arg(name), ExitUsage);
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    if (command->ownSignals)
        return runCommand(*command, args);
    stopRunsOnSignals();
    const int status = runCommand(*command, args);
    if (stopSignal() != 0) {
        std::fprintf(stderr, "vexa: stopped\n");
        return 128 + stopSignal();
    }
    return status;
}
