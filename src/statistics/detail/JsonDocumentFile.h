// Loading and saving a JSON document as a file: Qt binary JSON, or JSON text
// when the file name ends with ".json".
#ifndef VEXA_STATISTICS_DETAIL_JSONDOCUMENTFILE_H
#define VEXA_STATISTICS_DETAIL_JSONDOCUMENTFILE_H

#include <QJsonDocument>
#include <QString>

namespace vexa::detail {

// The document in the file, or a null document when the file cannot be
// opened (silently) or its content does not parse (a critical message for
// text). With binaryAllowed, a name that does not end with ".json" is read
// as Qt binary JSON, validated; otherwise the content is parsed as text.
QJsonDocument loadJsonDocument(const QString& fileName, bool binaryAllowed);

// Writes the document as Qt binary JSON or as indented text. False, with the
// error text set, when the file cannot be opened or written, or when the
// document is too large for the binary format (which would drop part of it).
// A refused document leaves an existing file untouched.
bool saveJsonDocument(const QJsonDocument& document, const QString& fileName, bool binary);

} // namespace vexa::detail

#endif
