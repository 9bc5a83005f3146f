// A cascade of recursive filter kernels as a graph node.
//
// The node owns filter designs (builders); kernels are built from them when
// a run starts, since only then is the sample rate known, so every run starts
// from zero history. The output gain (dB) is given to the last kernel.
#ifndef VEXA_SOUNDALGOFILTER_H
#define VEXA_SOUNDALGOFILTER_H

#include "FilterBuilder.h"
#include "SoundAlgo.h"
#include "SoundFilter.h"
#include "vexa_export.h"

#include <memory>
#include <vector>

class VEXA_EXPORT SoundAlgoFilter : public SoundAlgo {
    Q_OBJECT

public:
    SoundAlgoFilter();
    explicit SoundAlgoFilter(std::shared_ptr<SoundTools::FilterBuilder> builder);

    // Appends a design at the end of the cascade; it takes effect at the
    // next run.
    void pushFilter(std::shared_ptr<SoundTools::FilterBuilder> builder);
    // Output gain in dB, applied from the next run.
    void setOutputGain(double gainDb);
    double getOutputGain() const { return mOutputGain; }

    SoundTools::Status process() override;

protected:
    ~SoundAlgoFilter() override;

    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;

    // The design at that index (owned by the node), or null.
    SoundTools::FilterBuilder* getbuilder(unsigned int index);
    // Rebuilds the kernel at that index with the current sample rate: zero
    // history; the last kernel keeps the output gain.
    void initFilter(int index);
    // Gain of the last kernel.
    double getFilterGain() const;

    // Runs the cascade over n frames, from src to dst.
    void runCascade(SoundTools::StereoFrame<double>* src, SoundTools::StereoFrame<double>* dst, unsigned int n);

    std::vector<std::shared_ptr<SoundTools::FilterBuilder>> mBuilders;
    std::vector<std::shared_ptr<SoundTools::Filter>> mFilters;
    double mOutputGain = 0.0;

private:
    // Whether the cascade may run in sub-blocks (every kernel gives the same
    // output however a block is split).
    bool mSplittable = true;
};

#endif
