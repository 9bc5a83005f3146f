// Passes FFT frames through unchanged while averaging the power of every bin
// over a run: the long-term power spectrum of a recording, per bin or in
// bands between split frequencies. Each run starts the statistics afresh; a
// node read from JSON keeps what it read until it is run.
#ifndef VEXA_SOUNDALGOFFTSTATS_H
#define VEXA_SOUNDALGOFFTSTATS_H

#include "SoundAlgoFFT.h"
#include "vexa_export.h"

#include <vector>

class VEXA_EXPORT SoundAlgoFFTStats : public SoundAlgoFFT {
    Q_OBJECT

public:
    SoundAlgoFFTStats();
    ~SoundAlgoFFTStats() override;

    SoundTools::Status process() override;

    // "Class", the SoundAlgoFFT keys, "StatCount" and "StatsArray".
    void writeToJSon(QJsonObject& object) const override;
    // Null unless "Class" is "SoundAlgoFFTStats" and statistics were read.
    static SoundAlgoFFTStats* createFromJSon(QJsonObject& object);

    // Frequency of each bin, j x fs / N.
    std::vector<double> getFrequencies();
    // Level of each bin in dB (-100 for silence).
    std::vector<double> getStats();
    // Levels of the bands between the split frequencies (ascending), in dB
    // relative to the loudest band: one more band than split frequencies.
    std::vector<double> getStats(const std::vector<double>& splitFrequencies);

    const std::vector<double>& getPowers() const { return mStats; }
    // The time frame where the stream ends: FFT frames that reach past it
    // (the last one, padded with silence) are passed on but not counted, as
    // their cut edge would spread a tone over every band. No end by default.
    void setStreamEnd(long long frame) { mStreamEnd = frame; }
    double getCount() const { return mCount; }

protected:
    bool readFromJSon(QJsonObject& object) override;
    SoundTools::Status onInitInputBuffer() override;
    // Turns the sums into means.
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    std::vector<double> mStats;
    double mCount = 0.0;
    long long mStreamEnd = -1;
};

#endif
