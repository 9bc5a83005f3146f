#include "SoundStatFile.h"

#include "detail/FileNameSplitter.h"
#include "detail/JsonDocumentFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageLogger>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The name with its extension replaced by the statistics file's: drive,
// directory and base name are kept. Empty when there is no base name.
QString statFileName(const QString& fileName)
{
    const vexa::detail::FileNameSplitter parts(fileName);
    if (parts.baseName.empty())
        return QString();
    // Everything before the file part, slashes included, so that a file at
    // the root ("/a.wav") stays there.
    const std::string prefix = parts.fullName.substr(0, parts.fullName.size() - parts.fileName.size());
    return QString::fromLocal8Bit((prefix + parts.baseName + "." + SoundStatFile::getExtension()).c_str());
}

// JSON has no infinity: a level of silence (-infinity) is stored as null.
QJsonValue levelValue(double x)
{
    return std::isfinite(x) ? QJsonValue(x) : QJsonValue(QJsonValue::Null);
}

// A number, or -infinity for null; the field is kept for anything else.
void readLevel(const QJsonObject& object, const char* key, double& field)
{
    const QJsonValue v = object.value(QLatin1String(key));
    if (v.isDouble())
        field = v.toDouble();
    else if (v.isNull())
        field = -std::numeric_limits<double>::infinity();
}

} // namespace

SoundStatFile::SoundStatFile()
    : mVersion(QStringLiteral("1"))
{
}

SoundStatFile::SoundStatFile(const SoundStatFile& other)
    : mStepDetector(other.mStepDetector)
    , mFreqs(other.mFreqs)
    , mStats(other.mStats)
    , mFFTStats(other.mFFTStats)
    , mVersion(other.mVersion)
    , mLoudness(other.mLoudness)
    , mHasLoudness(other.mHasLoudness)
{
    addReferences();
}

SoundStatFile& SoundStatFile::operator=(const SoundStatFile& other)
{
    if (this == &other)
        return *this;
    // References on the other's nodes are taken before ours are released:
    // the two files may share nodes.
    SoundStatFile copy(other);
    clear();
    std::swap(mStepDetector, copy.mStepDetector);
    std::swap(mFreqs, copy.mFreqs);
    std::swap(mStats, copy.mStats);
    std::swap(mFFTStats, copy.mFFTStats);
    mVersion = other.mVersion;
    mLoudness = other.mLoudness;
    mHasLoudness = other.mHasLoudness;
    return *this;
}

SoundStatFile::~SoundStatFile()
{
    clear();
}

const char* SoundStatFile::getExtension()
{
    return "ssf";
}

void SoundStatFile::addReferences()
{
    if (mStepDetector)
        mStepDetector->addRef();
    for (SoundAlgoStats* s : mStats)
        s->addRef();
    if (mFFTStats)
        mFFTStats->addRef();
}

void SoundStatFile::clearStats()
{
    for (SoundAlgoStats* s : mStats)
        s->release();
    mStats.clear();
    mFreqs.clear();
    if (mFFTStats)
        mFFTStats->release();
    mFFTStats = nullptr;
}

void SoundStatFile::clearStepDetector()
{
    if (mStepDetector)
        mStepDetector->release();
    mStepDetector = nullptr;
}

void SoundStatFile::clear()
{
    clearStats();
    clearStepDetector();
}

void SoundStatFile::setStats(const std::vector<double>& freqs, const std::vector<SoundAlgoStats*>& stats, bool addRef)
{
    // The new nodes may include ones held already: take the new references
    // before releasing the old ones.
    const bool coherent = stats.size() == freqs.size() + 1
        && std::none_of(stats.begin(), stats.end(), [](SoundAlgoStats* s) { return s == nullptr; });
    if (coherent && addRef) {
        for (SoundAlgoStats* s : stats)
            s->addRef();
    }
    clearStats();
    if (!coherent) {
        QMessageLogger().critical() << "SoundStatFile::setStats : incoherent input sizes stats=" << stats.size()
                                    << " freqs=" << freqs.size();
        return;
    }
    mFreqs = freqs;
    mStats = stats;
}

void SoundStatFile::setStats(const std::vector<double>& freqs, SoundAlgoFFTStats* fftStats, bool addRef)
{
    if (fftStats && addRef)
        fftStats->addRef();
    clearStats();
    mFFTStats = fftStats;
    mFreqs = freqs;
}

void SoundStatFile::setStepDetector(RMSStepDetector* detector, bool addRef)
{
    if (detector && addRef)
        detector->addRef();
    clearStepDetector();
    mStepDetector = detector;
}

void SoundStatFile::setLoudness(const Loudness& loudness)
{
    mLoudness = loudness;
    mHasLoudness = true;
}

void SoundStatFile::setLoudness(const SoundAlgoLoudness& node)
{
    setLoudness(Loudness{node.getIntegratedLoudness(), node.getLoudnessRange(), node.getTruePeakDb(),
                         node.getSamplePeak()});
}

void SoundStatFile::getStats(std::vector<double>& freqs, std::vector<SoundAlgoStats*>& stats)
{
    freqs = mFreqs;
    stats = mStats;
}

unsigned SoundStatFile::getSampleRate() const
{
    if (!mStats.empty())
        return mStats.front()->getSampleRate();
    if (mFFTStats && mFFTStats->getSampleRate() > 0)
        return mFFTStats->getSampleRate();
    return 44100u;
}

std::vector<double> SoundStatFile::getRelativeLevels() const
{
    if (mFFTStats)
        return mFFTStats->getStats(mFreqs);
    std::vector<double> levels;
    levels.reserve(mStats.size());
    double loudest = -100.0;
    for (SoundAlgoStats* s : mStats) {
        levels.push_back(s->getFullRMS());
        loudest = std::max(loudest, levels.back());
    }
    for (double& l : levels)
        l -= loudest;
    return levels;
}

bool SoundStatFile::writeJSonFile(QString fileName)
{
    QJsonObject root;
    root.insert(QStringLiteral("Class"), QStringLiteral("SoundStatFile"));
    root.insert(QStringLiteral("Version"), mVersion);
    QJsonArray freqs;
    for (double f : mFreqs)
        freqs.append(f);
    root.insert(QStringLiteral("BandFreqs"), freqs);
    QJsonArray stats;
    for (SoundAlgoStats* s : mStats) {
        QJsonObject o;
        s->writeToJSon(o);
        stats.append(o);
    }
    root.insert(QStringLiteral("BandStats"), stats);
    if (mStepDetector) {
        QJsonObject o;
        mStepDetector->writeToJSon(o);
        root.insert(QStringLiteral("StepDetector"), o);
    }
    if (mFFTStats) {
        QJsonObject o;
        mFFTStats->writeToJSon(o);
        root.insert(QStringLiteral("FFTStats"), o);
    }
    if (mHasLoudness) {
        QJsonObject o;
        o.insert(QStringLiteral("IntegratedLUFS"), levelValue(mLoudness.integratedLufs));
        o.insert(QStringLiteral("RangeLU"), levelValue(mLoudness.rangeLu));
        o.insert(QStringLiteral("TruePeakDBTP"), levelValue(mLoudness.truePeakDbtp));
        o.insert(QStringLiteral("SamplePeak"), levelValue(mLoudness.samplePeak));
        root.insert(QStringLiteral("Loudness"), o);
    }
    return vexa::detail::saveJsonDocument(QJsonDocument(root), statFileName(fileName), true);
}

bool SoundStatFile::readJSonFile(QString fileName)
{
    const QJsonDocument document = vexa::detail::loadJsonDocument(statFileName(fileName), true);
    const QJsonObject root = document.object();
    const QJsonValue cls = root.value(QStringLiteral("Class"));
    const QJsonValue version = root.value(QStringLiteral("Version"));
    if (document.isNull() || root.isEmpty() || !cls.isString() || cls.toString() != QStringLiteral("SoundStatFile")
        || !version.isString())
        return false;

    mVersion = version.toString();
    clear();
    const QJsonValue freqs = root.value(QStringLiteral("BandFreqs"));
    if (freqs.isArray()) {
        const QJsonArray array = freqs.toArray();
        mFreqs.reserve(static_cast<size_t>(array.size()));
        for (const QJsonValue& v : array)
            mFreqs.push_back(v.toDouble());
    }
    const QJsonValue stats = root.value(QStringLiteral("BandStats"));
    if (stats.isArray()) {
        for (const QJsonValue& v : stats.toArray()) {
            if (!v.isObject())
                continue;
            QJsonObject o = v.toObject();
            if (SoundAlgoStats* s = SoundAlgoStats::createFromJSon(o))
                mStats.push_back(s);
        }
    }
    const QJsonValue detector = root.value(QStringLiteral("StepDetector"));
    if (detector.isObject()) {
        QJsonObject o = detector.toObject();
        mStepDetector = RMSStepDetector::createFromJSon(o);
    }
    const QJsonValue fft = root.value(QStringLiteral("FFTStats"));
    if (fft.isObject()) {
        QJsonObject o = fft.toObject();
        mFFTStats = SoundAlgoFFTStats::createFromJSon(o);
    }
    // Absent from files written before loudness was measured.
    mLoudness = Loudness();
    mHasLoudness = false;
    const QJsonValue loudness = root.value(QStringLiteral("Loudness"));
    if (loudness.isObject()) {
        const QJsonObject o = loudness.toObject();
        readLevel(o, "IntegratedLUFS", mLoudness.integratedLufs);
        readLevel(o, "RangeLU", mLoudness.rangeLu);
        readLevel(o, "TruePeakDBTP", mLoudness.truePeakDbtp);
        readLevel(o, "SamplePeak", mLoudness.samplePeak);
        mHasLoudness = true;
    }
    return true;
}
