#include "SoundAlgoFilterBiquad.h"

#include "BiquadEqBuilder.h"

SoundAlgoFilterBiquad::SoundAlgoFilterBiquad() = default;

SoundAlgoFilterBiquad::SoundAlgoFilterBiquad(SoundTools::FilterType type, double freq, double width, double gain)
{
    pushFilter(type, freq, width, gain);
}

SoundAlgoFilterBiquad::~SoundAlgoFilterBiquad() = default;

void SoundAlgoFilterBiquad::pushFilter(SoundTools::FilterType type, double freq, double width, double gain)
{
    SoundAlgoFilter::pushFilter(std::make_shared<SoundTools::BiquadEqBuilder>(type, freq, width, gain));
}

void SoundAlgoFilterBiquad::SetFreq(unsigned int index, double freq)
{
    if (auto* band = dynamic_cast<SoundTools::BiquadEqBuilder*>(getbuilder(index))) {
        band->setFreq(freq);
        initFilter(static_cast<int>(index));
    }
}

void SoundAlgoFilterBiquad::SetLevel(unsigned int index, double gainDb)
{
    if (auto* band = dynamic_cast<SoundTools::BiquadEqBuilder*>(getbuilder(index))) {
        band->setGain(gainDb);
        initFilter(static_cast<int>(index));
    }
}

void SoundAlgoFilterBiquad::SetWidth(unsigned int index, double width)
{
    if (auto* band = dynamic_cast<SoundTools::BiquadEqBuilder*>(getbuilder(index))) {
        band->setWidth(width);
        initFilter(static_cast<int>(index));
    }
}
