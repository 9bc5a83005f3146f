// A block of frames with an absolute stream position.
//
// A frame is channelNum x frameSize x elementSize consecutive doubles (the
// stride); time-domain audio uses 2 x 1 x 1, i.e. one StereoFrame<double>.
// The origin is the stream index of the first frame held, so every node of a
// graph knows which part of the stream it sees. Between blocks a buffer can
// keep the tail of the previous block at its head (a margin) for algorithms
// that look back or ahead.
#ifndef VEXA_SOUNDBUFFER_H
#define VEXA_SOUNDBUFFER_H

#include "SoundTools.h"
#include "vexa_export.h"

#include <cstddef>
#include <memory>

class VEXA_EXPORT SoundBuffer {
public:
    explicit SoundBuffer(unsigned int sampleRate);
    ~SoundBuffer();
    SoundBuffer& operator=(const SoundBuffer& other);

    static std::shared_ptr<SoundBuffer> createNew(unsigned int sampleRate);

    // Default block size of the processing loop, in frames.
    static unsigned int getDefaultSize() { return sSize; }
    static void setDefaultSize(unsigned int frames);

    // Sets the layout and makes room for at least `frames` frames. The
    // memory is replaced (and zeroed) only when the new total exceeds the
    // current one; otherwise the content is kept. frameNB becomes 0.
    void alloc(unsigned int frames, int channels, unsigned int frameSize, unsigned int elementSize);
    // Zeroes every allocated value.
    void reset();

    // Sets the number of valid frames, growing the memory when needed. Growth
    // keeps the valid frames and zeroes the new ones.
    void setFrameNB(unsigned int frames);
    unsigned int getFrameNB() const { return mFrameNB; }
    // Frames from absolute index `from` to the end (may be negative).
    int getFrameNB(int from) const { return mOrigin + static_cast<int>(mFrameNB) - from; }

    unsigned int getFrameNBAllocated() const { return mFrameNBAllocated; }
    unsigned int getChannelNum() const { return mChannelNum; }
    unsigned int getFrameSize() const { return mFrameSize; }
    unsigned int getElementSize() const { return mElementSize; }
    unsigned int getSampleRate() const { return mSampleRate; }
    void setSampleRate(unsigned int sampleRate) { mSampleRate = sampleRate; }
    unsigned int getFrameStride() const { return mChannelNum * mFrameSize * mElementSize; }
    bool isStereo() const { return getFrameStride() == 2; }

    int getOrigin() const { return mOrigin; }
    void setOrigin(int origin) { mOrigin = origin; }
    int getEnd() const { return mOrigin + static_cast<int>(mFrameNB) - 1; }

    // Moves the origin d frames back and empties the buffer: the next
    // keepMargin puts d silent frames in front of the first frames read.
    void setInitialDelay(unsigned int d);
    int getInitialDelay() const { return mInitialDelay; }

    // Frame at an absolute stream index; null (with a diagnostic line) before
    // the origin. The upper end is not checked.
    double* getFrame(int index)
    {
        if (index < mOrigin)
            return reportFrameBeforeOrigin(index);
        return mData + static_cast<std::ptrdiff_t>(index - mOrigin) * getFrameStride();
    }
    SoundTools::StereoFrame<double>* getStereoFrame(int index)
    {
        return reinterpret_cast<SoundTools::StereoFrame<double>*>(getFrame(index));
    }
    // Frame i places from the start of the data; null (with a diagnostic
    // line) for a negative i.
    double* getRelFrame(int i)
    {
        if (i < 0)
            return reportNegativeFrame();
        return mData + static_cast<std::ptrdiff_t>(i) * getFrameStride();
    }
    SoundTools::StereoFrame<double>* getRelStereoFrame(int i)
    {
        return reinterpret_cast<SoundTools::StereoFrame<double>*>(getRelFrame(i));
    }

    // Adds n silent frames after the valid ones, growing the memory if needed.
    void appendMargin(unsigned int n);
    // Prepares the buffer for the next block while keeping the last n valid
    // frames (all of them when there are no more than n) at its start.
    // Returns the index at which new frames must be written. A fresh buffer
    // after setInitialDelay instead gets its silent lead-in and returns it.
    unsigned int keepMargin(unsigned int n);
    // Drops the first n valid frames, moving the rest to the start.
    void rotate(unsigned int n);

    // Applied to every sample of the first frameNB frames (channelNum values
    // per frame): x + v, x * v and (x + offset) * factor.
    void addBuffer(double v);
    void mulBuffer(double v);
    void normBuffer(double offset, double factor);

protected:
    SoundBuffer(const SoundBuffer& other);

private:
    double* reportFrameBeforeOrigin(int index) const;
    double* reportNegativeFrame() const;
    void releaseData();
    // Number of doubles of the current block as the layout fields describe it.
    size_t currentDoubles() const
    {
        return static_cast<size_t>(mFrameNBAllocated) * getFrameStride();
    }

    double* mData = nullptr;
    unsigned int mFrameNB = 0;
    unsigned int mFrameNBAllocated = 0;
    int mOrigin = 0;
    int mInitialDelay = 0;
    unsigned int mSampleRate = 0;
    unsigned int mChannelNum = 0;
    unsigned int mFrameSize = 0;
    unsigned int mElementSize = 0;

    static unsigned int sSize;
};

#endif
