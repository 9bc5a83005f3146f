// Loudness of a run as broadcast meters measure it (ITU-R BS.1770-4,
// EBU R128): K-weighted mean square per channel, summed over the channels
// with weight 1 for left, right or a single mono channel.
//   momentary    400 ms window, updated every 100 ms
//   short-term   3 s window, updated every 100 ms
//   integrated   400 ms blocks, 75 % overlap, gated at -70 LUFS and then
//                10 LU below the mean of the blocks above that gate
//   range        EBU Tech 3342: 10th to 95th percentile of the short-term
//                values above -70 LUFS and 20 LU below their mean
//   sample peak  largest |sample|; true peak, its 4x (below 96 kHz) or 2x
//                (below 192 kHz) oversampled counterpart
// Loudness and sample peak are libebur128's, the true peak our own
// interpolator's (same oversampling); the state is kept privately until the
// next run, so that several nodes can be combined into an album.
//
// The node passes its input through unchanged, with no delay or overlap.
// Frames are stereo: a mono source arrives as two equal channels, which
// BS.1770 would weigh twice (+3.01 dB). setChannelCount(1) measures the left
// channel alone, as the mono programme it is; the readers that know their
// file's channel count tell it (SoundReaderSndfile/SoundReaderMp3::
// getChannelNum), the node cannot see it through the processing loop.
//
// Loudness values are in LUFS, ranges in LU, peaks linear (1.0 = full
// scale) or in dB; silence, or a run shorter than a gating block, reads
// -infinity in LUFS and dB (hasLoudness() is false), 0 LU of range and
// 0.0 linear peak. Results are read between blocks or after the run; they
// stay until the next run starts.
#ifndef VEXA_SOUNDALGOLOUDNESS_H
#define VEXA_SOUNDALGOLOUDNESS_H

#include "SoundAlgo.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QString>

#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

class VEXA_EXPORT SoundAlgoLoudness : public SoundAlgo {
    Q_OBJECT

public:
    SoundAlgoLoudness();

    // 1 (mono: the left channel is measured) or 2 (stereo, the default).
    // Takes effect at the next run; false, with nothing changed, for any
    // other count.
    bool setChannelCount(int channels);
    int getChannelCount() const { return mChannels; }

    // True when the integrated loudness is finite: some gating block of the
    // run lay above the absolute gate.
    bool hasLoudness() const;
    double getIntegratedLoudness() const;
    double getLoudnessRange() const;
    // The last 400 ms / 3 s of the run, and the largest value seen at the
    // 100 ms steps of the stream.
    double getMomentaryLoudness() const;
    double getShortTermLoudness() const;
    double getMaxMomentaryLoudness() const { return mMaxMomentary; }
    double getMaxShortTermLoudness() const { return mMaxShortTerm; }

    // Per channel (0 left, 1 right) and over all channels, linear. A mono
    // run measures channel 0 only and answers it for channel 1 too.
    double getSamplePeak(int channel) const;
    double getSamplePeak() const;
    double getTruePeak(int channel) const;
    double getTruePeak() const;
    // The overall peaks in dBFS / dBTP.
    double getSamplePeakDb() const;
    double getTruePeakDb() const;

    // Frames measured in the last run.
    uint64_t getFrameCount() const { return mFrames; }

    // Integrated loudness of the programmes measured by the nodes, gated as
    // one programme (every node's blocks together), in LUFS; -infinity when
    // none has loudness. Nodes that never ran are left out.
    static double albumLoudness(const std::vector<const SoundAlgoLoudness*>& nodes);
    // Loudness range of the nodes' programmes taken together, in LU.
    static double albumLoudnessRange(const std::vector<const SoundAlgoLoudness*>& nodes);
    // Largest true peak (or sample peak) of the nodes, linear.
    static double albumPeak(const std::vector<const SoundAlgoLoudness*>& nodes, bool truePeak = true);

    SoundTools::Status process() override;

protected:
    ~SoundAlgoLoudness() override;

    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    struct Private;

    // Feeds n frames of the stream to the meter, in steps that stop at each
    // 100 ms boundary to update the maxima.
    bool measure(const SoundTools::StereoFrame<double>* in, unsigned int n);
    void updateMaxima();

    std::unique_ptr<Private> d;
    int mChannels = 2;
    uint64_t mFrames = 0;
    double mMaxMomentary;
    double mMaxShortTerm;
    // First stream position after the run's input (when the reader knows
    // its length): frames past it are the loop's end padding.
    int64_t mStreamEnd = INT64_MAX;
};

#endif
