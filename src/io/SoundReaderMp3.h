// Reader of MPEG audio files (MP3) decoded by libmpg123 to floating-point
// stereo at the file's own rate (16-bit where libmpg123 has no float
// output); mono files are delivered with equal channels. Tags
// come from the ID3v2 tag, or from the ID3v1 tag when there is no ID3v2 tag.
#ifndef VEXA_SOUNDREADERMP3_H
#define VEXA_SOUNDREADERMP3_H

#include "SoundReader.h"
#include "vexa_export.h"

#include <memory>

class VEXA_EXPORT SoundReaderMp3 : public SoundReader {
public:
    SoundReaderMp3();
    ~SoundReaderMp3() override;

    // Initialises libmpg123 (harmless to repeat).
    static void init();

    SoundTools::Status open(QString fileName) override;
    void close() override;
    // The exact length, found by scanning the file at open.
    unsigned int getFrameNB() override;
    unsigned int getSampleRate() override;
    // A start point beyond the end goes to the end.
    void rewind() override;
    SoundTools::SoundFormat getInputFormat() override { return SoundTools::PCM16; }
    bool getTags(SoundIDTag& tags) override;

    bool isOpen() const;
    // The file's own channel count (1 or 2), 0 when closed.
    unsigned int getChannelNum() const;
    // Bit rate in kbit/s of a constant or average rate file; 0 for a
    // variable rate, or when closed.
    unsigned int getBitrate() const;

protected:
    unsigned int read(unsigned int frames, double* dst) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif
