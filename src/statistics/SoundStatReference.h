// A named reference spectrum: relative band levels (dB, loudest band at
// 0 dB) at given band frequencies, and the correction that brings a
// recording's spectrum (from its statistics file) towards it.
//
// Frequencies and levels pair up one to one; the frequencies are compared
// with the statistics file's split frequencies, over their common length.
// Band k of the file (of B bands) lies between split frequencies k - 1 and
// k, so a reference for B bands lists B frequencies: the B - 1 splits and
// one above them, where its high shelf sits.
#ifndef VEXA_SOUNDSTATREFERENCE_H
#define VEXA_SOUNDSTATREFERENCE_H

#include "SoundAlgoFilter.h"
#include "SoundStatFile.h"
#include "vexa_export.h"

#include <QJsonObject>
#include <QString>

#include <vector>

class VEXA_EXPORT SoundStatReference {
public:
    SoundStatReference();
    SoundStatReference(const SoundStatReference& other);
    SoundStatReference& operator=(const SoundStatReference& other);
    ~SoundStatReference();

    QString getName() const { return mName; }
    QString getVersion() const { return mVersion; }
    const std::vector<double>& getFrequencies() const { return mFrequencies; }
    const std::vector<double>& getLevels() const { return mLevels; }
    // No frequency, no level, or not one level per frequency.
    bool isEmpty() const;

    // 250, 500, 1000, 2000, 3000, 4000, 6000, 8000, 10000 Hz: ten bands.
    static std::vector<double> getDefaultFrequencies();

    // Reads "Class" ("SoundStatReference"), "Name", "Frequency",
    // "RelativeLevel" and "Version", in that order, stopping with false at
    // the first one missing or of the wrong type; what was read before
    // stays, and the arrays are appended to.
    bool readFromJSon(QJsonObject& object);

    // Per band of the file: the reference level minus the file's relative
    // level, clamped to +-maxCorrection, then lowered by the largest of them
    // (and of 0): the correction only attenuates. Empty, with the error text
    // set, when the file has no band or the reference fewer levels than the
    // file has bands.
    std::vector<double> getCorrectedLevels(const SoundStatFile& file, double maxCorrection) const;

    // An equalizer applying getCorrectedLevels: a low shelf at the first
    // frequency (band 0), a high shelf at the last one (the top band), and
    // one peaking band between each pair of consecutive frequencies with the
    // correction of the file band lying there; bands without correction are
    // left out. With setGain, the output gain compensates the mean power the
    // peaking bands remove from the ear's most sensitive range (about 830 Hz
    // to 9.4 kHz, 3.5 octaves around 2.8 kHz): -10 log10 of the mean of
    // 10^(gain/10) over the bands that overlap it (0 dB when none does).
    // A new node owned by the caller; null, with the error text set, when
    // the reference or the file cannot give a correction.
    SoundAlgoFilter* buildCorrectionFilter(const SoundStatFile& file, double maxCorrection, bool setGain) const;

private:
    QString mName;
    QString mVersion;
    std::vector<double> mFrequencies;
    std::vector<double> mLevels;
};

#endif
