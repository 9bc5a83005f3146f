// Common base of the nodes that work on FFT frames.
//
// An FFT-domain buffer has 2 channels, frame size N/2 + 1 and element size
// 2: one buffer frame is the stereo spectrum of one block of N samples (left
// bins 0 .. N/2 as (real, imaginary) pairs, then the right ones). With
// overlap, FFT frames follow each other every N/2 time frames and each holds
// N/2 samples followed by N/2 zeros; without, every N time frames.
//
// Every FFT-domain buffer of a chain carries the origin of the chain's
// time-domain input, and the frames of a block are addressed as buffer frames
// origin + k. Besides, the nodes of a chain pass each other the block's time
// geometry: where its first FFT frame starts on the stream, and how many time
// frames the block completes. Blocks need not be whole numbers of hops: a
// frame is transformed once all its samples are in, whichever block that is.
//
// FFT-domain nodes learn N and the overlap flag from the node that feeds
// them, at every run.
#ifndef VEXA_SOUNDALGOFFT_H
#define VEXA_SOUNDALGOFFT_H

#include "SoundAlgo.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoFFT : public SoundAlgo {
    Q_OBJECT

public:
    SoundAlgoFFT();
    // The size is stored as given.
    SoundAlgoFFT(unsigned int size, bool overlap);
    ~SoundAlgoFFT() override;

    unsigned int getSize() const { return mSize; }
    bool isOverlap() const { return mOverlap; }
    // Bins per half spectrum: N/2 + 1.
    unsigned int getFFTSampleSize() const { return mSize / 2 + 1; }
    // Time frames between consecutive FFT frames: N/2 with overlap, N without.
    unsigned int getHop() const { return mOverlap ? mSize / 2 : mSize; }
    // FFT frames held by n time frames, and the time frame where FFT frame k
    // starts.
    unsigned int frame2FFTFrame(unsigned int n) const;
    unsigned int FFTFrame2frame(unsigned int k) const;

    // "Size", "Overlap" and "SampleRate" (no "Class", no "Id").
    void writeToJSon(QJsonObject& object) const override;

    unsigned int getInFrameSize() const override { return getFFTSampleSize(); }
    unsigned int getOutFrameSize() const override { return getFFTSampleSize(); }
    unsigned int getInElementSize() const override { return 2; }
    unsigned int getOutElementSize() const override { return 2; }

protected:
    // Reads the keys present with the right type; true when N and the sample
    // rate are positive afterwards.
    bool readFromJSon(QJsonObject& object) override;

    // Learns N and the overlap flag from the upstream node (an FFT-domain
    // node cannot head a chain), shares its outputs, then runs
    // onInitInputBuffer, whose failure fails the initialisation.
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    virtual SoundTools::Status onInitInputBuffer() { return SoundTools::StatusOk; }
    void setOutOrigin() override;
    // FFT to FFT: as many output frames as input frames, at the input origin.
    void updateOutput(unsigned int consumed) override;
    int getOutOrigin() const override { return mOrigin; }

    // Calls f(x, y) for the spectrum of every channel of every frame of the
    // block: x the input's N/2 + 1 bins (real and imaginary parts
    // interleaved), y the output's at the same place. StatusError when a
    // buffer or frame is missing.
    template <class F>
    SoundTools::Status forEachSpectrum(F f);

    int getOrigin() const { return mOrigin; }
    void updateOrigin() { mOrigin = getInOrigin(); }
    // Takes the block's time geometry from the upstream node.
    void followUpstream(unsigned int fftFrames);

    // Drops the FFT frames of the previous block from an FFT-domain output.
    void clearFFTOutput(SoundBuffer& buffer, unsigned int consumed) const;

    int mOrigin = 0;
    unsigned int mSize = 0;
    bool mOverlap = false;
    // Time geometry of the current block: FFT frame k starts at time frame
    // mFrameStart + k * hop, and the block completes the time frames
    // mOrigin .. mOrigin + mTimeFrames - 1.
    int mFrameStart = 0;
    unsigned int mTimeFrames = 0;
};

template <class F>
SoundTools::Status SoundAlgoFFT::forEachSpectrum(F f)
{
    if (mInBuffers.empty() || mOutBuffers.empty())
        return SoundTools::StatusError;
    SoundBuffer& in = *mInBuffers[0];
    SoundBuffer& out = *mOutBuffers[0];
    const unsigned int frames = getOutFrameNb();
    const size_t channels = in.getChannelNum();
    const size_t bins = getFFTSampleSize();
    for (unsigned int k = 0; k < frames; ++k) {
        const double* src = in.getFrame(getInOrigin() + static_cast<int>(k));
        double* dst = out.getFrame(getOutOrigin() + static_cast<int>(k));
        if (!src || !dst)
            return SoundTools::StatusError;
        for (size_t c = 0; c < channels; ++c)
            f(src + 2 * c * bins, dst + 2 * c * bins);
    }
    return SoundTools::StatusOk;
}

#endif
