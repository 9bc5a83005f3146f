// Base of the multiband amplifiers: a composite whose bands each hold an RMS
// amplifier (and, in most bands, a limiter), presented as one amplifier
// through the level interface. The composite owns the nodes; this class
// only keeps track of the band amplifiers and limiters to reach them.
#ifndef VEXA_SOUNDALGOMULTIBANDAMPLIFIER_H
#define VEXA_SOUNDALGOMULTIBANDAMPLIFIER_H

#include "SoundAlgoAmpliInterface.h"
#include "SoundAlgoComposite.h"
#include "SoundAlgoLimiter.h"
#include "SoundAlgoRMSAmplifier.h"
#include "vexa_export.h"

#include <QString>

#include <vector>

class VEXA_EXPORT SoundAlgoMultibandAmplifier : public SoundAlgoComposite, public SoundAlgoAmpliInterface {
    Q_OBJECT

public:
    // Registers a band node; neither call adds it to the graph.
    void pushAmplifier(SoundAlgoRMSAmplifier* amplifier);
    void pushLimiter(SoundAlgoLimiter* limiter);

    // Every band amplifier aims at this level (per-band offsets given at
    // construction no longer apply).
    void setLevel(double levelDb) override;
    void reset() override;
    // The first band amplifier's gain at that time; 0 without amplifier.
    double getLevel(double seconds) override;
    void changeSong() override;

    void SetBalanceFromRMS(const SoundTools::StereoFrame<double>& rmsDb);
    // Band limiter i writes its trace to "<base>.channel_<i>" from the next
    // run on.
    void SetDebugFile(const QString& base);

    size_t getAmplifierNumber() const { return mAmplifiers.size(); }
    SoundAlgoRMSAmplifier* getAmplifier(size_t i) const { return mAmplifiers[i]; }
    size_t getLimiterNumber() const { return mLimiters.size(); }
    SoundAlgoLimiter* getLimiter(size_t i) const { return mLimiters[i]; }

protected:
    SoundAlgoMultibandAmplifier(const char* name, bool sharedInputs);
    ~SoundAlgoMultibandAmplifier() override;

private:
    std::vector<SoundAlgoRMSAmplifier*> mAmplifiers;
    std::vector<SoundAlgoLimiter*> mLimiters;
};

#endif
