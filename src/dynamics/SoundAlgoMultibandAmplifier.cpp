#include "SoundAlgoMultibandAmplifier.h"

SoundAlgoMultibandAmplifier::SoundAlgoMultibandAmplifier(const char* name, bool sharedInputs)
    : SoundAlgoComposite(QString::fromLatin1(name), sharedInputs)
{
}

SoundAlgoMultibandAmplifier::~SoundAlgoMultibandAmplifier() = default;

void SoundAlgoMultibandAmplifier::pushAmplifier(SoundAlgoRMSAmplifier* amplifier)
{
    if (amplifier)
        mAmplifiers.push_back(amplifier);
}

void SoundAlgoMultibandAmplifier::pushLimiter(SoundAlgoLimiter* limiter)
{
    if (limiter)
        mLimiters.push_back(limiter);
}

void SoundAlgoMultibandAmplifier::setLevel(double levelDb)
{
    for (SoundAlgoRMSAmplifier* a : mAmplifiers)
        a->setLevel(levelDb);
}

void SoundAlgoMultibandAmplifier::reset()
{
    for (SoundAlgoRMSAmplifier* a : mAmplifiers)
        a->reset();
}

double SoundAlgoMultibandAmplifier::getLevel(double seconds)
{
    return mAmplifiers.empty() ? 0.0 : mAmplifiers.front()->getLevel(seconds);
}

void SoundAlgoMultibandAmplifier::changeSong()
{
}

void SoundAlgoMultibandAmplifier::SetBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb)
{
    for (SoundAlgoRMSAmplifier* a : mAmplifiers)
        a->setBalanceFromRMS(rmsDb);
}

void SoundAlgoMultibandAmplifier::SetDebugFile(const QString& base)
{
    for (size_t i = 0; i < mLimiters.size(); ++i)
        mLimiters[i]->setDebugFile(QString("%1.channel_%2").arg(base).arg(i).toStdString());
}
