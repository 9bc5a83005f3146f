#include "SoundAlgoMulti.h"

SoundAlgoMulti::SoundAlgoMulti(int inputs, bool singleOutput)
    : mInputNumber(inputs)
    , mSingleOutput(singleOutput)
{
}

unsigned int SoundAlgoMulti::getInputNumber() const
{
    return mInputNumber > 0 ? static_cast<unsigned int>(mInputNumber) : 0u;
}

unsigned int SoundAlgoMulti::getOutputNumber() const
{
    return mSingleOutput ? 1u : getInputNumber();
}
