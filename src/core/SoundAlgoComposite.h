// A node made of other nodes, arranged in branches.
//
// Each branch is a chain (every node reads the outputs of the node before
// it); the branches run side by side on the composite's inputs (shared
// inputs) or on inputs of their own (taken in branch order). The composite
// answers the node questions for the whole graph, pads the branches with
// bypass nodes so that their outputs line up in time, runs the branches (in
// parallel when there are several) and exposes the branch outputs, in branch
// order, as its own.
//
// The composite owns the nodes pushed into it through their reference count:
// it takes over the reference a new node is born with and releases it when
// it is destroyed.
#ifndef VEXA_SOUNDALGOCOMPOSITE_H
#define VEXA_SOUNDALGOCOMPOSITE_H

#include "SoundAlgo.h"
#include "vexa_export.h"

#include <memory>
#include <vector>

namespace vexa::detail {
class AdaptiveParallel;
}

class VEXA_EXPORT SoundAlgoComposite : public SoundAlgo {
    Q_OBJECT

public:
    // Fills one frequency band of a multiband tree: pushes into target the
    // node or nodes that process the band.
    class VEXA_EXPORT FrequencyAlgoBuilder {
    public:
        virtual ~FrequencyAlgoBuilder() = default;
        virtual void buildAlgo(SoundAlgoComposite* target, int bandIndex, const QString& bandName) = 0;
    };

    explicit SoundAlgoComposite(QString id = QString(), bool sharedInput = true);
    ~SoundAlgoComposite() override;

    void addNewBranch();
    void pushAlgo(SoundAlgo* algo);
    void pushBranch(std::vector<SoundAlgo*>& branch);

    // A tree of two-way splits at the given crossover frequencies (Hz,
    // ascending): one band per interval, each filled by the builder, summed
    // back into one signal. The bands are named "[low-high]" in whole Hz, the
    // last one ending at 22050. biquad selects second-order low-pass splits
    // (first order otherwise). Without frequencies there is one band.
    void buildMultibandTree(const std::vector<double>& freqs, FrequencyAlgoBuilder& builder, bool biquad);

    SoundTools::Status process() override;
    unsigned int getInputNumber() const override;
    unsigned int getOutputNumber() const override;
    unsigned int getInFrameSize() const override;
    unsigned int getOutFrameSize() const override;
    unsigned int getInElementSize() const override;
    unsigned int getOutElementSize() const override;
    unsigned int getDelay(unsigned int sampleRate) const override;
    // The largest flush a branch needs: the shifts of its nodes plus the
    // look-ahead of every node after its head, which the stream's end padding
    // (sized for the head) does not feed.
    unsigned int getSampleShift(unsigned int sampleRate) const override;
    // The largest sum of the nodes' latencies along a branch.
    unsigned int getLatency(unsigned int sampleRate) const override;
    unsigned int getInOverlap(unsigned int sampleRate) const override;
    unsigned int getOutOverlap(unsigned int sampleRate) const override;

    size_t getBranchNumber() const { return mBranches.size(); }
    const std::vector<SoundAlgo*>& getBranch(size_t b) const { return mBranches[b]; }

protected:
    void pushBranchUnlocked(std::vector<SoundAlgo*>& branch);
    void setReadOnly() { mWritable = false; }

    unsigned int getBranchDelay(unsigned int sampleRate, unsigned int b) const;
    unsigned int getBranchShift(unsigned int sampleRate, unsigned int b) const;
    unsigned int getBranchOutOverlap(unsigned int sampleRate, unsigned int b) const;
    unsigned int getBranchInOverlap(unsigned int sampleRate, unsigned int b) const;

    int processOneLoop(int b);
    void recursiveBuildMultibandTree(const std::vector<double>& freqs, int index, FrequencyAlgoBuilder& builder, bool biquad);

    void debugBuffers() override;
    unsigned int getOutBufferOverlap(unsigned int sampleRate) const override;
    SoundTools::Status initInputBuffer(const LoopContext& ctx) override;
    SoundTools::Status initOutputBuffer(const LoopContext& ctx) override;
    void setOutOrigin() override;
    void updateOutput(unsigned int consumed) override;
    unsigned int getPreferredBufferSize(unsigned int sampleRate) const override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    SoundTools::Status linkBranches(const LoopContext& ctx);
    bool alignBranches();
    // Frames by which the final output of branch b lags its input: the
    // look-ahead and the unfinished tail of every node.
    unsigned int branchLag(unsigned int sampleRate, size_t b) const;
    static unsigned int nodeLag(const SoundAlgo* node, unsigned int sampleRate);

    bool mWritable = true;
    bool mSharedInput;
    std::vector<std::vector<SoundAlgo*>> mBranches;
    // Branches run in parallel only while that is measured to be faster.
    std::unique_ptr<vexa::detail::AdaptiveParallel> mSchedule;
};

#endif
