// SoundStatReferenceCatalog::readJSonFile on arbitrary bytes, read once as
// JSON text (a name ending in .json) and once as Qt binary JSON, then the
// look-ups a caller makes.
#include "FuzzSupport.h"

#include "SoundStatFile.h"
#include "SoundStatReferenceCatalog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const char* name : {"catalog.json", "catalog.bin"}) {
        const QString path = fuzzsupport::writeScratch(QString::fromLatin1(name), data, size);
        SoundStatReferenceCatalog catalog;
        catalog.readJSonFile(path);
        const QStringList names = catalog.getNameList();
        if (!names.isEmpty())
            catalog.getReference(names.front());
        const SoundStatFile blank;
        catalog.getNearestReference(blank);
        for (const SoundStatReference& r : catalog.getReferenceList())
            r.isEmpty();
    }
    return 0;
}
