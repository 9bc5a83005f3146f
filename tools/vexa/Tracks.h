// The tracks of a recording as the step detector's regions give them: runs
// of consecutive non-noise regions, and the files and lists made of them.
#ifndef VEXA_TOOL_TRACKS_H
#define VEXA_TOOL_TRACKS_H

#include <vexa/vexa.h>

#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

struct Track {
    int number = 0;    // file number (tracks shorter than the minimum get none)
    long long begin = 0;
    long long frames = 0;
    double levelDb = -100.0; // RMS level of the louder channel, from the regions
};

// Tracks of at least minSeconds, numbered from 1 as the per-track writer
// numbers its files.
std::vector<Track> tracksOf(const RMSStepDetector& detector, unsigned int sampleRate, double minSeconds);

// Options of a detection pass and of the region edits after it.
struct SplitSettings {
    // By default tracks are found as the stretches between gaps of low-level
    // noise (see findGapTracks); with stepDetector set they are the runs of
    // non-noise regions of the step detector, with the settings below.
    bool stepDetector = false;
    double thresholdDb = -40.0; // the detector's noise threshold
    double windowSeconds = 0.2; // the detector's RMS window
    double noiseDb = 0.0;       // applyNoise with this level when set
    bool hasNoise = false;
    double estimateSeconds = 0.0; // estimateNoise budget when > 0
    double splitSeconds = 0.0;    // split at quiet passages when > 0
    bool merge = false;
    double minTrackSeconds = 30.0;
};

// Tracks as the stretches between gaps: a 10 ms level envelope of the whole
// file, a noise floor from its quietest 0.5 %, gaps of at least a second
// within 6 dB of the floor and at least 20 dB below the music around them;
// a track that fades out ends where its dB-linear fade reaches 60 dB below
// the track's level. The result is a detector holding those regions (tracks
// and noise), for the per-track writer. Null with `error` set on failure.
// With `envelope`, the level envelope it measured is handed out too (dB over
// 50 ms, every 10 ms).
struct LevelEnvelope {
    double stepSeconds = 0.0;
    std::vector<double> levelsDb;
};
RMSStepDetector* findGapTracks(const QString& fileName, bool progress, QString& error, unsigned int& sampleRate,
                               LevelEnvelope* envelope = nullptr);

// Runs the detection pass over a file and applies the edits. Null with
// `error` set on failure. The caller releases the detector. `envelope` is
// filled when the gap finder ran (left empty with the step detector).
RMSStepDetector* detectTracks(const QString& fileName, const SplitSettings& settings, bool progress, QString& error,
                              unsigned int& sampleRate, LevelEnvelope* envelope = nullptr);

// Writes one file per track after the template (through a temporary folder
// beside it: the files appear only when all of them are complete). Returns
// the number of files written, or -1 with `error` set.
int writeTracks(const QString& in, const QString& nameTemplate, RMSStepDetector* detector, const SplitSettings& settings,
                unsigned int bitrate, SoundTools::SoundFormat format, bool progress, const SoundIDTag* tags,
                QStringList& written, QString& error);

QString formatSeconds(double seconds);

// A reader for the file, open and at its start; null with `error` set.
std::unique_ptr<SoundReader> openReader(const QString& fileName, QString& error);

struct ParsedArgs;
// Sets the tags given as options (--title ...) in `tags`.
void applyTagOptions(const ParsedArgs& args, SoundIDTag& tags);

#endif
