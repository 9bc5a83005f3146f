// A deterministic demonstration recording: a record side of tracks of
// different loudness separated by low-level noise, one ending in a fade-out.
#ifndef VEXA_TOOL_SYNTH_H
#define VEXA_TOOL_SYNTH_H

#include <QString>
#include <vector>

struct SynthTrack {
    double start = 0;    // seconds
    double duration = 0; // seconds
    double levelDb = 0;  // RMS of the track, dBFS
    double fadeOut = 0;  // seconds of fade at the end (0: none)
};

// The tracks of a side of about `totalSeconds` (six tracks of 1/6 of it
// each, less the gaps).
std::vector<SynthTrack> demoTracks(double totalSeconds);

// Writes the side as 16-bit WAV; false with `error` set on failure.
bool writeDemoSide(const QString& fileName, const std::vector<SynthTrack>& tracks, double totalSeconds,
                   unsigned int sampleRate, QString& error);

#endif
