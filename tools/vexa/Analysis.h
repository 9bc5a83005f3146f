// The measuring and rendering passes shared by the tool's commands.
#ifndef VEXA_TOOL_ANALYSIS_H
#define VEXA_TOOL_ANALYSIS_H

#include "Loudness.h"

#include <vexa/vexa.h>

#include <QString>
#include <vector>

// What one analysis pass over a file gives.
struct Analysis {
    unsigned int sampleRate = 0;
    SoundTools::StereoFrame<double> rms{-100.0, -100.0};
    SoundTools::StereoFrame<double> peak{-100.0, -100.0};
    double fullRmsDb = -100.0;
    LoudnessFigures loudness; // when the settings ask for it
    bool measuredLoudness = false;
    // Band levels split at the requested frequencies, and the segmentation.
    SoundStatFile file;
};

// What an analysis pass measures besides the whole-file levels.
struct AnalysisSettings {
    std::vector<double> splits; // band splits (none: no band data)
    unsigned int fftSize = 0;   // band levels from FFT statistics when not 0
    bool segmentation = true;   // the step detector's regions
    bool loudness = false;      // EBU R128 loudness and true peak, kept in the file too
    bool progress = true;
};

// One pass over a file: whole-file levels and, as the settings say, the
// level of each band between the splits (a tree of band splits, or FFT
// statistics), the segmentation and the loudness. ExitOk, or an exit status with `error`
// set (ExitUsage when a split lies beyond the file's Nyquist frequency).
int analyseFile(const QString& fileName, const AnalysisSettings& settings, Analysis& result, QString& error);

// How an output file is written.
struct OutputSettings {
    SoundTools::SoundFormat format = SoundTools::PCM16;
    unsigned int bitrate = 192;
    bool progress = true;
};

struct OptionSpec;
struct ParsedArgs;
// Options of the output file: --format and --bitrate.
std::vector<OptionSpec> outputOptions();
// Whether vexa writes files of this name's extension; false with `error`
// set (naming the formats) when it does not.
bool checkOutputName(const QString& name, QString& error);
// Reads --format and --bitrate into `settings`; false with `error` set.
bool parseOutputOptions(const ParsedArgs& args, OutputSettings& settings, QString& error);

// Runs the reader (open, at its start point) through the node and writes
// `out` with these tags, under a temporary name renamed when complete.
// False with `error` set, naming `in` or `out`.
bool renderFile(SoundReader& reader, SoundAlgo* node, const QString& in, const QString& out, const SoundIDTag& tags,
                const OutputSettings& settings, QString& error);

#endif
