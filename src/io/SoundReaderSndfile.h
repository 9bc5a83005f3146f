// Reader for every format libsndfile opens (WAV, FLAC, Ogg Vorbis, AIFF ...).
// Mono files are delivered with equal channels; files of more than two
// channels deliver their first two.
#ifndef VEXA_SOUNDREADERSNDFILE_H
#define VEXA_SOUNDREADERSNDFILE_H

#include "SoundReader.h"
#include "vexa_export.h"

#include <memory>

class VEXA_EXPORT SoundReaderSndfile : public SoundReader {
public:
    SoundReaderSndfile();
    ~SoundReaderSndfile() override;

    SoundTools::Status open(QString fileName) override;
    void close() override;
    // The frame count of the file's header, at most 0xffffffff. A damaged
    // file may hold fewer frames: the stream ends at the first short read.
    unsigned int getFrameNB() override;
    unsigned int getSampleRate() override;
    // A start point at or beyond the end goes back to frame 0.
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() override;
    // Title, album, year, artist and comment from the file; the track
    // number from the file name ("07 - Song.wav" gives 07). True when one
    // of the five text tags was found.
    bool getTags(SoundIDTag& tags) override;

    bool isOpen() const;
    unsigned int getChannelNum() const;
    // libsndfile's names of the file's container ("FLAC (Free Lossless Audio
    // Codec)") and encoding ("Signed 16 bit PCM", "Vorbis"); empty when closed.
    QString getContainerName() const;
    QString getCodecName() const;

protected:
    unsigned int read(unsigned int frames, double* dst) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif
