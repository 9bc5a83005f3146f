// What `vexa match` found, and how it is shown (as text or as JSON).
#ifndef VEXA_TOOL_MATCHCOMMAND_H
#define VEXA_TOOL_MATCHCOMMAND_H

#include <QByteArray>
#include <QString>

#include <utility>
#include <vector>

struct MatchResult {
    QString file;
    QString catalog;   // the catalog's file name, or "built-in catalog"
    QString reference; // the reference compared with
    bool named = false; // named with --reference (else the nearest)
    // The references made for the bands measured, nearest first, with the
    // RMS difference in dB of their curve from the recording's.
    std::vector<std::pair<QString, double>> candidates;
    // Band b spans splits[b - 1] to splits[b] (0 Hz and the Nyquist
    // frequency at the ends).
    std::vector<double> splits;
    unsigned int sampleRate = 0;
    std::vector<double> relativeDb;   // the recording's band levels
    std::vector<double> referenceDb;  // the reference's
    std::vector<double> correctionDb; // the correction of each band
    double maxCorrectionDb = 0;
    double outputGainDb = 0;
    QString applied; // the file written with --apply, or empty
};

QByteArray matchText(const MatchResult& r);
QByteArray matchJson(const MatchResult& r);

#endif
