#include "SoundAlgoFFTMultibandAmplifier.h"

#include "SoundAlgoAdd.h"
#include "SoundAlgoFFTDirectCompute.h"
#include "SoundAlgoFFTFilter.h"
#include "SoundAlgoFFTInverseCompute.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"

SoundAlgoFFTMultibandAmplifier::SoundAlgoFFTMultibandAmplifier(const std::vector<double>& crossovers, double levelDb,
                                                               double lookAheadTime, double releaseTime,
                                                               RMSStepDetector* detector, unsigned int fftSize,
                                                               bool sumBands)
    : SoundAlgoMultibandAmplifier("SoundAlgoFFTMultibandAmplifier", true)
{
    if (crossovers.empty())
        return;
    const size_t n = crossovers.size();
    auto* branches = new SoundAlgoComposite(QStringLiteral("SoundAlgoFFTMultibandAmplifier:Branches"), true);
    pushAlgo(new SoundAlgoFFTDirectCompute(fftSize, true, false));
    for (size_t k = 0; k <= n; ++k) {
        if (k > 0)
            branches->addNewBranch();
        SoundAlgoFFTFilter* band;
        if (k == 0)
            band = new SoundAlgoFFTFilter(SoundTools::LowPass, crossovers[0], 0.0);
        else if (k < n)
            band = new SoundAlgoFFTFilter(SoundTools::BandPass, crossovers[k - 1] + 150.0, crossovers[k]);
        else
            band = new SoundAlgoFFTFilter(SoundTools::HighPass, crossovers[n - 1] + 150.0, 0.0);
        branches->pushAlgo(band);
        branches->pushAlgo(new SoundAlgoFFTInverseCompute(false));
        if (levelDb != 0.0) {
            auto* amplifier = new SoundAlgoRMSAmplifier(levelDb, detector, releaseTime, 0, 100.0, 30.0);
            pushAmplifier(amplifier);
            branches->pushAlgo(amplifier);
            auto* limiter = new SoundAlgoLimiter(0.0, lookAheadTime, releaseTime, nullptr);
            pushLimiter(limiter);
            branches->pushAlgo(limiter);
        }
    }
    pushAlgo(branches);
    if (sumBands) {
        pushAlgo(new SoundAlgoAdd(static_cast<int>(n + 1), true, nullptr));
        if (levelDb != 0.0)
            pushAlgo(new SoundAlgoLimiter(0.0, lookAheadTime, releaseTime, nullptr));
    }
}

SoundAlgoFFTMultibandAmplifier::~SoundAlgoFFTMultibandAmplifier() = default;
