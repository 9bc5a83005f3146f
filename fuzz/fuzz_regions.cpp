// RMSStepDetector regions read from arbitrary JSON text, then the per-track
// writer run over a short recording with those regions.
#include "FuzzSupport.h"

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundReader.h"
#include "SoundWriterMultiFile.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// Two seconds of a tone at 8 kHz with a silent second in the middle.
class ToneReader : public SoundReader {
public:
    static constexpr unsigned int kFrames = 16000;
    SoundTools::Status open(QString) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned int getFrameNB() override { return kFrames; }
    unsigned int getSampleRate() override { return 8000; }
    void rewind() override { mPos = 0; }
    SoundTools::SoundFormat getInputFormat() override { return SoundTools::Double; }

protected:
    unsigned int read(unsigned int frames, double* dst) override
    {
        unsigned int n = 0;
        for (; n < frames && mPos < kFrames; ++n, ++mPos) {
            const double v = (mPos / 4000) % 2 ? 0.0 : 0.5 * std::sin(mPos * 0.3);
            dst[2 * n] = v;
            dst[2 * n + 1] = -v;
        }
        return n;
    }

private:
    unsigned int mPos = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (!document.isObject())
        return 0;
    QJsonObject object = document.object();
    // As the tool loads saved regions: null unless the object is a detector
    // with a valid region list.
    RMSStepDetector* detector = RMSStepDetector::createFromJSon(object);
    if (!detector)
        return 0;
    {
        const QString folder = fuzzsupport::scratch(QStringLiteral("tracks"));
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        {
            SoundWriterMultiFile writer(detector, 0.1, 8000, 2, 128, SoundTools::PCM16);
            if (writer.open(folder + QStringLiteral("/track.wav")) == SoundTools::StatusOk) {
                ToneReader reader;
                auto* pass = new SoundAlgoBypass();
                pass->processAll(reader, &writer);
                pass->release();
                writer.close();
            }
        }
    }
    detector->release();
    return 0;
}
