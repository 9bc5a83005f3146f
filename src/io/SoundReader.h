// Source of every processing run. A concrete reader decodes interleaved
// stereo doubles (read); this base keeps the stream position, applies the
// start point and fills SoundBuffers block by block with a kept margin.
#ifndef VEXA_SOUNDREADER_H
#define VEXA_SOUNDREADER_H

#include "SoundBuffer.h"
#include "SoundDebuggableClass.h"
#include "SoundIDTag.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QString>
#include <memory>
#include <string>

class VEXA_EXPORT SoundReader : public SoundDebuggableClass {
public:
    SoundReader();
    virtual ~SoundReader();
    // A reader owns an open file handle: copies would close it twice.
    SoundReader(const SoundReader&) = delete;
    SoundReader& operator=(const SoundReader&) = delete;

    virtual SoundTools::Status open(QString fileName) = 0;
    virtual void close() = 0;
    virtual unsigned int getFrameNB() = 0;
    virtual unsigned int getSampleRate() = 0;
    // Goes back to the start point.
    virtual void rewind() = 0;
    virtual SoundTools::SoundFormat getInputFormat() = 0;
    virtual bool getTags(SoundIDTag& tags);

    // The start point, in seconds, takes effect at the next rewind().
    void setStartPoint(double seconds) { mStartPoint = seconds; }
    double getStartPoint() const { return mStartPoint; }
    int getStartOffset();
    int getOffset() const { return mOffset; }
    bool atEnd() const { return mAtEnd; }
    // Where the data ended: the stream position after the last frame read,
    // once a read has come back short (-1 before). A damaged file ends
    // before getFrameNB().
    int getEndOffset() const { return mAtEnd ? mEndOffset : -1; }

    double getLength();
    // The length as hh:mm:ss.sss.
    std::string getLengthString();
    // A duration in seconds as hh:mm:ss.sss.
    static std::string formatLength(double seconds);

    // Fills the buffer with the next frames, keeping the last `margin` frames
    // of its previous content at its head. At the end of the stream (nothing
    // left to read) `margin` silent frames follow the last frames kept, so
    // that a look-ahead of that length reaches past the last frame. Returns
    // the number of frames read.
    unsigned int stereoRead(std::shared_ptr<SoundBuffer> buffer, unsigned int margin);

    // A new, unopened reader for the file's extension (mp3, wav, flac, ogg;
    // any case), owned by the caller; null for any other extension.
    static SoundReader* getFromFilename(QString fileName);
    // True when getFromFilename has a reader for the name.
    static bool isRecognized(QString fileName);

protected:
    // A reader that runs another on a thread of its own calls its read.
    friend class SoundReaderAhead;

    // Decodes up to `frames` frames at the current file position into dst as
    // interleaved stereo doubles; returns the number of frames written.
    virtual unsigned int read(unsigned int frames, double* dst) = 0;
    void resetAtEnd() { mAtEnd = false; }

    int mOffset = 0;
    int mEndOffset = 0;
    double mStartPoint = 0.0;
    bool mAtEnd = false;
};

#endif
