#include "FuzzSupport.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <unistd.h>

#include <cmath>

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

QJsonDocument parseJson(const uint8_t* data, size_t size)
{
    return QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size)));
}

unsigned int ToneReader::read(unsigned int frames, double* dst)
{
    unsigned int n = 0;
    for (; n < frames && mPos < mFrames; ++n, ++mPos) {
        const bool quiet = mPos > mFrames / 3 && mPos < mFrames / 2;
        const double v = (quiet ? 0.001 : 0.5) * std::sin(mPos * 2 * M_PI * 440.0 / mRate);
        dst[2 * n] = v;
        dst[2 * n + 1] = 0.5 * v;
    }
    return n;
}

} // namespace fuzzsupport
