#include "SoundAlgoFilter.h"

#include "BiquadClipFilter.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

namespace {

// A cascade runs kernel after kernel over sub-blocks of this many frames, so
// that the block stays in the cache between kernels.
constexpr unsigned int kCascadeChunk = 2048;

} // namespace

SoundAlgoFilter::SoundAlgoFilter() = default;

SoundAlgoFilter::SoundAlgoFilter(std::shared_ptr<SoundTools::FilterBuilder> builder)
{
    pushFilter(std::move(builder));
}

SoundAlgoFilter::~SoundAlgoFilter() = default;

void SoundAlgoFilter::pushFilter(std::shared_ptr<SoundTools::FilterBuilder> builder)
{
    if (builder)
        mBuilders.push_back(std::move(builder));
}

void SoundAlgoFilter::setOutputGain(double gainDb)
{
    mOutputGain = gainDb;
}

SoundTools::FilterBuilder* SoundAlgoFilter::getbuilder(unsigned int index)
{
    return index < mBuilders.size() ? mBuilders[index].get() : nullptr;
}

double SoundAlgoFilter::getFilterGain() const
{
    return mFilters.empty() ? 1.0 : mFilters.back()->getGain();
}

SoundTools::Status SoundAlgoFilter::initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next)
{
    if (mBuilders.empty()) {
        return failWith(QStringLiteral("no filter to run"), "SoundAlgoFilter::initProcess");
    }
    mSampleRate = ctx.sampleRate;
    mFilters.assign(mBuilders.size(), nullptr);
    mSplittable = true;
    for (size_t i = 0; i < mBuilders.size(); ++i) {
        mFilters[i] = mBuilders[i]->buildFilter(mSampleRate);
        if (!mFilters[i]) {
            return failWith(QStringLiteral("filter %1 could not be built").arg(i), "SoundAlgoFilter::initProcess");
        }
        // The clip filter corrects earlier frames of the same call.
        if (dynamic_cast<SoundTools::BiquadClipFilter*>(mFilters[i].get()))
            mSplittable = false;
    }
    mFilters.back()->setGain(std::pow(10.0, mOutputGain / 20.0));
    return SoundAlgo::initProcess(ctx, prev, next);
}

void SoundAlgoFilter::initFilter(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= mBuilders.size() || static_cast<size_t>(index) >= mFilters.size())
        return;
    auto filter = mBuilders[static_cast<size_t>(index)]->buildFilter(mSampleRate);
    if (!filter)
        return;
    // The output gain lives on the last kernel: a rebuilt last band keeps it.
    if (static_cast<size_t>(index) + 1 == mFilters.size())
        filter->setGain(std::pow(10.0, mOutputGain / 20.0));
    mFilters[static_cast<size_t>(index)] = filter;
}

void SoundAlgoFilter::runCascade(SoundTools::StereoFrame<double>* src, SoundTools::StereoFrame<double>* dst, unsigned int n)
{
    // Plain biquads (the equalizers) run frame by frame through every
    // section at once.
    SoundTools::BiquadFilter* sections[SoundTools::BiquadFilter::kMaxSections];
    bool plain = mFilters.size() <= SoundTools::BiquadFilter::kMaxSections;
    for (size_t i = 0; plain && i < mFilters.size(); ++i) {
        SoundTools::Filter* f = mFilters[i].get();
        plain = typeid(*f) == typeid(SoundTools::BiquadFilter);
        if (plain)
            sections[i] = static_cast<SoundTools::BiquadFilter*>(f);
    }
    if (plain && SoundTools::BiquadFilter::filterCascade(sections, static_cast<unsigned int>(mFilters.size()), src, dst, n))
        return;
    const unsigned int chunk = mSplittable ? kCascadeChunk : n;
    for (unsigned int done = 0; done < n; done += chunk) {
        const unsigned int m = std::min(chunk, n - done);
        SoundTools::StereoFrame<double>* in = src + done;
        SoundTools::StereoFrame<double>* out = dst + done;
        for (auto& filter : mFilters) {
            filter->filter(in, out, m);
            in = out;
        }
    }
}

SoundTools::Status SoundAlgoFilter::process()
{
    const unsigned int n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    if (mFilters.empty())
        return SoundTools::StatusError;
    runCascade(mInBuffers[0]->getStereoFrame(getInOrigin()), mOutBuffers[0]->getStereoFrame(getOutOrigin()), n);
    return SoundTools::StatusOk;
}
