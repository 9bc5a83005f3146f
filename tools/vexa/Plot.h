// Pictures of the tool's results as plain SVG.
#ifndef VEXA_TOOL_PLOT_H
#define VEXA_TOOL_PLOT_H

#include "Tracks.h"

#include <QByteArray>
#include <QString>
#include <vector>

// The level envelope of a file: for each step of stepSeconds, the RMS level
// in dB of the louder channel (-100 dB for digital silence). False with
// `error` set when the file cannot be read.
bool levelEnvelope(const QString& fileName, double stepSeconds, std::vector<double>& levelsDb, QString& error);

// A level envelope (dB, one value per step) over time, with the detector's
// regions shaded (noise grey, tracks in alternating colours, numbered as the
// files are).
QByteArray splitPlot(const std::vector<double>& levelsDb, double stepSeconds, const RMSStepDetector& detector,
                     const std::vector<Track>& tracks, unsigned int sampleRate, const QString& title);

// A curve drawn over the band bars: one value in dB per band.
struct BandCurve {
    QString label;
    std::vector<double> db;
    const char* colour;
};

// The relative level of each frequency band (band b spans crossovers[b - 1]
// to crossovers[b]; the first starts at 20 Hz, the last ends at the Nyquist
// frequency) as bars on a logarithmic frequency axis, with the curves as
// step lines over them and a legend when there are curves.
QByteArray bandPlot(const std::vector<double>& crossovers, const std::vector<double>& relativeDb, unsigned int sampleRate,
                    const QString& title, const std::vector<BandCurve>& curves = {});

#endif
