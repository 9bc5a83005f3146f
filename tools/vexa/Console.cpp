#include "Console.h"

#include <vexa/vexa.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

bool writeText(const QString& name, const QByteArray& text, QString& error)
{
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        error = QStringLiteral("%1 : %2").arg(name, file.errorString());
        return false;
    }
    return true;
}

namespace {

std::atomic<SoundAlgo*> gRunning{nullptr};
std::atomic<int> gStopSignal{0};

void onStopSignal(int signal)
{
    gStopSignal = signal;
    if (SoundAlgo* node = gRunning.load())
        node->pleaseStop(); // an atomic store: safe here
}

} // namespace

int fail(const QString& message, int code)
{
    // A run stopped by a signal fails on the way out: the tool says
    // "stopped" once, at the end.
    if (gStopSignal.load())
        return code;
    std::fprintf(stderr, "vexa: error: %s\n", qUtf8Printable(message));
    return code;
}

void stopRunsOnSignals()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

int stopSignal()
{
    return gStopSignal.load();
}

void warnIfCut(const SoundReader& reader, unsigned int headerFrames, unsigned int sampleRate, const QString& name)
{
    const int end = reader.getEndOffset();
    if (end < 0 || static_cast<unsigned int>(end) >= headerFrames || sampleRate == 0)
        return;
    std::fprintf(stderr, "vexa: warning: %s ends at %s, before the %s its header gives (a cut or damaged file)\n",
                 qUtf8Printable(name), SoundReader::formatLength(static_cast<double>(end) / sampleRate).c_str(),
                 headerFrames == 0xffffffffu ? "length"
                                             : SoundReader::formatLength(static_cast<double>(headerFrames) / sampleRate).c_str());
}

QString libraryError()
{
    return SoundDebuggableClass::getError();
}

bool stderrIsTerminal()
{
    return isatty(STDERR_FILENO) != 0;
}

Progress::Progress(const QString& label, unsigned int sampleRate, bool enabled)
    : mLabel(label)
    , mSampleRate(sampleRate ? sampleRate : 44100)
    , mEnabled(enabled && stderrIsTerminal())
{
    mClock.start();
}

Progress::~Progress()
{
    finish();
    gRunning = nullptr;
}

void Progress::follow(SoundAlgo* node)
{
    gRunning = node;
    if (gStopSignal.load())
        node->pleaseStop();
    if (!mEnabled)
        return;
    QObject::connect(node, &SoundAlgo::notifyInProgress, node,
                     [this](unsigned int processed, unsigned int total) { update(processed, total); });
}

void Progress::update(unsigned int processed, unsigned int total)
{
    if (!mEnabled)
        return;
    const qint64 now = mClock.elapsed();
    if (now - mLastDraw < 100 && processed < total)
        return;
    mLastDraw = now;
    const double fraction = total ? std::min(1.0, static_cast<double>(processed) / total) : 1.0;
    const double seconds = now / 1000.0;
    const double speed = seconds > 0 ? (processed / static_cast<double>(mSampleRate)) / seconds : 0.0;
    const double left = fraction > 0 ? seconds * (1.0 - fraction) / fraction : 0.0;
    const int width = 30;
    const int filled = static_cast<int>(fraction * width + 0.5);
    std::fprintf(stderr, "\r%s [%s%s] %3d%%  %6.1fx real time  %4.0f s left ", qUtf8Printable(mLabel),
                 QString(filled, '#').toUtf8().constData(), QString(width - filled, '.').toUtf8().constData(),
                 static_cast<int>(fraction * 100 + 0.5), speed, left);
    std::fflush(stderr);
    mShown = true;
}

void Progress::finish()
{
    if (mShown) {
        std::fprintf(stderr, "\r%s\r", QString(79, ' ').toUtf8().constData());
        std::fflush(stderr);
        mShown = false;
    }
}

AtomicOutput::AtomicOutput(const QString& finalName)
    : mFinal(finalName)
{
    const QFileInfo info(finalName);
    const QString suffix = info.suffix();
    mTemp = info.dir().filePath(QStringLiteral(".%1.vexa-tmp-%2%3")
                                    .arg(info.completeBaseName())
                                    .arg(QCoreApplication::applicationPid())
                                    .arg(suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix));
}

AtomicOutput::~AtomicOutput()
{
    if (!mCommitted)
        QFile::remove(mTemp);
}

bool AtomicOutput::commit(QString& error)
{
    if (QFileInfo(mFinal).isDir()) {
        error = QStringLiteral("%1 : is a directory").arg(mFinal);
        return false;
    }
    if (std::rename(QFile::encodeName(mTemp).constData(), QFile::encodeName(mFinal).constData()) != 0) {
        error = QStringLiteral("%1 : cannot rename the finished file into place").arg(mFinal);
        return false;
    }
    mCommitted = true;
    return true;
}

QByteArray strf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    QByteArray text(std::max(0, size), '\0');
    if (size > 0)
        std::vsnprintf(text.data(), static_cast<size_t>(size) + 1, format, again);
    va_end(again);
    return text;
}

void printOut(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
}
