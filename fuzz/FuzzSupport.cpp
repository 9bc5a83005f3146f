#include "FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <unistd.h>

namespace fuzzsupport {

namespace {

QString gFolder;

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

void init()
{
    qInstallMessageHandler(quiet);
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    gFolder = QStringLiteral("%1/vexa-fuzz-%2").arg(base).arg(getpid());
    QDir().mkpath(gFolder);
}

QString scratch(const QString& name)
{
    return gFolder + QLatin1Char('/') + name;
}

QString writeScratch(const QString& name, const uint8_t* data, size_t size)
{
    const QString path = scratch(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
        file.close();
    }
    return path;
}

} // namespace fuzzsupport
