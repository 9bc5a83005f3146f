// What `vexa analyze` measured, and how it is shown (as text or as JSON).
#ifndef VEXA_TOOL_ANALYZECOMMAND_H
#define VEXA_TOOL_ANALYZECOMMAND_H

#include <QByteArray>
#include <QString>

#include <limits>
#include <vector>

struct AnalyzeResult {
    QString file;
    QString statisticsFile;
    double rmsDb = -100.0; // both channels
    double rmsLeftDb = -100.0;
    double rmsRightDb = -100.0;
    double peakLeftDb = -100.0;
    double peakRightDb = -100.0;
    // EBU R128; -infinity for silence.
    bool measuredLoudness = true; // false with --no-loudness
    double loudnessLufs = -std::numeric_limits<double>::infinity();
    QString loudnessMissing; // why there is no loudness, when there is none
    double loudnessRangeLu = 0.0;
    double truePeakDbtp = -std::numeric_limits<double>::infinity();
    // Band b spans splits[b - 1] to splits[b] (0 Hz and the Nyquist
    // frequency at the ends); its level relative to the loudest band.
    std::vector<double> splits;
    unsigned int sampleRate = 0;
    std::vector<double> relativeDb;
    int regions = 0;
    int longTracks = 0; // runs of regions without noise of at least 30 s
};

QByteArray analyzeText(const AnalyzeResult& r);
QByteArray analyzeJson(const AnalyzeResult& r);

#endif
