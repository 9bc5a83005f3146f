// ReplayGain 2.0 for the files the tool writes (split --replaygain) and
// tags (tag): gains to a reference of -18 LUFS from the EBU R128
// integrated loudness, peaks as linear true peaks, and the tags that carry
// them in the form players read: Vorbis comments in FLAC and Ogg Vorbis,
// ID3v2 TXXX frames in MP3 and WAV.
#ifndef VEXA_TOOL_REPLAYGAIN_H
#define VEXA_TOOL_REPLAYGAIN_H

#include "Loudness.h"

#include <vexa/vexa.h>

#include <QByteArray>
#include <QString>

#include <string>
#include <utility>
#include <vector>

constexpr double kReplayGainReferenceLufs = -18.0;

// One file measured: its loudness and its track gain and peak.
struct TrackGain {
    QString file;
    LoudnessFigures figures;
    double gainDb = 0;   // kReplayGainReferenceLufs - loudness
    double peak = 0;     // linear true peak
    bool tagged = false; // its tags were written
};

// The album: all the tracks' gating blocks taken as one programme.
struct AlbumGain {
    bool measured = false; // some track has loudness
    double loudnessLufs = 0;
    double gainDb = 0;
    double peak = 0;
};

// The gains of measured files, one node per file, in the same order; the
// album's from all of them when `album` is set.
std::vector<TrackGain> trackGains(const QStringList& files, const std::vector<SoundRef<SoundAlgoLoudness>>& nodes);
AlbumGain albumGain(const std::vector<SoundRef<SoundAlgoLoudness>>& nodes);

// The tags of one file: the track's, and the album's when measured.
std::vector<std::pair<std::string, std::string>> replayGainTags(const TrackGain& track, const AlbumGain& album);

// Sets the tags in the file, in place, replacing tags of the same names and
// keeping every other. Formats: .flac, .ogg (Vorbis), .mp3, .wav. False
// with `error` set (naming the file) when it cannot be tagged.
bool writeReplayGainTags(const QString& file, const std::vector<std::pair<std::string, std::string>>& tags,
                         QString& error);

// Removes the ReplayGain tags (REPLAYGAIN_*, in any case) from tags copied
// from another file, where they no longer hold.
void dropReplayGainTags(SoundIDTag& tags);

// One line per file (and the album's line), or a JSON object with a
// "tracks" list and an "album" object (null without one).
QByteArray replayGainText(const std::vector<TrackGain>& tracks, const AlbumGain& album);
QByteArray replayGainJson(const std::vector<TrackGain>& tracks, const AlbumGain& album);

#endif
