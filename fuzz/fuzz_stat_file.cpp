// SoundStatFile::readJSonFile on arbitrary bytes (Qt binary JSON), then what
// a caller reads from an accepted file.
#include "FuzzSupport.h"

#include "SoundStatFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = fuzzsupport::writeScratch(QStringLiteral("input.ssf"), data, size);
    SoundStatFile file;
    if (file.readJSonFile(path)) {
        file.getRelativeLevels();
        file.getSampleRate();
        if (RMSStepDetector* detector = file.getStepDetector())
            detector->size();
        // Written back, it reads again.
        file.writeJSonFile(fuzzsupport::scratch(QStringLiteral("again.ssf")));
    }
    return 0;
}
