// Loudness of files as the tool measures and shows it (EBU R128 through
// SoundAlgoLoudness): the figures of one measurement, a file measured on
// its own, and the number formats for text and JSON.
#ifndef VEXA_TOOL_LOUDNESS_H
#define VEXA_TOOL_LOUDNESS_H

#include <vexa/vexa.h>

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <limits>

// What one measurement gives; -infinity LUFS and dBTP for silence (or a run
// shorter than a gating block).
struct LoudnessFigures {
    double integratedLufs = -std::numeric_limits<double>::infinity();
    double rangeLu = 0.0;
    double truePeakDbtp = -std::numeric_limits<double>::infinity();
    double truePeak = 0.0; // linear, 1.0 = full scale
    double samplePeakDbfs = -std::numeric_limits<double>::infinity();
    // Shorter than one 400 ms gating block: no loudness can be measured.
    bool tooShort = false;

    bool hasLoudness() const;
    // Why there is no loudness, in words: "silent (...)" or "too short (...)".
    QString missingReason() const;
};

LoudnessFigures figuresOf(const SoundAlgoLoudness& node);

// The channel count a loudness node measures the reader's file with: 1 for
// a mono file (which arrives as two equal channels), else 2.
int loudnessChannels(SoundReader& reader);

// Measures the whole file. Null with `error` set when it cannot be read.
SoundRef<SoundAlgoLoudness> measureFile(const QString& fileName, bool progress, QString& error);

// A level for text: "-23.00", or "-inf" when not finite.
QByteArray levelText(double value);
// A level for JSON, to 0.01: null when not finite.
QJsonValue levelJson(double value);

#endif
