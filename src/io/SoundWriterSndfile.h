// Writer of WAV, FLAC, Ogg Vorbis and headerless raw float files through
// libsndfile. Integer output is clipped at full scale.
#ifndef VEXA_SOUNDWRITERSNDFILE_H
#define VEXA_SOUNDWRITERSNDFILE_H

#include "SoundWriter.h"
#include "vexa_export.h"

#include <memory>

class VEXA_EXPORT SoundWriterSndfile : public SoundWriter {
public:
    enum FileType {
        WAV = 0,
        RAW = 1, // headerless 32-bit float in CPU byte order
        FLAC = 2,
        OGG = 3
    };

    // FLAC stores 16 bits (PCM8, PCM16) or 24 bits (anything wider); Ogg
    // ignores the format; an unknown type is RAW.
    SoundWriterSndfile(unsigned int sampleRate = 44100, unsigned int channels = 2,
                       SoundTools::SoundFormat format = SoundTools::PCM16, FileType type = WAV);
    ~SoundWriterSndfile() override;

    SoundTools::Status open(QString fileName) override;
    void close() override;
    // Tags given before open are kept and written when the file opens; after
    // open they must come before the first write.
    void setTags(const SoundIDTag& tags) override;
    unsigned int getChannelNum() const override;

    bool isOpen() const;
    // The libsndfile format code the file is written with.
    int getFormatCode() const;

protected:
    unsigned int write(unsigned int frames, double* src) override;

private:
    void writeTags();

    struct Private;
    std::unique_ptr<Private> d;
};

#endif
