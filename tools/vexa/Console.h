// What the vexa tool shows people: one-line errors, a progress bar on a
// terminal, and output files that appear only once complete.
#ifndef VEXA_TOOL_CONSOLE_H
#define VEXA_TOOL_CONSOLE_H

#include <QElapsedTimer>
#include <QByteArray>
#include <QString>

class SoundAlgo;

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2 };

// Writes "vexa: error: <message>" on standard error and returns the code.
int fail(const QString& message, int code = ExitFailed);
class SoundReader;
// Warns on standard error when the reader's data ended before the length
// its header gives (a cut or damaged file): what was written is what could
// be read.
void warnIfCut(const SoundReader& reader, unsigned int headerFrames, unsigned int sampleRate, const QString& name);
// The library's last error text, for messages.
QString libraryError();
// Writes a small text file (a list, a sheet, a picture) under a temporary
// name and renames it when complete; false with `error` set.
bool writeText(const QString& name, const QByteArray& text, QString& error);

// Ctrl-C and SIGTERM: the processing run being followed (by a Progress)
// stops after its current block, the owners of temporary files remove them
// as they unwind, and the tool exits with 128 + the signal's number.
void stopRunsOnSignals();
// The signal that asked to stop, or 0.
int stopSignal();

// A progress bar on standard error (percentage, speed in times real time,
// time left) for a processing run, when standard error is a terminal and
// the tool is not quiet.
class Progress {
public:
    Progress(const QString& label, unsigned int sampleRate, bool enabled);
    ~Progress();
    // Follows the run of this node (its progress signal).
    void follow(SoundAlgo* node);
    void update(unsigned int processed, unsigned int total);
    void finish();

private:
    QString mLabel;
    unsigned int mSampleRate;
    bool mEnabled;
    bool mShown = false;
    QElapsedTimer mClock;
    qint64 mLastDraw = -1000;
};

// An output file written under a temporary name in the same folder (with
// the same extension, which selects the format) and renamed on commit; it
// is removed if never committed.
class AtomicOutput {
public:
    explicit AtomicOutput(const QString& finalName);
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    const QString& tempName() const { return mTemp; }
    const QString& finalName() const { return mFinal; }
    // Renames the temporary file to the final name; false with a reason.
    bool commit(QString& error);

private:
    QString mFinal;
    QString mTemp;
    bool mCommitted = false;
};

// Whether standard error is a terminal.
bool stderrIsTerminal();

// printf into bytes, for the renderers of results: the numbers come out as
// printf writes them.
QByteArray strf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes text to standard output as it is.
void printOut(const QByteArray& text);

#endif
