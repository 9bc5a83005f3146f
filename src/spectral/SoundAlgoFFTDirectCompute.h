// Time domain to FFT domain: stereo frames in, FFT frames out.
//
// The size is rounded down to a power of two (at least 2). With overlap,
// each FFT frame takes N/2 new samples followed by N/2 zeros and frames
// follow each other every N/2 samples: multiplying such spectra by the
// response of a filter of at most N/2 taps is a linear convolution, which
// the inverse node's overlap-add joins exactly. Without overlap, each FFT
// frame takes N samples and frames follow each other every N samples. An
// optional periodic Hann window (over the N/2 or N samples taken) shapes the
// samples before the transform.
//
// A frame is transformed once all its samples are in: the node reads a
// hop's worth of look-ahead (N/2 frames with overlap, N - 1 without), so
// that the chain completes every time frame of a block whatever the block's
// size.
#ifndef VEXA_SOUNDALGOFFTDIRECTCOMPUTE_H
#define VEXA_SOUNDALGOFFTDIRECTCOMPUTE_H

#include "SoundAlgoFFT.h"
#include "vexa_export.h"

#include <memory>
#include <vector>

namespace vexa::detail {
class FFTARadix2;
}

class VEXA_EXPORT SoundAlgoFFTDirectCompute : public SoundAlgoFFT {
    Q_OBJECT

public:
    explicit SoundAlgoFFTDirectCompute(unsigned int size = 8192, bool overlap = true, bool window = false);
    ~SoundAlgoFFTDirectCompute() override;

    SoundTools::Status process() override;
    unsigned int getInFrameSize() const override { return 1; }
    unsigned int getInElementSize() const override { return 1; }
    unsigned int getInOverlap(unsigned int sampleRate) const override;

    bool isWindowed() const { return !mWindow.empty(); }
    const std::vector<double>& getWindow() const { return mWindow; }

protected:
    // The input is time-domain: plain input buffers, N is the node's own.
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void setOutOrigin() override;
    void updateOutput(unsigned int consumed) override;

private:
    std::unique_ptr<vexa::detail::FFTARadix2> mEngine;
    std::vector<double> mWindow;
    std::vector<double> mScratch; // N stereo frames
    int mNextFrame = 0;           // time frame where the next FFT frame starts
    unsigned int mFrameCount = 0; // FFT frames of the current block
};

#endif
