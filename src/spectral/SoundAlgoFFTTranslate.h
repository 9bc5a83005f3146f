// Shifts every half spectrum by a whole number of bins: content moves by
// shift x fs / N Hz (up for a positive shift). DC and Nyquist bins stay
// where they are; bins shifted out are dropped and bins shifted in are 0.
#ifndef VEXA_SOUNDALGOFFTTRANSLATE_H
#define VEXA_SOUNDALGOFFTTRANSLATE_H

#include "SoundAlgoFFT.h"
#include "vexa_export.h"

class VEXA_EXPORT SoundAlgoFFTTranslate : public SoundAlgoFFT {
    Q_OBJECT

public:
    explicit SoundAlgoFFTTranslate(int shift);
    ~SoundAlgoFFTTranslate() override;

    SoundTools::Status process() override;
    unsigned int getInputNumber() const override { return 1; }
    unsigned int getOutputNumber() const override { return 1; }
    unsigned int getInFrameSize() const override { return getFFTSampleSize(); }
    unsigned int getOutFrameSize() const override { return getFFTSampleSize(); }
    unsigned int getInElementSize() const override { return 2; }
    unsigned int getOutElementSize() const override { return 2; }

    int getShift() const { return mShift; }

protected:
    // N is learnt from the upstream node at the first initialisation of a
    // run and forgotten at its end.
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    int mShift;
};

#endif
