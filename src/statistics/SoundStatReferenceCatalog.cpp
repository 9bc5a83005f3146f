#include "SoundStatReferenceCatalog.h"

#include "detail/JsonDocumentFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

SoundStatReferenceCatalog::SoundStatReferenceCatalog() = default;
SoundStatReferenceCatalog::SoundStatReferenceCatalog(const SoundStatReferenceCatalog& other) = default;
SoundStatReferenceCatalog& SoundStatReferenceCatalog::operator=(const SoundStatReferenceCatalog& other) = default;
SoundStatReferenceCatalog::~SoundStatReferenceCatalog() = default;

bool SoundStatReferenceCatalog::readJSonFile(QString fileName)
{
    const QJsonDocument document = vexa::detail::loadJsonDocument(fileName, true);
    const QJsonArray root = document.array();
    if (document.isNull() || root.isEmpty())
        return false;
    for (const QJsonValue& v : root) {
        if (!v.isObject())
            return false;
        QJsonObject o = v.toObject();
        SoundStatReference reference;
        reference.readFromJSon(o);
        mReferences.push_back(reference);
    }
    return true;
}

QStringList SoundStatReferenceCatalog::getNameList()
{
    QStringList names;
    names.reserve(static_cast<int>(mReferences.size()));
    for (const SoundStatReference& r : mReferences)
        names.append(r.getName());
    std::sort(names.begin(), names.end());
    return names;
}

SoundStatReference SoundStatReferenceCatalog::getReference(const QString& name)
{
    for (const SoundStatReference& r : mReferences) {
        if (r.getName() == name)
            return r;
    }
    return SoundStatReference();
}

SoundStatReference SoundStatReferenceCatalog::getNearestReference(const SoundStatFile& file)
{
    const std::vector<double> freqs = file.getFrequencies();
    const QString version = file.getVersion();
    double best = 1e6;
    const SoundStatReference* result = nullptr;
    for (const SoundStatReference& r : mReferences) {
        if (r.getVersion() != version)
            continue;
        const std::vector<double>& rf = r.getFrequencies();
        const size_t common = std::min(rf.size(), freqs.size());
        double sum = 0.0;
        for (size_t i = 0; i < common; ++i)
            sum += (rf[i] - freqs[i]) * (rf[i] - freqs[i]);
        const double d = std::sqrt(sum);
        if (d < best) {
            best = d;
            result = &r;
        }
    }
    return result ? *result : SoundStatReference();
}
