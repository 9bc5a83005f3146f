// The player over Qt Multimedia's audio output.
//
// The output is opened for 16-bit signed little-endian stereo PCM at the
// file's sample rate and pulls from the playback device. The output's state
// changes become the player's signals, and its periodic notifications (every
// 500 ms) the playing position. playingHasFinished is emitted once per
// start(): true when the data ran out, false when playback was stopped or
// could not start.
//
// The output's signals are connected directly: the player's signals come
// from the thread the output or the device emits on (the output's own thread
// for Qt's audio backends, the thread that created the player).
#ifndef VEXA_SOUNDPLAYERQT_H
#define VEXA_SOUNDPLAYERQT_H

#include "SoundPlayer.h"
#include "vexa_export.h"

// The state enum only (no link to Qt Multimedia), through the Qt include
// root that Qt5::Core already gives.
#include <QtMultimedia/qaudio.h>

class QAudioOutput;

class VEXA_EXPORT SoundPlayerQt : public SoundPlayer {
    Q_OBJECT

public:
    SoundPlayerQt(std::shared_ptr<SoundReader> reader, SoundAlgo* algo, bool defaultEqualizer);
    ~SoundPlayerQt() override;

    // Starts the device (its worker begins to fill the ring) and emits
    // playerLoaded.
    void preload() override;
    // Starts the device unless preload did, then the output. When the output
    // cannot be opened, the device is stopped and playingHasFinished(false)
    // is emitted before this returns.
    void start() override;
    // Stops the output, then the device. Nothing when already stopped.
    void stop() override;

    QAudioOutput* getOutput() const { return mOutput; }

public slots:
    // The device has delivered its last byte.
    void endOfData() override;

private slots:
    void notified();
    // The output's state changes: ActiveState starts playing; Idle (the
    // data ran out), Stopped and Suspended end it.
    void audioStatusChanged(QAudio::State state);

private:
    void reportFinished(bool atEnd);

    QAudioOutput* mOutput = nullptr;
    bool mFinishReported = true;
};

#endif
