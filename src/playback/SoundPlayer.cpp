#include "SoundPlayer.h"

#include "SoundAlgoAmpliInterface.h"
#include "SoundAlgoNoiseGate.h"

#include <QDebug>

namespace {

const double kDefaultFrequencies[9] = {60, 120, 250, 500, 1000, 2000, 4000, 8000, 15000};

struct BuiltInPreset {
    const char* name;
    double levels[9];
};

const BuiltInPreset kPresets[] = {
    {"Flat", {0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"Standard", {4, 4, 2, 0, 0, 0, 2, 4, 4}},
    {"Treble", {0, 0, 0, 0, 0, 0, 3, 4, 5}},
    {"Bass", {4, 5, 4, 2, 0, 0, 0, 0, 0}},
    {"Classical", {4, 3, 3, -1, -1, 0, 2, 3, 4}},
    {"Dance", {6, 5, 0, 1, 3, 5, 4, 3, 0}},
    {"Electronic", {5, 2, 0, -2, 3, 1, 2, 3, 4}},
    {"Folk", {4, 3, 1, 2, 2, 3, 3.5, 3, 2}},
    {"Hip_Hop", {5, 2, 3, -1, -1, 1, 0, 2, 3}},
    {"Jazz", {3, 2, 2.5, -1, -1, 0, 1, 3, 4}},
    {"Loudness", {5, 4, 3, -1, -1, -1, 3, 4, 5}},
    {"Metal", {5, 3, 1, 0, 2, 0, 1, 3, 5}},
    {"Pop", {-1, 0, 2, 4, 4, 2, 0, -1, -2}},
    {"Rock", {4, 3, 2, 0, -1, 0, 2, 3, 4}},
};

} // namespace

SoundPlayer::SoundPlayer(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer)
{
    if (reader)
        mDevice = new SoundAlgoDevice(std::move(reader), algo);
    if (defaultEqualizer)
        buildDefaultEqualizer();
}

SoundPlayer::~SoundPlayer()
{
    qDebug() << "deleting player";
    delete mDevice;
    mDevice = nullptr;
    qDebug() << "device deleted";
}

std::shared_ptr<SoundReader> SoundPlayer::getReader() const
{
    return mDevice ? mDevice->getReader() : nullptr;
}

void SoundPlayer::buildDefaultEqualizer()
{
    for (double f : kDefaultFrequencies)
        mBands.push_back(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::BandEq, f, 1.0, 0.0));
    addBassBoost();
    mPresets.clear();
    for (const BuiltInPreset& p : kPresets)
        mPresets.push_back(Preset{QString::fromLatin1(p.name), std::vector<double>(p.levels, p.levels + 9)});
}

void SoundPlayer::setEqualizer(const std::vector<std::shared_ptr<SoundTools::BiquadEqBuilder>>& eq)
{
    mBands = eq;
    addBassBoost();
}

void SoundPlayer::addBassBoost()
{
    mBands.push_back(std::make_shared<SoundTools::BiquadEqBuilder>(SoundTools::LowShelf, 200.0, 1.0, 8.0));
}

void SoundPlayer::setEqualizerPresets(const std::vector<Preset>& presets)
{
    mPresets = presets;
}

QStringList SoundPlayer::getEqPresets() const
{
    QStringList names;
    for (const Preset& p : mPresets)
        names << p.name;
    return names;
}

void SoundPlayer::setEqPreset(unsigned int index)
{
    if (index >= mPresets.size())
        return;
    const Preset& preset = mPresets[index];
    const size_t bands = mBands.size();
    if (bands > 1) {
        if (preset.levels.size() < bands - 1)
            return;
        for (size_t j = 0; j + 1 < bands; ++j)
            mBands[j]->setGain(preset.levels[j]);
    }
    if (mDevice)
        switchEq(mDevice->hasFilters());
}

unsigned int SoundPlayer::getEqBandNumber()
{
    return mBands.empty() ? 0u : static_cast<unsigned int>(mBands.size() - 1);
}

double SoundPlayer::getEqBandRange()
{
    return 8.0;
}

double SoundPlayer::getEqBandFreq(unsigned int index)
{
    return index < mBands.size() ? mBands[index]->freq() : 0.0;
}

double SoundPlayer::getEqBandLevel(unsigned int index)
{
    return index < mBands.size() ? mBands[index]->gain() : 0.0;
}

bool SoundPlayer::hasEqualizer() const
{
    return mBands.size() > 1;
}

bool SoundPlayer::hasBassBoost() const
{
    return !mBands.empty();
}

void SoundPlayer::switchEq(bool on)
{
    mEqOn = on;
    rebuildFilter();
}

void SoundPlayer::switchBassBoost(bool on)
{
    mBassBoostOn = on;
    rebuildFilter();
}

void SoundPlayer::setEqLevel(unsigned int index, double gainDb)
{
    if (index >= mBands.size())
        return;
    const double old = mBands[index]->gain();
    mBands[index]->setGain(gainDb);
    replaceFilter(index, old > gainDb);
}

void SoundPlayer::setEqFreq(unsigned int index, double freq)
{
    if (index >= mBands.size())
        return;
    mBands[index]->setFreq(freq);
    replaceFilter(index, true);
}

void SoundPlayer::setEqWidth(unsigned int index, double width)
{
    if (index >= mBands.size())
        return;
    mBands[index]->setWidth(width);
    replaceFilter(index, true);
}

void SoundPlayer::setEqGain(double gain)
{
    if (mBands.empty())
        return;
    mEqGain = gain;
    if (mEqOn && mDevice) {
        const unsigned int last = lastFilterRank();
        mDevice->setFilter(last, mBands[last]->buildClipFilter(mDevice->getSampleRate(), mEqGain));
    }
}

double SoundPlayer::getEqGain() const
{
    if (mBands.empty() || !mDevice)
        return mEqGain;
    return mDevice->getFilterGain(lastFilterRank());
}

unsigned int SoundPlayer::lastFilterRank() const
{
    const auto b = static_cast<unsigned int>(mBands.size());
    return mBassBoostOn ? b - 1 : b - 2;
}

std::shared_ptr<SoundTools::Filter> SoundPlayer::makeFilter(unsigned int index)
{
    const unsigned int rate = mDevice ? mDevice->getSampleRate() : 44100u;
    if (index == lastFilterRank())
        return mBands[index]->buildClipFilter(rate, mEqGain);
    return mBands[index]->buildFilter(rate);
}

void SoundPlayer::buildFilter(unsigned int index)
{
    if (mDevice && index < mBands.size())
        mDevice->addFilter(makeFilter(index));
}

void SoundPlayer::rebuildFilter()
{
    if (!mDevice)
        return;
    // The whole chain is built first and swapped in at once.
    std::vector<std::shared_ptr<SoundTools::Filter>> chain;
    const auto b = static_cast<unsigned int>(mBands.size());
    if (b > 0) {
        const unsigned int first = mEqOn ? 0 : b - 1;
        const unsigned int end = mBassBoostOn ? b : b - 1;
        for (unsigned int i = first; i < end; ++i)
            chain.push_back(makeFilter(i));
    }
    mDevice->setFilters(std::move(chain));
}

void SoundPlayer::replaceFilter(unsigned int index, bool resetGain)
{
    if (!mEqOn || !mDevice)
        return;
    const unsigned int last = lastFilterRank();
    if (index == last) {
        if (resetGain)
            mEqGain = 1.0;
        mDevice->setFilter(index, mBands[index]->buildClipFilter(mDevice->getSampleRate(), mEqGain));
        return;
    }
    mDevice->setFilter(index, mBands[index]->buildFilter(mDevice->getSampleRate()));
    if (resetGain) {
        if (last < mDevice->getFilterNumber())
            mDevice->resetFilterGain(last);
        mEqGain = 1.0;
    }
}

void SoundPlayer::setGateLevel(double thresholdDb)
{
    if (!mNoiseGate)
        return;
    if (mDevice)
        mDevice->lockAlgo();
    mNoiseGate->SetThreshold(thresholdDb);
    if (mDevice)
        mDevice->unlockAlgo();
}

void SoundPlayer::setAmpLevel(double levelDb)
{
    if (!mAmplifier)
        return;
    if (mDevice)
        mDevice->lockAlgo();
    mAmplifier->setLevel(levelDb);
    if (mDevice)
        mDevice->unlockAlgo();
}
