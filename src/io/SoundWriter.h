// Destination of every processing run. A concrete writer stores interleaved
// frames (write); this base picks the new part of each buffer, within the
// output range, skipping frames already written and holding back the
// unfinished margin.
#ifndef VEXA_SOUNDWRITER_H
#define VEXA_SOUNDWRITER_H

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundIDTag.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QString>
#include <memory>

class VEXA_EXPORT SoundWriter : public SoundDebuggableClass {
public:
    explicit SoundWriter(unsigned int sampleRate);
    virtual ~SoundWriter();
    // A writer owns an open file handle: copies would close it twice.
    SoundWriter(const SoundWriter&) = delete;
    SoundWriter& operator=(const SoundWriter&) = delete;

    virtual SoundTools::Status open(QString fileName) = 0;
    virtual void close() = 0;
    virtual void setTags(const SoundIDTag& tags);
    virtual unsigned int getChannelNum() const { return 2; }

    // Stream positions [begin, end) are written; end 2147483647 means no end.
    void setRange(int begin, int end)
    {
        mRangeBegin = begin;
        mRangeEnd = end;
    }
    int getCurrentOffset() const { return mCurrentOffset; }
    unsigned int getSampleRate() const { return mSampleRate; }

    // Stores the frames of the buffer that were not written yet, except the
    // last `margin` ones (they come again at the head of the next buffer).
    // Returns true on failure.
    bool writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned int margin);
    // Samples beyond full scale that a format of fixed range (integer PCM,
    // MP3) had to clip, since the writer was made.
    unsigned long long getClippedSamples() const { return mClipped; }

    // A new, unopened stereo writer for the file's extension, owned by the
    // caller: mp3 (with `bitrate` in kbit/s), wav, flac, ogg (with `format`),
    // and headerless raw 32-bit float for any other extension. Null when the
    // name has no extension.
    static SoundWriter* getFromFilename(QString fileName, unsigned int sampleRate, unsigned int bitrate,
                                        SoundTools::SoundFormat format);

protected:
    // Stores `frames` interleaved frames of getChannelNum() values; returns
    // the number of frames stored.
    virtual unsigned int write(unsigned int frames, double* src) = 0;

    // For writers that drive other writers (one file per track).
    static unsigned int writeTo(SoundWriter* target, unsigned int frames, double* src)
    {
        return target->write(frames, src);
    }
    static void advanceOffset(SoundWriter* target, int frames) { target->mCurrentOffset += frames; }

    // Counts the samples of [src, src + count) beyond full scale as clipped.
    void countClipped(const double* src, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            mClipped += src[i] > 1.0 || src[i] < -1.0;
    }

    unsigned long long mClipped = 0;
    // Frames written, counted from the range begin.
    int mCurrentOffset = 0;
    int mRangeBegin = 0;
    int mRangeEnd = 0x7fffffff;
    unsigned int mSampleRate;

private:
    // Frames skipped by gaps in the flow, so that the next position to write
    // stays exact after a gap.
    int mGapFrames = 0;
};

#endif
