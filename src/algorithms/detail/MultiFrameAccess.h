// Frame pointers of every input and output of a node at the block's first
// frame, so that the per-frame loops index plain arrays. Not installed.
#ifndef VEXA_DETAIL_MULTIFRAMEACCESS_H
#define VEXA_DETAIL_MULTIFRAMEACCESS_H

#include "SoundBuffer.h"

#include <memory>
#include <vector>

namespace vexa::detail {

struct MultiFrameAccess {
    std::vector<const double*> in;
    std::vector<double*> out;

    MultiFrameAccess(const std::vector<std::shared_ptr<SoundBuffer>>& inputs,
                     const std::vector<std::shared_ptr<SoundBuffer>>& outputs, int inOrigin, int outOrigin)
    {
        in.reserve(inputs.size());
        for (const auto& b : inputs)
            in.push_back(b->getFrame(inOrigin));
        out.reserve(outputs.size());
        for (const auto& b : outputs)
            out.push_back(b->getFrame(outOrigin));
    }
};

} // namespace vexa::detail

#endif
