// RMSStepDetector regions read from arbitrary JSON text, then the per-track
// writer run over a two-second recording with those regions.
#include "FuzzSupport.h"

#include "RMSStepDetector.h"
#include "SoundAlgoBypass.h"
#include "SoundWriterMultiFile.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>



extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument document = fuzzsupport::parseJson(data, size);
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
                fuzzsupport::ToneReader reader(16000, 8000);
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
