#include "Batch.h"

#include "Console.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <cstdio>
#include <memory>

OptionList batchOptions(bool outputDir)
{
    OptionList specs = {{"jobs", "N", "with several input files: files processed at once (default: one per core)"}};
    if (outputDir)
        specs.push_back({"output-dir", "DIR", "with several input files: where the outputs go, under the inputs' names"});
    return specs;
}

QStringList optionArguments(const ParsedArgs& args, const std::vector<OptionSpec>& specs, const QStringList& skip)
{
    QStringList out;
    for (const auto& [name, value] : args.options) {
        if (skip.contains(name))
            continue;
        out << QStringLiteral("--") + name;
        for (const OptionSpec& spec : specs) {
            if (name == QLatin1String(spec.name) && spec.value) {
                out << value;
                break;
            }
        }
    }
    return out;
}

bool batchJobs(const ParsedArgs& args, int& jobs, QString& error)
{
    jobs = 0;
    if (!args.has("jobs"))
        return true;
    bool ok = false;
    jobs = args.value("jobs").toInt(&ok);
    if (!ok || jobs < 1 || jobs > 256) {
        error = QStringLiteral("--jobs %1: expected a count from 1 to 256").arg(args.value("jobs"));
        return false;
    }
    return true;
}

namespace {

// The last line a failed run wrote on its standard error: its reason.
QString lastLine(const QByteArray& err)
{
    const QStringList lines = QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QStringLiteral("no message") : lines.last().trimmed();
}

// One file's line as its run finished; false when it failed.
bool reportFile(QProcess& p, const QString& input, double seconds, int code, QProcess::ExitStatus status, bool started,
                bool json)
{
    const bool ok = started && status == QProcess::NormalExit && code == 0;
    const int exitCode = started && status == QProcess::NormalExit ? code : -1;
    const QByteArray out = p.readAllStandardOutput();
    const QByteArray err = started ? p.readAllStandardError() : QByteArray("could not start vexa");
    if (json) {
        QJsonObject o{{"file", input}, {"status", exitCode}, {"seconds", seconds}};
        const QJsonDocument result = QJsonDocument::fromJson(out);
        if (!result.isNull())
            o.insert(QStringLiteral("result"), result.isArray() ? QJsonValue(result.array()) : QJsonValue(result.object()));
        if (!ok)
            o.insert(QStringLiteral("error"), lastLine(err));
        std::printf("%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    } else if (ok) {
        std::printf("ok %s (%.1f s)\n", qUtf8Printable(input), seconds);
    } else {
        std::printf("failed %s: %s\n", qUtf8Printable(input), qUtf8Printable(lastLine(err)));
    }
    return ok;
}

} // namespace

int runBatch(const QStringList& inputs, const std::function<QStringList(const QString&)>& argsFor, int jobs,
             bool json)
{
    if (jobs <= 0)
        jobs = std::max(1, QThread::idealThreadCount());
    // Files run side by side: each keeps to one thread unless told
    // otherwise, and none restarts itself for its OpenMP wait policy.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (jobs > 1 && !env.contains(QStringLiteral("OMP_NUM_THREADS")))
        env.insert(QStringLiteral("OMP_NUM_THREADS"), QStringLiteral("1"));
    if (!env.contains(QStringLiteral("OMP_WAIT_POLICY")))
        env.insert(QStringLiteral("OMP_WAIT_POLICY"), QStringLiteral("passive"));

    QElapsedTimer total;
    total.start();
    int next = 0, running = 0, failed = 0;
    QEventLoop loop;
    std::function<void()> startNext = [&]() {
        while (running < jobs && next < inputs.size()) {
            const QString input = inputs[next++];
            auto* p = new QProcess;
            p->setProcessEnvironment(env);
            auto* timer = new QElapsedTimer;
            timer->start();
            const auto finished = [&, p, timer, input](int code, QProcess::ExitStatus status, bool started) {
                const double seconds = timer->elapsed() / 1000.0;
                delete timer;
                if (!reportFile(*p, input, seconds, code, status, started, json))
                    ++failed;
                std::fflush(stdout);
                p->deleteLater();
                --running;
                startNext();
                if (running == 0 && next >= inputs.size())
                    loop.quit();
            };
            QObject::connect(p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished),
                             [finished](int code, QProcess::ExitStatus status) { finished(code, status, true); });
            QObject::connect(p, &QProcess::errorOccurred, [finished](QProcess::ProcessError e) {
                if (e == QProcess::FailedToStart)
                    finished(-1, QProcess::CrashExit, false);
            });
            ++running;
            p->start(QCoreApplication::applicationFilePath(), argsFor(input));
        }
    };
    startNext();
    if (running > 0)
        loop.exec();
    std::fprintf(stderr, "vexa: %lld files, %d failed, %.1f s\n", static_cast<long long>(inputs.size()), failed,
                 total.elapsed() / 1000.0);
    return failed == 0 ? ExitOk : ExitFailed;
}
