// The analysis of one recording, kept as a statistics file (".ssf", Qt
// binary JSON): the split frequencies of a multiband analysis with either
// one level statistics node per band or one FFT statistics node, optionally
// the track segmentation and the loudness results, and a version. From it a caller gets the recording's spectrum as band levels
// relative to the loudest band.
//
// The stored nodes are reference counted: the file holds one reference on
// each. The setters either take a reference of their own (addRef true; the
// caller keeps its reference) or adopt the caller's (addRef false). Copies
// share the nodes, each copy holding its own references.
#ifndef VEXA_SOUNDSTATFILE_H
#define VEXA_SOUNDSTATFILE_H

#include "RMSStepDetector.h"
#include "SoundAlgoLoudness.h"
#include "SoundAlgoFFTStats.h"
#include "SoundAlgoStats.h"
#include "vexa_export.h"

#include <QString>

#include <limits>
#include <vector>

class VEXA_EXPORT SoundStatFile {
public:
    // The loudness results of the recording (see SoundAlgoLoudness);
    // -infinity for silence.
    struct Loudness {
        double integratedLufs = -std::numeric_limits<double>::infinity();
        double rangeLu = 0.0;
        double truePeakDbtp = -std::numeric_limits<double>::infinity();
        double samplePeak = 0.0; // linear, 1.0 = full scale
    };

    SoundStatFile();
    SoundStatFile(const SoundStatFile& other);
    SoundStatFile& operator=(const SoundStatFile& other);
    ~SoundStatFile();

    // "ssf", without a dot.
    static const char* getExtension();

    // Replaces the band data: freqs are the split frequencies (Hz) between
    // the bands, stats one node per band, low band first, so there must be
    // exactly one more node than frequencies; otherwise the file is left
    // without band data (a critical message says so).
    void setStats(const std::vector<double>& freqs, const std::vector<SoundAlgoStats*>& stats, bool addRef);
    // Replaces the band data by FFT statistics whose bands are split at
    // freqs (null for none).
    void setStats(const std::vector<double>& freqs, SoundAlgoFFTStats* fftStats, bool addRef);
    // Replaces the track segmentation (null for none).
    void setStepDetector(RMSStepDetector* detector, bool addRef);
    // Replaces the loudness results: given, or those of a node's last run.
    void setLoudness(const Loudness& loudness);
    void setLoudness(const SoundAlgoLoudness& node);
    void clearLoudness() { mHasLoudness = false; }
    // False for a file written without loudness results.
    bool hasLoudnessResults() const { return mHasLoudness; }
    Loudness getLoudness() const { return mLoudness; }

    // Copies of the band data; no reference is taken for the caller.
    void getStats(std::vector<double>& freqs, std::vector<SoundAlgoStats*>& stats);
    RMSStepDetector* getStepDetector() const { return mStepDetector; }
    SoundAlgoFFTStats* getFFTStats() const { return mFFTStats; }
    QString getVersion() const { return mVersion; }
    std::vector<double> getFrequencies() const { return mFreqs; }
    // The sample rate of the first band's statistics, else that of the FFT
    // statistics, else 44100.
    unsigned getSampleRate() const;
    // Full RMS level of each band in dB minus that of the loudest band (a
    // band that saw no frame counts as 0 dB); empty without bands. With FFT
    // statistics, their band levels at the split frequencies.
    std::vector<double> getRelativeLevels() const;

    // The file name's extension is replaced by "ssf": song.wav and song
    // both name song.ssf.
    bool writeJSonFile(QString fileName);
    // Replaces everything held by the file's content. False, with the
    // previous content kept, when the file is missing, not binary JSON or
    // not a statistics file.
    bool readJSonFile(QString fileName);

private:
    void clear();
    void clearStats();
    void clearStepDetector();
    void addReferences();

    RMSStepDetector* mStepDetector = nullptr;
    std::vector<double> mFreqs;
    std::vector<SoundAlgoStats*> mStats;
    SoundAlgoFFTStats* mFFTStats = nullptr;
    QString mVersion;
    Loudness mLoudness;
    bool mHasLoudness = false;
};

#endif
