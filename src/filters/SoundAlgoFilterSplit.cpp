#include "SoundAlgoFilterSplit.h"

SoundAlgoFilterSplit::SoundAlgoFilterSplit() = default;

SoundAlgoFilterSplit::SoundAlgoFilterSplit(std::shared_ptr<SoundTools::FilterBuilder> builder)
    : SoundAlgoFilter(std::move(builder))
{
}

SoundAlgoFilterSplit::~SoundAlgoFilterSplit() = default;

SoundTools::Status SoundAlgoFilterSplit::process()
{
    const SoundTools::Status s = SoundAlgoFilter::process();
    if (s != SoundTools::StatusOk)
        return s;
    const unsigned int n = getOutFrameNb();
    if (n == 0)
        return SoundTools::StatusOk;
    const double g = getFilterGain();
    const double* in = mInBuffers[0]->getFrame(getInOrigin());
    const double* low = mOutBuffers[0]->getFrame(getOutOrigin());
    double* high = mOutBuffers[1]->getFrame(getOutOrigin());
    for (size_t k = 0; k < 2 * static_cast<size_t>(n); ++k)
        high[k] = in[k] * g - low[k];
    return SoundTools::StatusOk;
}
