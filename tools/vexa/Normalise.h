// vexa process --loudness: the output brought to an integrated loudness,
// its true peak held under a ceiling, and how it is shown.
#ifndef VEXA_TOOL_NORMALISE_H
#define VEXA_TOOL_NORMALISE_H

#include "Loudness.h"

#include <vexa/vexa.h>

#include <QByteArray>
#include <QString>

struct ChainBuild;
struct OutputSettings;

struct NormaliseResult {
    QString file;
    QString output;
    double targetLufs = 0;
    double ceilingDbtp = -1;
    LoudnessFigures before; // the chain's output, before the gain
    double gainDb = 0;
    bool limited = false; // the limiter held the peaks under the ceiling
    int passes = 0;       // writing passes (each measured afterwards)
    LoudnessFigures after; // the file written
};

QByteArray normaliseText(const NormaliseResult& r);
QByteArray normaliseJson(const NormaliseResult& r);

// Measures the chain's output, then writes `out` through the chain and the
// gain that brings it to build.loudnessLufs, measures what was written, and
// corrects the gain and the limiter's margin until the file is within
// 0.1 LU of the target with no true peak above build.truePeakDbtp (a few
// passes at most). The reader is open; tags go to the file. ExitOk, or an
// exit status with `error` set; nothing is written for a silent input or
// when the ceiling cannot be held.
int normaliseFile(SoundReader& reader, ChainBuild& build, const QString& in, const QString& out, const SoundIDTag& tags,
                  const OutputSettings& output, NormaliseResult& result, QString& error);

#endif
