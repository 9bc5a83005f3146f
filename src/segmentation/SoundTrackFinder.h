// Finds the tracks of a long recording (a record side, a tape, a CD image, a
// live set) as the stretches of music between gaps.
//
// One pass measures the level of the recording every 10 ms (DC removed, both
// channels averaged; a click stays in its hop). At the end of the stream the
// levels are smoothed with a 150 ms median, so that clicks and crackle do not
// count, and the finder decides:
//   silence  levels below silenceDb (digital zeros, dither) are silence;
//   floor    the noise floor is the quietest level that the recording holds
//            for a gap's length as steady noise, seen in its run-in or
//            run-out or in two gaps at least (on a side that silence already
//            parts, beside every silence), that the music never undercuts;
//            it is followed from gap to gap, so a floor that drifts by
//            several dB is tracked. A quiet passage of the music fails
//            these tests and is no floor;
//   gap      a stretch of at least minGapSeconds that stays within
//            floorMarginDb of the floor, or is silence;
//   track    a stretch between gaps whose loudest part rises minDepthDb
//            above the floor (without a floor, above silence). Stretches
//            shorter than half a second and stretches of noise join the
//            gaps; a recording that is one steady level (noise, a tone) has
//            no track.
// The boundaries are then placed where the music meets the floor: a track
// grows into its gaps while its 50 ms level stands 3 dB above the gap's
// noise (the music as loud as the noise; more where the noise wanders), so
// that a fade-out ends where it reaches the floor; beside a digital silence
// with no noise between, it ends where the silence starts. A pause shorter
// than the gap length (a dropout, a breath) and a quiet passage that stays
// above the floor keep a track whole.
//
// The finder runs as a node through processAll (its output buffer is not
// written) or over a file with findInFile. It keeps about 4 bytes per 10 ms
// of input (4 MB for three hours).
#ifndef VEXA_SOUNDTRACKFINDER_H
#define VEXA_SOUNDTRACKFINDER_H

#include "RMSStepDetector.h"
#include "SoundAlgo.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QString>

#include <cstdint>
#include <vector>

class VEXA_EXPORT SoundTrackFinder : public SoundAlgo {
    Q_OBJECT

public:
    struct Settings {
        // Quieter stretches shorter than this are pauses inside a track.
        double minGapSeconds = 0.8;
        // A gap stays within this many dB of the noise floor.
        double floorMarginDb = 6.0;
        // Music rises at least this far above the floor.
        double minDepthDb = 15.0;
        // Levels below this (dBFS) are silence, whatever the floor.
        double silenceDb = -90.0;
    };

    // A stretch between tracks; the first gap lies before the first track
    // (lead-in, possibly empty), the last after the last track (lead-out).
    // Depth and length say how sure a boundary is.
    struct Gap {
        int begin = 0;          // first frame
        int frames = 0;         // length in frames
        double floorDb = -100;  // level of the gap (dBFS; silenceDb when silent)
        double depthDb = 0;     // music level of the quieter neighbour above the gap
        bool silent = false;    // the gap is silence all through
    };

    struct Track {
        int begin = 0;
        int frames = 0;
        double levelDb = -100;  // RMS level (dBFS)
        double peakLevelDb = -100; // level reached by its loudest 5 % (150 ms levels)
    };

    enum class Outcome {
        None,      // nothing measured yet
        Tracks,    // at least one track
        Silence,   // the input is silence all through
        NoiseOnly  // no level rises above the floor as music does
    };

    SoundTrackFinder();
    explicit SoundTrackFinder(const Settings& settings);

    SoundTools::Status process() override;

    // Reads the file from its start and finds its tracks. StatusError with
    // the reason in the error text when the file cannot be read.
    SoundTools::Status findInFile(const QString& fileName);

    const Settings& settings() const { return mSettings; }
    Outcome outcome() const { return mOutcome; }
    const std::vector<Track>& tracks() const { return mTracks; }
    // tracks().size() + 1 gaps when there are tracks: gap i is before track i.
    const std::vector<Gap>& gaps() const { return mGaps; }
    // The noise floor (dBFS); false when the recording shows none (only
    // silence between tracks, or music all through).
    bool hasFloor() const { return mHasFloor; }
    double floorDb() const { return mFloorDb; }
    // The smoothed level every hopSeconds (dBFS), as the finder saw it.
    std::vector<float> levelsDb() const;
    double hopSeconds() const;
    unsigned int frameCount() const { return mFrames; }

    // The tracks and gaps as step detector regions (gaps are noise), in
    // stream order, covering the whole input.
    std::vector<RMSStepDetector::Region> regions() const;
    // A detector holding those regions, for the per-track writer and the
    // region files. The caller releases it. Null when there are no tracks.
    RMSStepDetector* createStepDetector() const;

protected:
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    void closeHop();
    void analyse();

    Settings mSettings;
    unsigned int mHop = 441;
    // Level measurement state.
    double mSumL = 0.0, mSumR = 0.0, mSquaresL = 0.0, mSquaresR = 0.0;
    double mPrevMeanL = 0.0, mPrevMeanR = 0.0;
    unsigned int mHopCount = 0;
    unsigned int mFrames = 0;
    std::vector<uint8_t> mHopCodes; // level of each hop, in half-decibel steps
    // Results.
    Outcome mOutcome = Outcome::None;
    bool mHasFloor = false;
    double mFloorDb = -100.0;
    std::vector<Track> mTracks;
    std::vector<Gap> mGaps;
};

#endif
