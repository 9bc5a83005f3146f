// FFT domain to time domain: FFT frames in, stereo frames out.
//
// Three modes, chosen at every run from the upstream node: overlap-add with
// hop N/2 (overlapping frames), concatenation of N-sample blocks (frames
// without overlap), and, when fed by a SoundFFTAutocorrel, the normalised
// autocorrelation: lag j of each frame's inverse divided by the number of
// products at that lag, N/2 - j, never less than 50. A node built disabled
// computes and writes nothing.
//
// The output follows the chain's time-domain input frame for frame: each
// block delivers the time frames the direct node's block completed. Frames
// that an FFT frame finished beyond them are kept for the next block.
#ifndef VEXA_SOUNDALGOFFTINVERSECOMPUTE_H
#define VEXA_SOUNDALGOFFTINVERSECOMPUTE_H

#include "SoundAlgoFFT.h"
#include "vexa_export.h"

#include <memory>
#include <vector>

namespace vexa::detail {
class FFTARadix2;
}

class VEXA_EXPORT SoundAlgoFFTInverseCompute : public SoundAlgoFFT {
    Q_OBJECT

public:
    enum Mode { Disabled = -1, Concatenate = 0, OverlapAdd = 1, Autocorrelation = 2 };

    explicit SoundAlgoFFTInverseCompute(bool disabled = false);
    ~SoundAlgoFFTInverseCompute() override;

    SoundTools::Status process() override;
    unsigned int getOutFrameSize() const override { return 1; }
    unsigned int getOutElementSize() const override { return 1; }

    int getMode() const { return mMode; }

protected:
    SoundTools::Status onInitInputBuffer() override;
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void updateOutput(unsigned int consumed) override;

private:
    // Writes the stereo frames of stream positions pos .. pos + count - 1
    // into the block's output, keeping those beyond it for the next block.
    void deliver(int pos, const double* frames, unsigned int count);

    std::unique_ptr<vexa::detail::FFTARadix2> mEngine;
    int mMode;
    std::vector<double> mTail;    // N stereo frames: the last inverse transform
    std::vector<double> mWork;    // N stereo frames
    std::vector<double> mHop;     // the frames one FFT frame finishes
    std::vector<double> mPending; // finished frames beyond the last block
    std::vector<double> mSpare;
    int mPendingStart = 0;
    int mBlockStart = 0;          // the block's output: mBlockStart ..
    unsigned int mBlockFrames = 0; // .. mBlockStart + mBlockFrames - 1
    double* mBlockOut = nullptr;
};

#endif
