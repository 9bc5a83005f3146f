// Shared by the fuzz targets: a scratch folder in memory and a quiet Qt log.
#ifndef VEXA_FUZZ_FUZZSUPPORT_H
#define VEXA_FUZZ_FUZZSUPPORT_H

#include "SoundReader.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzsupport {

// Silences Qt's log (damaged input makes the library say so, every run) and
// creates the scratch folder. Call once, from LLVMFuzzerInitialize.
void init();
// A file of the scratch folder (in /dev/shm when there is one).
QString scratch(const QString& name);
// Writes the bytes to that file; returns its path.
QString writeScratch(const QString& name, const uint8_t* data, size_t size);
// The bytes parsed as JSON text (a null document when they are not).
QJsonDocument parseJson(const uint8_t* data, size_t size);

// A 440 Hz tone, right channel at half the left, with a quiet passage
// (54 dB down) over the middle sixth: regions of both kinds for a detector.
class ToneReader : public SoundReader {
public:
    ToneReader(unsigned int frames, unsigned int sampleRate) : mFrames(frames), mRate(sampleRate) {}
    SoundTools::Status open(QString) override { return SoundTools::StatusOk; }
    void close() override {}
    unsigned int getFrameNB() override { return mFrames; }
    unsigned int getSampleRate() override { return mRate; }
    void rewind() override { mPos = 0; }
    SoundTools::SoundFormat getInputFormat() override { return SoundTools::Double; }

protected:
    unsigned int read(unsigned int frames, double* dst) override;

private:
    unsigned int mFrames;
    unsigned int mRate;
    unsigned int mPos = 0;
};

} // namespace fuzzsupport

#endif
