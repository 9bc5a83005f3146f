// The file readers on arbitrary bytes: open, read to the end, then start
// again from a point inside. Built twice: for MP3 files, and for the
// libsndfile formats, where the first byte picks the file name's extension
// (WAV, FLAC, Ogg).
#include "FuzzSupport.h"

#include "SoundBuffer.h"
#include "SoundReader.h"

#include <algorithm>
#include <memory>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
#ifdef VEXA_FUZZ_MP3
    const char* extension = "mp3";
    const size_t skip = 0;
#else
    static const char* const extensions[] = {"wav", "flac", "ogg"};
    const char* extension = extensions[data[0] % 3];
    const size_t skip = 1;
#endif
    const QString path = fuzzsupport::writeScratch(QStringLiteral("input.") + QLatin1String(extension), data + skip,
                                                   size - skip);
    std::unique_ptr<SoundReader> reader(SoundReader::getFromFilename(path));
    if (!reader || reader->open(path) != SoundTools::StatusOk)
        return 0;
    auto buffer = SoundBuffer::createNew(reader->getSampleRate());
    buffer->alloc(4096, 2, 1, 1);
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1)
            reader->setStartPoint(reader->getFrameNB() / 3.0 / std::max(1u, reader->getSampleRate()));
        reader->rewind();
        // Bounded: a reader that never ends would show as a timeout.
        while (reader->stereoRead(buffer, 0) > 0) {
        }
    }
    reader->close();
    return 0;
}
