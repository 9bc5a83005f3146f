// Decides, block after block, whether a parallel region pays for itself.
//
// OpenMP's fork and join cost little on an idle machine and a great deal on
// a busy one: a team waits at its barrier for a thread that has no core, for
// as long as the scheduler's time slice. So the decision is measured, not
// assumed: blocks are timed both ways, the cheaper way is kept, and the other
// is tried again now and then, less often each time it loses.
#ifndef VEXA_DETAIL_ADAPTIVEPARALLEL_H
#define VEXA_DETAIL_ADAPTIVEPARALLEL_H

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace vexa::detail {

class AdaptiveParallel {
public:
    // Runs f(parallel) for a block of `units` of work (frames, say) and
    // records its cost; with a single thread available, or inside another
    // parallel region, always serial and untimed.
    template <class F>
    void run(double units, F f)
    {
        if (omp_get_max_threads() < 2 || omp_in_parallel() || units <= 0) {
            f(false);
            return;
        }
        const bool parallel = choose();
        const auto start = std::chrono::steady_clock::now();
        f(parallel);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        record(parallel, took.count() / units);
    }

private:
    bool choose()
    {
        ++mBlocks;
        // One block each way to warm up, then one to measure; but while the
        // others have found the parallel way losing (a busy machine), this
        // one tries it only when its first retry is due.
        if (mSamples[0] < 2)
            return false;
        if (mSamples[1] < 2) {
            if (verdict().load(std::memory_order_relaxed) < 0 && mBlocks < mRetryEvery)
                return false;
            return true;
        }
        const bool preferParallel = mCost[1] < kMargin * mCost[0];
        if (mBlocks >= mNextRetry) {
            mNextRetry = mBlocks + mRetryEvery;
            return !preferParallel;
        }
        return preferParallel;
    }

    void record(bool parallel, double cost)
    {
        const int m = parallel ? 1 : 0;
        if (mSamples[m]++ == 0)
            return; // warm-up: memory touched for the first time
        const bool wasPreferred = (mCost[1] < kMargin * mCost[0]) == parallel;
        mCost[m] = mSamples[m] == 2 ? cost : 0.75 * mCost[m] + 0.25 * cost;
        if (mSamples[0] >= 2 && mSamples[1] >= 2)
            verdict().store(mCost[1] < kMargin * mCost[0] ? 1 : -1, std::memory_order_relaxed);
        if (mSamples[0] >= 2 && mSamples[1] >= 2 && !wasPreferred) {
            // A retry of the losing way: back off while it keeps losing.
            const bool nowPreferred = (mCost[1] < kMargin * mCost[0]) == parallel;
            mRetryEvery = nowPreferred ? 64u : std::min(mRetryEvery * 4, 4096u);
        }
    }

    // The parallel way must be this much cheaper to be kept: timings on a
    // busy machine are noisy, and a lost bet costs more than a missed gain.
    static constexpr double kMargin = 0.9;

    // What the last comparison anywhere in the process found: 1 parallel
    // faster, -1 slower, 0 not known yet.
    static std::atomic<int>& verdict()
    {
        static std::atomic<int> v{0};
        return v;
    }

    double mCost[2] = {0.0, 0.0}; // seconds per unit: serial, parallel
    unsigned int mSamples[2] = {0, 0};
    unsigned int mBlocks = 0;
    unsigned int mRetryEvery = 64;
    unsigned int mNextRetry = 0;
};

} // namespace vexa::detail

#endif
