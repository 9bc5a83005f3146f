#include "JsonDocumentFile.h"

#include "SoundDebuggableClass.h"

#include <QByteArray>
#include <QFile>
#include <QJsonParseError>
#include <QMessageLogger>
#include <QtGlobal>

namespace vexa_detail {

namespace {

// Qt 5's binary JSON is deprecated but remains the stored format of the
// statistics files.
QJsonDocument fromBinary(const QByteArray& bytes)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return QJsonDocument::fromBinaryData(bytes, QJsonDocument::Validate);
    QT_WARNING_POP
}

QByteArray toBinary(const QJsonDocument& document)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return document.toBinaryData();
    QT_WARNING_POP
}

} // namespace

QJsonDocument loadJsonDocument(const QString& fileName, bool binaryAllowed)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonDocument();
    const QByteArray bytes = file.readAll();
    file.close();
    if (binaryAllowed && !fileName.endsWith(QStringLiteral(".json")))
        return fromBinary(bytes);
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (document.isNull())
        QMessageLogger().critical() << "JSON read error offset " << error.offset << " : " << error.errorString();
    return document;
}

bool saveJsonDocument(const QJsonDocument& document, const QString& fileName, bool binary)
{
    static const char* context = "saveJsonDocument";
    QByteArray bytes;
    if (binary) {
        bytes = toBinary(document);
        // The binary format addresses its content with 27-bit offsets: a
        // larger document comes out with values silently dropped. Only a
        // document that reads back whole is written.
        if (fromBinary(bytes) != document) {
            SoundDebuggableClass::setError(
                QStringLiteral("document too large for binary JSON, %1 not written").arg(fileName), context);
            return false;
        }
    } else {
        bytes = document.toJson(QJsonDocument::Indented);
    }
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QMessageLogger().critical() << "JSON write error ; unable to open file " << fileName;
        SoundDebuggableClass::setError(QStringLiteral("unable to open file %1").arg(fileName), context);
        return false;
    }
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written) {
        SoundDebuggableClass::setError(QStringLiteral("write error on %1: %2").arg(fileName, file.errorString()), context);
        return false;
    }
    return true;
}

} // namespace vexa_detail
