#include "SoundWriter.h"

#include "SoundWriterMp3.h"
#include "SoundWriterSndfile.h"
#include "detail/FileNameSplitter.h"

#include <cstdio>

SoundWriter::SoundWriter(unsigned int sampleRate)
    : mSampleRate(sampleRate)
{
}

SoundWriter::~SoundWriter() = default;

void SoundWriter::setTags(const SoundIDTag& /*tags*/)
{
}

bool SoundWriter::writeBuffer(std::shared_ptr<SoundBuffer> buffer, unsigned int margin)
{
    int start = buffer->getOrigin();
    if (start > mRangeEnd)
        return false;
    const int next = mRangeBegin + mCurrentOffset + mGapFrames;
    if (start > next) {
        const int rel = start - mRangeBegin;
        std::fprintf(stderr, "SoundWriter::WriteBuffer : Warning, there is a gap in the output flow ! %d->%d\n", rel,
                     mCurrentOffset);
        mGapFrames += start - next;
    } else {
        // Frames before `next` were written with an earlier buffer.
        start = next;
    }
    if (start > mRangeEnd)
        return false;
    if (buffer->getSampleRate() != mSampleRate) {
        setError(QStringLiteral("SoundWriter::WriteBuffer : Samplerate conversion not implemented"));
        return true;
    }
    if (buffer->getChannelNum() != getChannelNum()) {
        setError(QStringLiteral("SoundWriter::WriteBuffer : Incorrect number of channels"));
        return true;
    }
    int64_t count = static_cast<int64_t>(buffer->getOrigin()) + buffer->getFrameNB() - start - margin;
    if (start + count > mRangeEnd)
        count = static_cast<int64_t>(mRangeEnd) - start;
    if (count <= 0)
        return false;
    const unsigned int written = write(static_cast<unsigned int>(count), buffer->getFrame(start));
    mCurrentOffset += static_cast<int>(written);
    return written != static_cast<unsigned int>(count);
}

SoundWriter* SoundWriter::getFromFilename(QString fileName, unsigned int sampleRate, unsigned int bitrate,
                                          SoundTools::SoundFormat format)
{
    if (fileName.isEmpty())
        return nullptr;
    const vexa::detail::FileNameSplitter name(fileName);
    if (name.extension.empty())
        return nullptr;
    if (name.hasExtension("mp3"))
        return new SoundWriterMp3(sampleRate, 2, bitrate);
    SoundWriterSndfile::FileType type = SoundWriterSndfile::RAW;
    if (name.hasExtension("wav"))
        type = SoundWriterSndfile::WAV;
    else if (name.hasExtension("flac"))
        type = SoundWriterSndfile::FLAC;
    else if (name.hasExtension("ogg"))
        type = SoundWriterSndfile::OGG;
    return new SoundWriterSndfile(sampleRate, 2, format, type);
}
