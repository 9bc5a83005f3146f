#include "JsonDocumentFile.h"

#include "SoundDebuggableClass.h"

#include <QByteArray>
#include <QFile>
#include <QJsonParseError>
#include <QMessageLogger>
#include <QtGlobal>

#include <cstring>

namespace vexa::detail {

namespace {

// Qt 5's binary JSON: a header ("qbjs", version 1) and a root array or
// object. A container (12 bytes: size, is_object bit and 31-bit length,
// table offset) holds its values' data, then a table: for an object, offsets
// of entries (a value word and a key), for an array, the value words. A
// value word has the type in bits 0-2, an inline flag (latin-1 string or
// integer) in bit 3, a latin-1 key flag in bit 4 and an offset or integer in
// bits 5-31.
//
// Qt's own validation computes sizes and ends in 32 bits and trusts them: a
// root size near 2^32 wraps to a small number and the validation reads far
// outside the data. This walk checks every size, offset and length in 64
// bits before Qt sees the bytes; anything it accepts Qt reads within bounds.
class BinaryJsonCheck {
public:
    explicit BinaryJsonCheck(const QByteArray& bytes)
        : mData(reinterpret_cast<const unsigned char*>(bytes.constData())), mSize(static_cast<quint64>(bytes.size()))
    {
    }

    bool sound() const
    {
        if (mSize < 8 + 12 || std::memcmp(mData, "qbjs", 4) != 0 || word(4) != 1u)
            return false;
        return container(8, mSize - 8, 0);
    }

private:
    static constexpr int kMaxDepth = 256;

    quint32 word(quint64 at) const
    {
        quint32 v;
        std::memcpy(&v, mData + at, 4);
        return v;
    }
    quint16 half(quint64 at) const
    {
        quint16 v;
        std::memcpy(&v, mData + at, 2);
        return v;
    }
    static quint64 aligned(quint64 n) { return (n + 3) & ~quint64(3); }

    // A container at `at` that may take up to maxSize bytes.
    bool container(quint64 at, quint64 maxSize, int depth) const
    {
        if (depth > kMaxDepth || maxSize < 12 || at + 12 > mSize)
            return false;
        const quint64 size = word(at);
        const bool isObject = word(at + 4) & 1u;
        const quint64 length = word(at + 4) >> 1;
        const quint64 table = word(at + 8);
        // An empty container may have a table offset of 0.
        if (size > maxSize || at + size > mSize || (length > 0 && table < 12) || table + 4 * length > size)
            return false;
        for (quint64 i = 0; i < length; ++i) {
            const quint64 slot = at + table + 4 * i;
            if (!isObject) {
                if (!value(word(slot), at, table, depth))
                    return false;
                continue;
            }
            // An entry: its value word, then its key, all before the table.
            const quint64 entry = word(slot);
            if (entry < 12 || entry + 4 >= table)
                return false;
            const quint32 v = word(at + entry);
            const quint64 key = entry + 4;
            quint64 keyEnd;
            if (v & 0x10u) {
                if (key + 2 > table)
                    return false;
                keyEnd = key + 2 + half(at + key);
            } else {
                if (key + 4 > table)
                    return false;
                keyEnd = key + 4 + 2 * quint64(word(at + key));
            }
            if (keyEnd > table || !value(v, at, table, depth))
                return false;
        }
        return true;
    }

    // A value word of the container at `base`, whose data ends at `table`.
    bool value(quint32 v, quint64 base, quint64 table, int depth) const
    {
        const quint32 type = v & 7u;
        const bool inlineValue = v & 8u;
        const quint64 offset = v >> 5;
        switch (type) {
        case 0: // null
        case 1: // bool
            return true;
        case 2: // double
            return inlineValue || (offset >= 12 && offset + 8 <= table);
        case 3: // string
            if (offset < 12 || offset + 4 > table)
                return false;
            return offset + aligned(inlineValue ? 2 + quint64(half(base + offset)) : 4 + 2 * quint64(word(base + offset)))
                <= table;
        case 4: // array
        case 5: // object
            if (offset < 12 || offset + 12 > table)
                return false;
            return container(base + offset, table - offset, depth + 1);
        default:
            return false;
        }
    }

    const unsigned char* mData;
    quint64 mSize;
};

// Qt 5's binary JSON is deprecated but remains the stored format of the
// statistics files. Bytes that fail the bounds walk above are refused
// before Qt parses them.
QJsonDocument fromBinary(const QByteArray& bytes)
{
    if (!BinaryJsonCheck(bytes).sound())
        return QJsonDocument();
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

} // namespace vexa::detail
