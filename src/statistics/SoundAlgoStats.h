// Level statistics of a stereo signal over a whole run.
//
// Per channel the node keeps the sum of squares and the peak of every frame
// it sees, and the number of frames, and reports RMS and peak levels in dB
// (20 log10 x, -100 dB for x <= 1e-20). Its output is either a sliding RMS
// envelope of the input or the input unchanged:
//   RMS_WITH_STATS  sliding RMS out, statistics kept
//   RMS_ONLY        sliding RMS out, no statistics
//   STATS_ONLY      input out unchanged, statistics kept (window 0)
// The sliding window spans an odd number of frames W = round(window x rate)
// with its lowest bit set, and each output frame is centred on its window:
// the node asks for W frames of look-ahead and delays its output by
// (W - 1) / 2 frames. A window of 0 s with an RMS output is one frame wide.
//
// FrequencyBuilder fills every band of a multiband tree
// (SoundAlgoComposite::buildMultibandTree) with a STATS_ONLY node and keeps
// the list of them, so that one run gives level statistics per band.
#ifndef VEXA_SOUNDALGOSTATS_H
#define VEXA_SOUNDALGOSTATS_H

#include "SoundAlgo.h"
#include "SoundAlgoComposite.h"
#include "SoundTools.h"
#include "vexa_export.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <climits>
#include <vector>

class VEXA_EXPORT SoundAlgoStats : public SoundAlgo {
    Q_OBJECT

public:
    enum OutputType {
        RMS_WITH_STATS = 0,
        RMS_ONLY = 1,
        STATS_ONLY = 2
    };

    // Puts one pass-through statistics node in every band of a multiband
    // tree. The nodes belong to the tree; the builder only lists them, in
    // the order the bands were built (lowest band first).
    class VEXA_EXPORT FrequencyBuilder : public SoundAlgoComposite::FrequencyAlgoBuilder {
    public:
        explicit FrequencyBuilder(double windowTime = 0.2);
        FrequencyBuilder(const FrequencyBuilder& other);
        FrequencyBuilder& operator=(const FrequencyBuilder& other);
        ~FrequencyBuilder() override;

        void buildAlgo(SoundAlgoComposite* composite, int band, const QString& name) override;
        std::vector<SoundAlgoStats*>& getStatsVector() { return mStats; }
        double getWindowTime() const { return mWindowTime; }

    private:
        std::vector<SoundAlgoStats*> mStats;
        double mWindowTime;
    };

    explicit SoundAlgoStats(OutputType type = RMS_WITH_STATS, double windowTime = 1.0);

    // RMS per channel in dB; left untouched before any frame.
    void getRMS(SoundTools::StereoFrame<double>& rms) const;
    // Peak per channel in dB (-100 dB before any frame).
    void getMax(SoundTools::StereoFrame<double>& max) const;
    // RMS of both channels together in dB; 0.0 before any frame.
    double getFullRMS() const;
    // The three above at once; nothing written before any frame.
    void getGlobalStats(SoundTools::StereoFrame<double>& rms, double& fullRms, SoundTools::StereoFrame<double>& max) const;

    // The raw accumulators (linear values).
    uint32_t getTotalCount() const { return mCount; }
    SoundTools::StereoFrame<double> getSquareSums() const { return {mLeftSqr, mRightSqr}; }
    SoundTools::StereoFrame<double> getPeaks() const { return {mLeftMax, mRightMax}; }
    OutputType getOutputType() const { return mType; }
    double getWindowTime() const { return mWindowTime; }

    // JSON form: "Class", "OutputType", "WindowTime", "TotalCount",
    // "LeftSqr", "RightSqr", "LeftMax", "RightMax", "SampleRate". A node read
    // back answers the level queries as the node that was written.
    static SoundAlgoStats* createFromJSon(QJsonObject& object);
    void writeToJSon(QJsonObject& object) const override;

    SoundTools::Status process() override;
    unsigned int getDelay(unsigned int sampleRate) const override;
    unsigned int getInOverlap(unsigned int sampleRate) const override;

protected:
    ~SoundAlgoStats() override;

    bool readFromJSon(QJsonObject& object) override;
    SoundTools::Status initProcess(const LoopContext& ctx, SoundAlgo* prev, SoundAlgo* next) override;
    void endProcess(int status, unsigned int frameNbProcessed) override;

private:
    // round(windowTime x rate), the window before its lowest bit is set.
    unsigned int roundedWindow(unsigned int sampleRate) const;
    // Adds n frames to the statistics (nothing for RMS_ONLY).
    void accumulate(const SoundTools::StereoFrame<double>* in, unsigned int n);

    double mWindowTime;
    uint32_t mCount = 0;
    double mLeftSqr = 0.0;
    double mRightSqr = 0.0;
    double mLeftMax = 0.0;
    double mRightMax = 0.0;
    OutputType mType;
    // First stream position after the run's input (when the reader knows
    // its length): frames past it are the loop's end padding.
    int64_t mStreamEnd = INT64_MAX;
};

#endif
