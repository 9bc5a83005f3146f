// Writes one file per track of a recording, following the regions of a step
// detector that has analysed the whole input: runs of consecutive non-noise
// regions are tracks; noise regions and tracks shorter than a minimum are
// dropped; the leading digital silence of each track is not written. Each
// track goes to its own file, named after the template given to open with a
// zero-padded track number, and written by the writer the file extension
// selects (WAV, FLAC, Ogg, MP3).
//
// Stream positions are counted from the writer's range begin (0 unless
// setRange says otherwise), which must be the detector's origin.
#ifndef VEXA_SOUNDWRITERMULTIFILE_H
#define VEXA_SOUNDWRITERMULTIFILE_H

#include "RMSStepDetector.h"
#include "SoundWriter.h"
#include "vexa_export.h"

#include <QString>
#include <string>

class VEXA_EXPORT SoundWriterMultiFile : public SoundWriter {
public:
    // Holds a reference on the detector, which must already hold its regions.
    SoundWriterMultiFile(RMSStepDetector* detector, double minTrackTime, unsigned int sampleRate, unsigned int channels,
                         unsigned int bitrate, SoundTools::SoundFormat format);
    ~SoundWriterMultiFile() override;

    // Stores the name template; opens no file. Fails when the template has no
    // base name.
    SoundTools::Status open(QString fileName) override;
    // Ends the current track's file.
    void close() override;
    // The tags of every file opened from now on (with their track number).
    void setTags(const SoundIDTag& tags) override;
    unsigned int getChannelNum() const override { return mChannels; }

    // Number of files closed so far.
    int GetWrittenFiles() const { return mTrackNumber - 1; }
    // Name of the file of track n.
    QString trackFileName(int n) const;

protected:
    // Consumes the frames: writes those of tracks, skips noise, leading
    // silence and too-short tracks. Returns the frames consumed; fewer than
    // given when a track file could not be opened or written.
    unsigned int write(unsigned int frames, double* src) override;

private:
    SoundTools::Status OpenSegment();
    // Frames of the track that starts at pos: the rest of the current region
    // and the regions after it up to the first noise region.
    long long comingTrackLength(int pos, unsigned int available) const;
    bool startTrack(int pos, unsigned int available, bool& failed);
    unsigned int writeTrackFrames(unsigned int n, double* src);

    int mRegionIndex = 1;
    RMSStepDetector::Region mRegion;
    SoundWriter* mCurrent = nullptr;
    unsigned int mChannels;
    unsigned int mBitrate;
    QString mTemplate;
    std::string mDrive;
    std::string mDirectory;
    std::string mBaseName;
    std::string mExtension;
    bool mRooted = false;
    RMSStepDetector* mDetector;
    int mTrackNumber = 1;
    double mMinTrackTime;
    long long mTotalFrames = 0;
    SoundIDTag mTags;
    SoundTools::SoundFormat mFormat;
    bool mStarted = false;
};

#endif
