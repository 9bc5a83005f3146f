// Drives one node by hand, without a processing loop: fills its input
// buffers with given frames at given stream positions, runs one block and
// returns what it wrote.
#ifndef VEXA_TESTS_NODEHARNESS_H
#define VEXA_TESTS_NODEHARNESS_H

#include "SoundAlgo.h"

#include <vector>

template <class Node>
class Exposed : public Node {
public:
    using Node::Node;
    using Node::endProcess;
    using Node::getInOrigin;
    using Node::getOutFrameNb;
    using Node::getOutOrigin;
    using Node::initProcess;
    using Node::setOutOrigin;
    using Node::updateOutput;
};

using Frames = std::vector<SoundTools::StereoFrame<double>>;

// Runs one block of `node` over the inputs (input i starts at stream
// position origins[i]) and returns the frames of every output from the
// node's output origin on.
template <class Node>
std::vector<Frames> runOneBlock(Exposed<Node>& node, const std::vector<Frames>& inputs, const std::vector<int>& origins,
                                unsigned int sampleRate = 44100)
{
    SoundAlgo::LoopContext ctx;
    ctx.sampleRate = sampleRate;
    std::vector<Frames> result;
    if (node.initProcess(ctx, nullptr, nullptr) != SoundTools::StatusOk)
        return result;
    for (size_t i = 0; i < inputs.size(); ++i) {
        auto b = node.getInBuffer(static_cast<unsigned int>(i));
        b->setOrigin(origins[i]);
        b->setFrameNB(static_cast<unsigned int>(inputs[i].size()));
        for (size_t k = 0; k < inputs[i].size(); ++k)
            *b->getRelStereoFrame(static_cast<int>(k)) = inputs[i][k];
    }
    node.setOutOrigin();
    node.updateOutput(0);
    if (node.process() != SoundTools::StatusOk)
        return result;
    const unsigned int n = node.getOutFrameNb();
    for (unsigned int o = 0; o < node.getOutputNumber(); ++o) {
        auto b = node.getOutBuffer(o);
        Frames f(n);
        for (unsigned int k = 0; k < n; ++k)
            f[k] = *b->getStereoFrame(node.getOutOrigin() + static_cast<int>(k));
        result.push_back(f);
    }
    node.endProcess(0, 0);
    return result;
}

#endif
