// MP3 writer over the LAME encoder. LAME is not linked: the first writer (or
// Init()) loads it at run time and resolves its functions by name. Without
// it, writers can still be made but refuse to open.
#ifndef VEXA_SOUNDWRITERMP3_H
#define VEXA_SOUNDWRITERMP3_H

#include "SoundWriter.h"
#include "vexa_export.h"

#include <QStringList>
#include <memory>

class VEXA_EXPORT SoundWriterMp3 : public SoundWriter {
public:
    // bitrate in kbit/s; joint stereo, quality 2.
    SoundWriterMp3(unsigned int sampleRate = 44100, unsigned int channels = 2, unsigned int bitrate = 192);
    ~SoundWriterMp3() override;

    // Loads the encoder unless that was already tried; true when available.
    static bool Init();
    // True when the encoder is loaded, without trying to load it.
    static bool IsInit();

    // The names of the encoder library, tried in order with QLibrary.
    // Setting them forgets the outcome of an earlier attempt, so that the
    // next writer or Init() loads again; writers that already hold an
    // encoder keep it. resetLibraryNames() restores the default list
    // ("libmp3lame-0", "lame_enc", then the platform's libmp3lame of
    // major version 0).
    static void setLibraryNames(const QStringList& names);
    static void resetLibraryNames();

    SoundTools::Status open(QString fileName) override;
    void close() override;
    // Tags are written as ID3v2 and ID3v1; set them before the first block.
    void setTags(const SoundIDTag& tags) override;
    // 0 when the encoder is not available.
    unsigned int getChannelNum() const override;

protected:
    // Samples are clipped to full scale and stored as 16 bits at 0.95 of it.
    unsigned int write(unsigned int frames, double* src) override;

private:
    static void _init_lame();
    static int sLameInit; // 0 not tried, 1 available, -1 not available

    bool makeEncoder();
    bool startEncoder();
    void dropEncoder();
    bool flushAndClose();

    struct Private;
    std::unique_ptr<Private> d;
};

#endif
