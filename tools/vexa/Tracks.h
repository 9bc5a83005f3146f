// The tracks of a recording as the step detector's regions give them: runs
// of consecutive non-noise regions, and the files and lists made of them.
#ifndef VEXA_TOOL_TRACKS_H
#define VEXA_TOOL_TRACKS_H

#include <vexa/vexa.h>

#include <QString>
#include <QStringList>
#include <functional>
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
    // By default tracks are found by the library's track finder (the music
    // between gaps at the noise floor or silence); with stepDetector set
    // they are the runs of non-noise regions of the step detector, with the
    // settings below.
    bool stepDetector = false;
    SoundTrackFinder::Settings finder;
    double thresholdDb = -40.0; // the detector's noise threshold
    double windowSeconds = 0.2; // the detector's RMS window
    double noiseDb = 0.0;       // applyNoise with this level when set
    bool hasNoise = false;
    double estimateSeconds = 0.0; // estimateNoise budget when > 0
    double splitSeconds = 0.0;    // split at quiet passages when > 0
    bool merge = false;
    // Tracks shorter than this join a neighbour (0: every track stands).
    double minTrackSeconds = 0.0;
};

// The track finder's envelope (dB every stepSeconds), for pictures.
struct LevelEnvelope {
    double stepSeconds = 0.0;
    std::vector<double> levelsDb;
};

// What the track finder saw besides the regions.
struct Detection {
    bool wantEnvelope = false; // fill the envelope (for a picture)
    LevelEnvelope envelope;
    std::vector<SoundTrackFinder::Gap> gaps; // how sure each boundary is
    QString finding;                         // why there is one track, or none
};

// Runs the detection pass over a file (and, with the step detector, the
// region edits). Null with `error` set on failure, or when no track was
// found (the error then says why).
SoundRef<RMSStepDetector> detectTracks(const QString& fileName, const SplitSettings& settings, bool progress, QString& error,
                              unsigned int& sampleRate, Detection* detection = nullptr);

// Joins every track shorter than minSeconds to the neighbour across the
// shorter gap, until none is left or only one track remains. Returns the
// detector holding the edited regions (the one given, or a new one) and
// lists what was joined.
SoundRef<RMSStepDetector> joinShortTracks(SoundRef<RMSStepDetector> detector, double minSeconds, unsigned int rate,
                                          QStringList& joined);

// What is done to the complete files (their paths in the temporary folder,
// in track order) before they are moved into place; false with the error
// set stops the split, and none is moved.
using TrackFinisher = std::function<bool(const QStringList& files, QString& error)>;

// Writes one file per track after the template (through a temporary folder
// beside it: the files appear only when all of them are complete, and
// finished by `finish` when given). Returns the number of files written, or
// -1 with `error` set.
int writeTracks(const QString& in, const QString& nameTemplate, RMSStepDetector* detector,
                unsigned int bitrate, SoundTools::SoundFormat format, bool progress, const SoundIDTag* tags,
                QStringList& written, QString& error, const TrackFinisher& finish = TrackFinisher());

QString formatSeconds(double seconds);

// A reader for the file, open and at its start, decoding ahead on a thread
// of its own unless `ahead` is false; null with `error` set.
std::unique_ptr<SoundReader> openReader(const QString& fileName, QString& error, bool ahead = true);

struct ParsedArgs;
// Sets the tags given as options (--title ...) in `tags`.
void applyTagOptions(const ParsedArgs& args, SoundIDTag& tags);

#endif
