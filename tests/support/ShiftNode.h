// Test node for the frame bookkeeping of the loop and of composite graphs.
#ifndef VEXA_TESTS_SHIFTNODE_H
#define VEXA_TESTS_SHIFTNODE_H

#include "SoundAlgo.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>

namespace vexatest {

using SoundTools::StereoFrame;

// A node that moves its input D frames later and declares any in overlap I
// (look-ahead), out overlap O and sample shift S. It checks, block by block,
// what the loop promises it: the look-ahead frames it needs are present and
// hold the stream's values, and the unfinished tail it left in its output is
// still there, at the same positions, at the head of the next block. The
// unfinished frames carry a marker that must never reach a writer.
class ShiftNode : public SoundAlgo {
public:
    static constexpr double kUnfinished = 1000000.0;

    ShiftNode(unsigned int i, unsigned int d, unsigned int o, unsigned int s, std::function<StereoFrame<double>(int64_t)> truth)
        : mI(i), mD(d), mO(o), mS(s), mTruth(std::move(truth))
    {
    }

    unsigned int getInOverlap(unsigned int) const override { return mI; }
    unsigned int getDelay(unsigned int) const override { return mD; }
    unsigned int getOutOverlap(unsigned int) const override { return mO; }
    unsigned int getSampleShift(unsigned int) const override { return mS; }

    SoundTools::Status process() override
    {
        ++blocks;
        SoundBuffer& in = *mInBuffers[0];
        SoundBuffer& out = *mOutBuffers[0];
        const int outOrigin = getOutOrigin();
        const int n = static_cast<int>(getOutFrameNb());
        const int unfinishedFrom = outOrigin + n - static_cast<int>(mO);
        const int lastInput = getInOrigin() + static_cast<int>(getInFrameNb()) - 1;

        // Frames kept from the previous block: complete those that are now final.
        for (int p = outOrigin; p < outOrigin + std::min<int>(static_cast<int>(mO), n); ++p) {
            auto it = mPending.find(p);
            if (it == mPending.end())
                continue; // lead-in before the stream: never produced
            double* f = out.getFrame(p);
            if (f[0] != it->second.left + kUnfinished || f[1] != it->second.right + kUnfinished)
                fail("kept frame " + std::to_string(p) + " lost in block " + std::to_string(blocks));
            if (p < unfinishedFrom) {
                f[0] = it->second.left;
                f[1] = it->second.right;
                mPending.erase(it);
            }
        }
        for (int p = outOrigin + static_cast<int>(mO); p < outOrigin + n; ++p) {
            const int q = p - static_cast<int>(mD);
            if (q < getInOrigin() || q + static_cast<int>(mI) > lastInput) {
                fail("input " + std::to_string(q) + " (+" + std::to_string(mI) + ") outside [" +
                     std::to_string(getInOrigin()) + "," + std::to_string(lastInput) + "]");
                continue;
            }
            for (int k = q; k <= q + static_cast<int>(mI); ++k) {
                const StereoFrame<double> t = mTruth(k);
                if (in.getFrame(k)[0] != t.left || in.getFrame(k)[1] != t.right)
                    fail("input frame " + std::to_string(k) + " wrong");
            }
            const StereoFrame<double> v = *in.getStereoFrame(q);
            double* f = out.getFrame(p);
            if (p >= unfinishedFrom) {
                f[0] = v.left + kUnfinished;
                f[1] = v.right + kUnfinished;
                mPending[p] = v;
            } else {
                f[0] = v.left;
                f[1] = v.right;
            }
        }
        return SoundTools::StatusOk;
    }

    std::string errors;
    int blocks = 0;

private:
    void fail(const std::string& what)
    {
        if (errors.size() < 400)
            errors += what + "; ";
    }

    unsigned int mI, mD, mO, mS;
    std::function<StereoFrame<double>(int64_t)> mTruth;
    std::map<int, StereoFrame<double>> mPending;
};

} // namespace vexatest

#endif
